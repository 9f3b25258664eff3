// The event sinks advised on a provider's connection points, with the
// connection point each came through and its cookie. Shared by the simulated
// service and the libmbim module. Not locked: each provider guards its list
// with a mutex of its own.
#ifndef MBNSERVICE_COMMON_SINK_LIST_H
#define MBNSERVICE_COMMON_SINK_LIST_H

#include <vector>

#include "platform/winapi.h"

namespace mbnservice {

class SinkList {
public:
    // Keeps sink, and the reference the caller took for it, under a new
    // cookie (never 0: Advise gives 0 for a failure).
    DWORD Add(const void* owner, IMbnDeviceServicesEvents* sink) {
        DWORD cookie = nextCookie_++;
        if (cookie == 0) cookie = nextCookie_++;
        entries_.push_back({owner, cookie, sink});
        return cookie;
    }

    // Takes out the sink of owner's cookie, with its reference; NULL when
    // there is none.
    IMbnDeviceServicesEvents* Remove(const void* owner, DWORD cookie) {
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->owner == owner && it->cookie == cookie) {
                IMbnDeviceServicesEvents* sink = it->sink;
                entries_.erase(it);
                return sink;
            }
        }
        return nullptr;
    }

    // Takes out every sink of owner (every sink for NULL), with their
    // references, for the caller to release outside its lock.
    std::vector<IMbnDeviceServicesEvents*> RemoveAll(const void* owner) {
        std::vector<IMbnDeviceServicesEvents*> removed;
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (owner == nullptr || it->owner == owner) {
                removed.push_back(it->sink);
                it = entries_.erase(it);
            } else {
                ++it;
            }
        }
        return removed;
    }

    // Every sink, each with a new reference for the caller: a callback runs
    // outside the lock, and an Unadvise meanwhile must not destroy its sink.
    std::vector<IMbnDeviceServicesEvents*> Referenced() const {
        std::vector<IMbnDeviceServicesEvents*> sinks;
        for (const Entry& entry : entries_) {
            entry.sink->AddRef();
            sinks.push_back(entry.sink);
        }
        return sinks;
    }

    size_t Size() const { return entries_.size(); }

private:
    struct Entry {
        const void* owner;
        DWORD cookie;
        IMbnDeviceServicesEvents* sink;
    };
    std::vector<Entry> entries_;
    DWORD nextCookie_ = 1;
};

}  // namespace mbnservice

#endif
