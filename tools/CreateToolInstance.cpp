// CreateToolInstance: the one factory of the component library. It compares
// the 16 bytes of an interface ID with the known IDs, in a fixed order, and
// hands out the object behind the first match.
#include <cstring>

#include "tools/ZeroFilled.h"
#include "tools/interfaces.h"
#include "tools/log/CLog.h"
#include "tools/log/CLogEx.h"
#include "tools/mbim/CMbimDeviceEx.h"
#include "tools/parser/CKavoParser.h"
#include "tools/serial/CSerial.h"

namespace {

bool SameId(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

}  // namespace

int CreateToolInstance(const GUID& iid, void** out) {
    void* object = NULL;

    if (SameId(iid, IID_IDeviceMsg)) {
        object = static_cast<IGlobalTools::IDeviceMsg*>(NewZeroFilled<CSerial>());
    } else if (SameId(iid, IID_ILog)) {
        object = static_cast<IGlobalTools::ILog*>(GetSharedLog());
    } else if (SameId(iid, IID_IMbimChannel)) {
        object = static_cast<IGlobalTools::IMbimChannel*>(NewZeroFilled<CMbimDeviceEx>());
    } else if (SameId(iid, IID_IAtParser)) {
        object = static_cast<IGlobalTools::IAtParser*>(new CKavoParser());
    } else if (SameId(iid, IID_ILogEx)) {
        object = static_cast<IGlobalTools::ILogEx*>(new CLogEx());
    } else if (SameId(iid, IID_IMbimChannel2)) {
        object = static_cast<IGlobalTools::IMbimChannel2*>(NewZeroFilled<CMbimDeviceEx>());
    } else if (SameId(iid, IID_ILog2)) {
        object = static_cast<IGlobalTools::ILog2*>(static_cast<CLog*>(GetSharedLog()));
    } else if (SameId(iid, IID_IDeviceMsg2)) {
        object = static_cast<IGlobalTools::IDeviceMsg2*>(NewZeroFilled<CSerial>());
    }

    if (object == NULL) {
        return 0;
    }
    *out = object;
    return 1;
}
