// Tests of CreateToolInstance and NewZeroFilled: which IDs yield which
// objects, that near-miss IDs yield nothing and leave *out alone, and that
// zero-filled objects really start from zero bytes.
//
// Every allocation in this program starts out filled with 0xA5 (the global
// operator new is replaced below), so a zero byte in a new object comes from
// the zero fill and not from fresh memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "log_test_support.h"
#include "tools/ZeroFilled.h"
#include "tools/interfaces.h"

namespace {

const void* volatile lastFreed = nullptr;

void* FilledAllocation(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    std::memset(block, 0xA5, size);
    return block;
}

void Free(void* block) {
    lastFreed = block;
    std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return FilledAllocation(size); }
void* operator new[](std::size_t size) { return FilledAllocation(size); }
void operator delete(void* block) noexcept { Free(block); }
void operator delete[](void* block) noexcept { Free(block); }
void operator delete(void* block, std::size_t) noexcept { Free(block); }
void operator delete[](void* block, std::size_t) noexcept { Free(block); }

namespace {

struct KnownId {
    const char* name;
    const GUID* id;
};

// clang-format off
const KnownId kKnownIds[] = {
    {"IID_IDeviceMsg", &IID_IDeviceMsg},
    {"IID_ILog", &IID_ILog},
    {"IID_IMbimChannel", &IID_IMbimChannel},
    {"IID_IAtParser", &IID_IAtParser},
    {"IID_ILogEx", &IID_ILogEx},
    {"IID_IMbimChannel2", &IID_IMbimChannel2},
    {"IID_ILog2", &IID_ILog2},
};
// clang-format on

// Gives back an object the factory handed out for `id`.
void ReleaseObject(const GUID& id, void* object) {
    if (IsEqualGUID(id, IID_IDeviceMsg)) {
        static_cast<IGlobalTools::IDeviceMsg*>(object)->Release();
    } else if (IsEqualGUID(id, IID_ILog)) {
        static_cast<IGlobalTools::ILog*>(object)->Release();
    } else if (IsEqualGUID(id, IID_IMbimChannel)) {
        static_cast<IGlobalTools::IMbimChannel*>(object)->Release();
    } else if (IsEqualGUID(id, IID_IAtParser)) {
        static_cast<IGlobalTools::IAtParser*>(object)->Release();
    } else if (IsEqualGUID(id, IID_ILogEx)) {
        static_cast<IGlobalTools::ILogEx*>(object)->Release();
    } else if (IsEqualGUID(id, IID_IMbimChannel2)) {
        static_cast<IGlobalTools::IMbimChannel2*>(object)->Release();
    } else if (IsEqualGUID(id, IID_ILog2)) {
        static_cast<IGlobalTools::ILog2*>(object)->Release();
    }
}

void* const kUntouched = reinterpret_cast<void*>(static_cast<uintptr_t>(0x5A5A5A5A));

class Factory : public ::testing::Test {
protected:
    // The shared logger and the channels build their log folders.
    logtest::AppDataFolder appData;
};

}  // namespace

// --- Known IDs -------------------------------------------------------------

TEST_F(Factory, parser_id_yields_a_working_parser_each_time) {
    void* first = kUntouched;
    void* second = kUntouched;
    ASSERT_EQ(CreateToolInstance(IID_IAtParser, &first), 1);
    ASSERT_EQ(CreateToolInstance(IID_IAtParser, &second), 1);
    ASSERT_NE(first, kUntouched);
    EXPECT_NE(first, second);

    const char wrapped[] = {0x02, 0x00, 0x00, 0x00, 'O', 'K'};  // count 2, payload "OK"
    std::string out;
    static_cast<IGlobalTools::IAtParser*>(first)->Parse(wrapped, sizeof(wrapped), out);
    EXPECT_EQ(out, "OK");
    ReleaseObject(IID_IAtParser, first);
    ReleaseObject(IID_IAtParser, second);
}

// Both versions of the logger's interface are the one shared logger.
TEST_F(Factory, log_ids_yield_the_shared_logger_every_time) {
    void* first = kUntouched;
    void* second = kUntouched;
    void* version2 = kUntouched;
    ASSERT_EQ(CreateToolInstance(IID_ILog, &first), 1);
    ASSERT_EQ(CreateToolInstance(IID_ILog, &second), 1);
    ASSERT_EQ(CreateToolInstance(IID_ILog2, &version2), 1);
    EXPECT_EQ(first, second);
    IGlobalTools::ILog* shared = GetSharedLog();
    EXPECT_EQ(static_cast<void*>(shared), first);
    EXPECT_EQ(static_cast<IGlobalTools::ILog*>(static_cast<IGlobalTools::ILog2*>(version2)), shared);
    shared->Release();
    ReleaseObject(IID_ILog, first);
    ReleaseObject(IID_ILog, second);
    ReleaseObject(IID_ILog2, version2);
}

TEST_F(Factory, log_ex_id_yields_a_new_private_logger_each_time) {
    void* first = kUntouched;
    void* second = kUntouched;
    ASSERT_EQ(CreateToolInstance(IID_ILogEx, &first), 1);
    ASSERT_EQ(CreateToolInstance(IID_ILogEx, &second), 1);
    ASSERT_NE(first, kUntouched);
    EXPECT_NE(first, second);
    ReleaseObject(IID_ILogEx, first);
    ReleaseObject(IID_ILogEx, second);
}

TEST_F(Factory, channel_ids_yield_a_new_object_each_time_or_nothing) {
    // The result and *out agree for the channel IDs whether or not the
    // library holds the channel classes yet; two channels are never one.
    for (const GUID* id : {&IID_IDeviceMsg, &IID_IMbimChannel, &IID_IMbimChannel2}) {
        void* first = kUntouched;
        void* second = kUntouched;
        const int firstResult = CreateToolInstance(*id, &first);
        const int secondResult = CreateToolInstance(*id, &second);
        ASSERT_EQ(firstResult, secondResult);
        if (firstResult == 0) {
            EXPECT_EQ(first, kUntouched);
            EXPECT_EQ(second, kUntouched);
            continue;
        }
        ASSERT_EQ(firstResult, 1);
        ASSERT_NE(first, kUntouched);
        ASSERT_NE(first, nullptr);
        EXPECT_NE(first, second);
        ReleaseObject(*id, first);
        ReleaseObject(*id, second);
    }
}

// --- Unknown IDs -----------------------------------------------------------

TEST_F(Factory, id_differing_in_any_single_byte_yields_nothing) {
    for (const KnownId& known : kKnownIds) {
        for (size_t index = 0; index < sizeof(GUID); ++index) {
            for (unsigned char flip : {0x01, 0x80, 0xFF}) {
                GUID nearMiss = *known.id;
                reinterpret_cast<unsigned char*>(&nearMiss)[index] ^= flip;
                void* out = kUntouched;
                EXPECT_EQ(CreateToolInstance(nearMiss, &out), 0)
                    << known.name << " with byte " << index << " ^ " << int(flip);
                EXPECT_EQ(out, kUntouched) << known.name << " with byte " << index;
            }
        }
    }
}

TEST_F(Factory, null_and_foreign_ids_yield_nothing) {
    const GUID nullId = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
    // The AT device service's UUID is a service ID, not an interface ID.
    const GUID serviceId = {0xffffffff, 0xabca, 0x4b11, {0xa4, 0xe2, 0xf2, 0xfc, 0x87, 0xf9, 0x44, 0x88}};
    // IID_IDeviceMsg with its first field in the wrong byte order.
    const GUID swapped = {0x400AF282, 0x00CC, 0xF544, {0xBE, 0xBB, 0xE2, 0x49, 0x45, 0x14, 0x87, 0x1A}};
    for (const GUID* id : {&nullId, &serviceId, &swapped}) {
        void* out = kUntouched;
        EXPECT_EQ(CreateToolInstance(*id, &out), 0);
        EXPECT_EQ(out, kUntouched);
    }
}

// --- Zero-filled construction ----------------------------------------------

namespace {

struct Probe {
    Probe() : set(7) {}
    int set;
    int leftAlone;
    void* pointer;
    unsigned char bytes[37];
};

struct Thrower {
    static const void* constructedAt;
    Thrower() {
        constructedAt = this;
        throw std::runtime_error("constructor failed");
    }
    int field;
};
const void* Thrower::constructedAt = nullptr;

}  // namespace

TEST(NewZeroFilled, fields_the_constructor_leaves_alone_are_zero) {
    // Free a filled block of the same size first so the allocator is likely
    // to hand the same, non-zero, bytes back.
    ::operator delete(::operator new(sizeof(Probe)));
    Probe* probe = NewZeroFilled<Probe>();
    EXPECT_EQ(probe->set, 7);
    EXPECT_EQ(probe->leftAlone, 0);
    EXPECT_EQ(probe->pointer, nullptr);
    for (unsigned char value : probe->bytes) {
        EXPECT_EQ(value, 0);
    }
    delete probe;
}

TEST(NewZeroFilled, storage_is_freed_when_the_constructor_throws) {
    Thrower::constructedAt = nullptr;
    lastFreed = nullptr;
    const void* freedBeforeRethrow = nullptr;
    try {
        NewZeroFilled<Thrower>();
        ADD_FAILURE() << "the constructor's exception did not pass on";
    } catch (const std::runtime_error&) {
        freedBeforeRethrow = lastFreed;
    }
    ASSERT_NE(Thrower::constructedAt, nullptr);
    EXPECT_EQ(freedBeforeRethrow, Thrower::constructedAt);
}
