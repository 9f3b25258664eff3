// The emulated MBIM function without a pty: golden replies, the table of
// refusals, reassembly of fragmented commands and fragmentation of replies,
// the AT service in front of the modem, and each fault switch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "basic_connect.h"
#include "function.h"
#include "wire.h"

namespace {

using namespace emulator;

std::string Bytes(std::initializer_list<unsigned> values) {
    std::string out;
    for (unsigned v : values) out.push_back(static_cast<char>(v));
    return out;
}

mbnsim::ModemConfig NoEcho() {
    mbnsim::ModemConfig config;
    config.echo = false;
    return config;
}

std::string Open(uint32_t tid, uint32_t maxTransfer = 4096) { return SimpleMessage(kOpen, tid, maxTransfer); }

std::string Command(uint32_t tid, const Uuid& service, uint32_t cid, uint32_t type, const std::string& buffer = "") {
    return Fragment(kCommand, tid, CommandStream(service, cid, type, buffer), 4096)[0];
}

std::string AtCommand(uint32_t tid, const std::string& text) { return Command(tid, kAtService, 1, kSet, text); }

// One message the function wrote, seen as a host would.
struct Message {
    uint32_t type = 0;
    uint32_t tid = 0;
    std::string bytes;
    uint32_t U32(size_t offset) const { return GetU32(bytes, offset); }
};

std::vector<Message> Split(const std::string& out) {
    std::vector<Message> messages;
    for (size_t at = 0; at + kHeaderSize <= out.size();) {
        const uint32_t length = GetU32(out, at + 4);
        EXPECT_GE(length, kHeaderSize);
        EXPECT_LE(at + length, out.size()) << "message runs past the output";
        if (length < kHeaderSize || at + length > out.size()) break;
        messages.push_back({GetU32(out, at), GetU32(out, at + 8), out.substr(at, length)});
        at += length;
    }
    return messages;
}

// The stream of fragmented messages, checked for numbering and transaction ID.
std::string Reassemble(const std::vector<Message>& messages, size_t first, size_t count) {
    std::string stream;
    for (size_t i = 0; i < count; ++i) {
        const Message& m = messages.at(first + i);
        EXPECT_EQ(m.tid, messages[first].tid);
        EXPECT_EQ(m.U32(12), count) << "TotalFragments of fragment " << i;
        EXPECT_EQ(m.U32(16), i) << "CurrentFragment";
        stream += m.bytes.substr(kHeaderSize + kFragmentHeaderSize);
    }
    return stream;
}

// COMMAND_DONE fields of a single-message reply.
struct Done {
    uint32_t status;
    std::string buffer;
};
Done DoneOf(const Message& m) {
    EXPECT_EQ(m.type, kCommandDone);
    const std::string stream = m.bytes.substr(kHeaderSize + kFragmentHeaderSize);
    return {GetU32(stream, 20), stream.substr(kCommandStreamFixed, GetU32(stream, 24))};
}

TEST(MbimFunctionGolden, open_done_and_at_reply_bytes) {
    Function function(Faults(), NoEcho());
    EXPECT_EQ(function.Receive(Bytes({1, 0, 0, 0, 16, 0, 0, 0, 7, 0, 0, 0, 0x00, 0x10, 0, 0})),  // OPEN tid 7, 4096
              Bytes({0x01, 0, 0, 0x80,                                                           // OPEN_DONE
                     16, 0, 0, 0,                                                                // MessageLength
                     7, 0, 0, 0,                                                                 // TransactionId
                     0, 0, 0, 0}));                                                              // Status SUCCESS
    EXPECT_EQ(function.HostMaxTransfer(), 4096u);
    EXPECT_EQ(function.Receive(AtCommand(8, "AT\r\n")),
              Bytes({0x03, 0,    0,    0x80,                                      // COMMAND_DONE
                     54,   0,    0,    0,                                         // MessageLength: 12 + 8 + 28 + 6
                     8,    0,    0,    0,                                         // TransactionId
                     1,    0,    0,    0,                                         // TotalFragments
                     0,    0,    0,    0,                                         // CurrentFragment
                     0xff, 0xff, 0xff, 0xff, 0xab, 0xca, 0x4b, 0x11,              // AT service UUID, printed order
                     0xa4, 0xe2, 0xf2, 0xfc, 0x87, 0xf9, 0x44, 0x88, 1, 0, 0, 0,  // CID
                     0,    0,    0,    0,                                         // Status SUCCESS
                     6,    0,    0,    0,                                         // InformationBufferLength
                     '\r', '\n', 'O',  'K',  '\r', '\n'}));
}

TEST(MbimFunctionGolden, device_services_lists_basic_connect_and_the_at_service) {
    EXPECT_EQ(
        DeviceServicesInfo(),
        Bytes({2,    0,    0,    0,                                          // DeviceServicesCount
               0,    0,    0,    0,                                          // MaxDssSessions
               24,   0,    0,    0,    44,   0,    0,    0,                  // element 1: offset, size
               68,   0,    0,    0,    32,   0,    0,    0,                  // element 2
               0xa2, 0x89, 0xcc, 0x33, 0xbc, 0xbb, 0x8b, 0x4f,               // BASIC_CONNECT
               0xb6, 0xb0, 0x13, 0x3e, 0xc2, 0xaa, 0xe6, 0xdf, 0,  0, 0, 0,  // DssPayload
               0,    0,    0,    0,                                          // MaxDssInstances
               4,    0,    0,    0,                                          // CidCount
               1,    0,    0,    0,    2,    0,    0,    0,    16, 0, 0, 0, 19, 0, 0, 0,
               0xff, 0xff, 0xff, 0xff, 0xab, 0xca, 0x4b, 0x11,                            // AT service
               0xa4, 0xe2, 0xf2, 0xfc, 0x87, 0xf9, 0x44, 0x88, 0,  0, 0, 0, 0,  0, 0, 0,  // DssPayload, MaxDssInstances
               1,    0,    0,    0,                                                       // CidCount
               1,    0,    0,    0}));                                                    // CID 1
}

// What the function writes for one input after OPEN (or without it).
struct Row {
    const char* what;
    bool open;
    std::string input;
    uint32_t type;   // first message written
    uint32_t value;  // its Status / ErrorStatusCode (COMMAND_DONE: Status)
};

TEST(MbimFunctionRefusals, table) {
    std::string badLength = AtCommand(5, "AT\r");
    badLength[kHeaderSize + kFragmentHeaderSize + 24] = 9;  // InformationBufferLength past the end
    const std::vector<Row> rows = {
        {"command before OPEN", false, AtCommand(5, "AT\r"), kFunctionError, kErrorNotOpened},
        {"OPEN below 64 bytes", false, Open(5, 32), kOpenDone, kStatusInvalidParameters},
        {"QUERY on the AT command", true, Command(5, kAtService, 1, kQuery), kCommandDone, kStatusNoDeviceSupport},
        {"other AT service CID", true, Command(5, kAtService, 2, kSet, "x"), kCommandDone, kStatusNoDeviceSupport},
        {"SET DEVICE_CAPS", true, Command(5, kBasicConnect, 1, kSet), kCommandDone, kStatusNoDeviceSupport},
        {"unknown service", true, Command(5, Uuid{1}, 1, kSet), kCommandDone, kStatusNoDeviceSupport},
        {"device-to-host type", true, SimpleMessage(kOpenDone, 5, 0), kFunctionError, kErrorUnknown},
        {"length below header", true, Bytes({3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0}), kFunctionError,
         kErrorLengthMismatch},
        {"length above 4096", true, Bytes({3, 0, 0, 0, 0, 0x20, 0, 0, 5, 0, 0, 0}), kFunctionError, kErrorMaxTransfer},
        {"buffer length past the end", true, badLength, kFunctionError, kErrorLengthMismatch},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Function function(Faults(), NoEcho());
        if (row.open) function.Receive(Open(1));
        const std::vector<Message> out = Split(function.Receive(row.input));
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].type, row.type);
        EXPECT_EQ(out[0].tid, 5u);
        EXPECT_EQ(out[0].type == kCommandDone ? DoneOf(out[0]).status : out[0].U32(12), row.value);
    }
}

TEST(MbimFunctionAt, commands_reach_the_modem_and_close_ends_the_session) {
    Function function(Faults(), NoEcho());
    function.Receive(Open(1));
    // Two messages in one write, the second split over two more.
    const std::string two = AtCommand(2, "ATI\r\n") + AtCommand(3, "AT+CGSN\r\n");
    std::vector<Message> out = Split(function.Receive(two.substr(0, two.size() - 7)));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_NE(DoneOf(out[0]).buffer.find("Simulated MBIM LTE modem - not a real device"), std::string::npos);
    EXPECT_TRUE(function.Receive(two.substr(two.size() - 7, 3)).empty());
    out = Split(function.Receive(two.substr(two.size() - 4)));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].tid, 3u);
    EXPECT_EQ(DoneOf(out[0]).buffer, "\r\n490154203237518\r\n\r\nOK\r\n");
    // The modem keeps its state between commands.
    function.Receive(AtCommand(4, "ATV0\r"));
    EXPECT_EQ(DoneOf(Split(function.Receive(AtCommand(5, "AT\r")))[0]).buffer, "0\r");

    out = Split(function.Receive(SimpleMessage(kClose, 6)));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, kCloseDone);
    EXPECT_EQ(Split(function.Receive(AtCommand(7, "AT\r")))[0].U32(12), kErrorNotOpened);
    EXPECT_EQ(function.AtCommands(), 4u);
}

TEST(MbimFunctionFragments, fragmented_command_is_reassembled_and_reply_cut_to_host_maximum) {
    Function function(Faults(), NoEcho());
    function.Receive(Open(1, 64));
    // A command cut into 30-byte messages (10-byte pieces), fed byte by byte.
    const std::vector<std::string> pieces =
        Fragment(kCommand, 9, CommandStream(kAtService, 1, kSet, "AT+CGMI\r\n"), 30);
    ASSERT_EQ(pieces.size(), 4u);
    std::string out;
    for (const std::string& piece : pieces)
        for (char c : piece) out += function.Receive(std::string(1, c));
    const std::vector<Message> messages = Split(out);
    ASSERT_EQ(messages.size(), 2u);  // 28 + 19 stream bytes, 44 per message
    for (const Message& m : messages) EXPECT_LE(m.bytes.size(), 64u);
    const std::string stream = Reassemble(messages, 0, 2);
    EXPECT_EQ(stream, CommandDoneStream(kAtService, 1, kStatusSuccess, "\r\nSimulated\r\n\r\nOK\r\n"));

    // --fragment lowers the cut below the host's maximum, down to one byte a message.
    Faults tiny;
    tiny.fragmentLimit = kMinFragmentLimit;
    Function small(tiny, NoEcho());
    small.Receive(Open(1));
    const std::vector<Message> caps = Split(small.Receive(Command(2, kBasicConnect, 1, kQuery)));
    const std::string expected = CommandDoneStream(kBasicConnect, 1, kStatusSuccess, DeviceCapsInfo(NoEcho()));
    ASSERT_EQ(caps.size(), expected.size());
    EXPECT_EQ(Reassemble(caps, 0, caps.size()), expected);
}

TEST(MbimFunctionFragments, out_of_sequence_fragments_are_refused) {
    Function function(Faults(), NoEcho());
    function.Receive(Open(1));
    const std::vector<std::string> a = Fragment(kCommand, 20, CommandStream(kAtService, 1, kSet, "ATI\r\n"), 30);
    const std::vector<std::string> b = Fragment(kCommand, 21, CommandStream(kAtService, 1, kSet, "AT\r\n"), 30);
    // A later fragment without its first.
    std::vector<Message> out = Split(function.Receive(a[1]));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, kFunctionError);
    EXPECT_EQ(out[0].U32(12), kErrorFragmentOutOfSequence);
    // A fragment skipped: the pending message is lost.
    EXPECT_TRUE(function.Receive(a[0]).empty());
    out = Split(function.Receive(a[2]));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].tid, 20u);
    EXPECT_EQ(out[0].U32(12), kErrorFragmentOutOfSequence);
    // Another message's first fragment interrupting: the pending one is
    // refused, the new one goes on and completes.
    function.Receive(a[0]);
    std::string written = function.Receive(b[0]);
    for (size_t i = 1; i < b.size(); ++i) written += function.Receive(b[i]);
    out = Split(written);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].type, kFunctionError);
    EXPECT_EQ(out[0].tid, 20u);
    EXPECT_EQ(out[1].tid, 21u);
    EXPECT_EQ(DoneOf(out[1]).buffer, "\r\nOK\r\n");
}

TEST(MbimFunctionFaults, each_switch_changes_only_the_at_reply) {
    // OPEN with a 64-byte maximum and a DEVICE_SERVICES query (answered
    // normally whatever the switch: 4 messages), then ATI `commands` times.
    bool removed = false;
    std::vector<Function::Delayed> delayed;
    const auto run = [&removed, &delayed](const Faults& faults, unsigned commands) {
        Function function(faults, NoEcho());
        std::string out = function.Receive(Open(1, 64));
        out += function.Receive(Command(2, kBasicConnect, 16, kQuery));
        for (unsigned i = 0; i < commands; ++i) out += function.Receive(AtCommand(10 + i, "ATI\r"));
        removed = function.Removed();
        delayed = function.TakeDelayed();
        return Split(out);
    };
    const size_t before = 4;
    const size_t ati = 4;  // 175 stream bytes, 44 per message
    Faults faults;

    faults.atStatus = 28;
    std::vector<Message> out = run(faults, 1);
    ASSERT_EQ(out.size(), before + 1);
    EXPECT_EQ(DoneOf(out.back()).status, 28u);
    EXPECT_EQ(DoneOf(out.back()).buffer, "");

    faults = Faults();
    faults.silent = true;
    EXPECT_EQ(run(faults, 2).size(), before);

    faults = Faults();
    faults.silentOpen = true;
    out = run(faults, 1);
    ASSERT_EQ(out.size(), 2u);  // no OPEN_DONE; the query and the command refused
    EXPECT_EQ(out[0].U32(12), kErrorNotOpened);

    faults = Faults();
    faults.indicateFirst = true;
    out = run(faults, 1);
    ASSERT_EQ(out.size(), before + 1 + ati);
    EXPECT_EQ(out[before].type, kIndicateStatus);
    EXPECT_EQ(out[before].tid, 0u);
    EXPECT_EQ(out[before].bytes.substr(20), IndicateStatusStream(kAtService, 1, kIndicationBytes));

    faults = Faults();
    faults.wrongTid = true;
    out = run(faults, 1);
    ASSERT_EQ(out.size(), before + ati);
    EXPECT_EQ(out[1].tid, 2u);
    EXPECT_EQ(out.back().tid, WrongTransactionId(10));
    EXPECT_NE(out.back().tid, 10u);

    faults = Faults();
    faults.truncate = true;
    out = run(faults, 1);
    ASSERT_EQ(out.size(), before + ati);
    const std::string stream = Reassemble(out, before, ati);
    EXPECT_LT(stream.size(), kCommandStreamFixed + GetU32(stream, 24));  // declares more than it carries

    faults = Faults();
    faults.removeAfter = 2;
    EXPECT_EQ(run(faults, 3).size(), before + ati);  // only the first AT command answered
    EXPECT_TRUE(removed);
    EXPECT_TRUE(delayed.empty());

    faults = Faults();
    faults.delayMs = 250;
    faults.indicateFirst = true;
    ASSERT_EQ(run(faults, 2).size(), before);  // the query answered at once, the AT commands held back
    ASSERT_EQ(delayed.size(), 2u);
    EXPECT_EQ(delayed[1].delayMs, 250u);
    out = Split(delayed[1].bytes);
    ASSERT_EQ(out.size(), 1 + ati);
    EXPECT_EQ(out[0].type, kIndicateStatus);
    EXPECT_EQ(out[1].tid, 11u);

    faults = Faults();
    faults.unsolicitedError = true;
    out = run(faults, 2);  // a reset under no transaction, then the next command finds the function closed
    ASSERT_EQ(out.size(), before + 2);
    EXPECT_EQ(out[before].bytes + out[before + 1].bytes,
              SimpleMessage(kFunctionError, 0, kErrorNotOpened) + SimpleMessage(kFunctionError, 11, kErrorNotOpened));
}

TEST(MbimFunctionFaults, cut_command_refused_subscribe_and_lost_close_done) {
    Faults faults;
    faults.maxMessage = 64;  // 48 bytes of headers, 16 of the AT command
    faults.refuseSubscribe = true;
    faults.silentClose = true;
    Function function(faults, NoEcho());
    function.Receive(Open(1));
    const std::string text = "AT+CGSN\rAT+CGMR\rAT+CGMI\r";
    const std::string input = AtCommand(2, text) + Command(3, kBasicConnect, 19, kSet, "list") +
                              SimpleMessage(kClose, 4) + AtCommand(5, "AT\r");
    // The first write ends inside the lost tail of the cut command.
    std::string written = function.Receive(input.substr(0, 68));
    written += function.Receive(input.substr(68));
    const std::vector<Message> out = Split(written);
    ASSERT_EQ(out.size(), 3u);  // no CLOSE_DONE
    EXPECT_EQ(DoneOf(out[0]).buffer, mbnsim::Modem(NoEcho()).Feed(text.substr(0, 16)));
    EXPECT_EQ(out[1].tid, 3u);
    EXPECT_EQ(DoneOf(out[1]).status, kStatusNoDeviceSupport);
    EXPECT_EQ(DoneOf(out[1]).buffer, "");
    EXPECT_EQ(out[2].bytes, SimpleMessage(kFunctionError, 5, kErrorNotOpened));
}

}  // namespace
