// The transport: request bytes for every release and namespace, the walk of the return
// stream, reply extraction, and the hex dump.
#include "fake_driver.h"

#include <sys/socket.h>

#include <tuple>

using namespace vorn;

namespace {

using Requests = VornTest;

// The machine shows every release's header accepted by its peers; here the rest of the layout.
TEST_F(Requests, CarryHeaderNameAndArgumentsPadded)
{
    struct Case {
        int release, ns;
        const char *interface;
        Bytes args;
        uint32_t command;
        size_t writeLen;
        std::string parcel;
    };
    for (const Case &c : std::vector<Case>{
             {0, NS_BINDER, nullptr, Bytes(), BC_TRANSACTION, 68, "00 00 40 00"}, // taken as 9
             {10, NS_VNDBINDER, "I", Bytes().u32(9), BC_TRANSACTION, 68,
              "00 00 00 80 ff ff ff ff 01 00 00 00 49 00 00 00 09 00 00 00"},
             {9, NS_HWBINDER, "abcd", Bytes().u32(0x04030201), BC_TRANSACTION_SG, 76,
              "61 62 63 64 00 00 00 00 01 02 03 04"},
         }) {
        attach(c.release, c.ns);
        fake.answer({reply(Bytes().u32(0))});
        ASSERT_TRUE(sendMethodToServiceTarget(7, 3, c.interface, c.args));
        const Sent &s = fake.sent.back();
        EXPECT_EQ(std::tuple(s.command, s.writeLen, s.target, s.code, s.flags, hex(s.parcel), s.offsets.size()),
                  std::tuple(c.command, c.writeLen, 7u, 3u, TF_ACCEPT_FDS, c.parcel, size_t(0)));
    }
}

TEST_F(Requests, ReleaseDropsOneStrongReferenceAndNeverTheContextManagers)
{
    attach(11);
    EXPECT_EQ(releaseDesc(0), 0);
    EXPECT_TRUE(fake.writes.empty());
    EXPECT_EQ(releaseDesc(5), 0);
    ASSERT_EQ(fake.writes.size(), 1u);
    EXPECT_EQ(hex(fake.writes[0]), "06 63 04 40 05 00 00 00");
    EXPECT_EQ(fake.reads, 0);
}

TEST_F(Requests, DebugShowsTheRequestTheCodesAndTheReply)
{
    env("ZQDEBUG", "1");
    attach(11);
    // Codes after the reply: the report shows the read buffer itself, 96 bytes from BR_REPLY.
    Bytes stream(fake.stream(reply(Bytes().u32(0).object(BINDER_TYPE_HANDLE, 1), {4})).value());
    for (int i = 0; i < 10; ++i)
        stream.u32(BR_NOOP);
    fake.answer({codes(stream)});
    Result r = capture([] {
        auto reply = sendMethodToServiceTarget(0, PING_TRANSACTION, nullptr, {});
        return int(reply && getReplyParcelBuf(*reply));
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Sending method (null):PING_TRANSACTION to descriptor 0\n0x0000: 00 63 40 40 ", 0), 0u)
        << r.err;
    for (const char *line :
         {"RC: 0 - write_consumed : 68  read consumed : 116\n", "CODE.. @0x0: 0x720c (BR_NOOP)\n",
          "CODE.. @0x8: 0x80407203 (BR_REPLY)\n0x0000: 03 72 40 80 ", "Reply - :\n0x0000: 03 72 40 80 ",
          "\n0x0050: 0C 72 00 00 0C 72 00 00 0C 72 00 00 0C 72 00 00   .r...r...r...r..\n from PID "
          "4321 (UID: 1000): Code 0\n",
          "(8 bytes) 0x4 \n", "(28 bytes):\n0x0000: 00 00 00 00 85 2A 68 73 "})
        EXPECT_NE(r.err.find(line), std::string::npos) << line << r.err;
}

// A whole BR_REPLY with its record, without the bookkeeping codes before it.
Bytes replyRecord()
{
    return Bytes().u32(BR_REPLY).u64(0).u64(0).u32(0).u32(0).u32(4321).u32(0).u64(0).u64(0).u64(0).u64(0);
}
Bytes operator+(Bytes A, const Bytes &B)
{
    A.insert(A.end(), B.begin(), B.end());
    return A;
}

TEST_F(Requests, TheWalkFindsTheReplyCodeByCode)
{
    struct Case {
        const char *name;
        std::vector<Answer> reads;
        const char *err; // null when the reply is found
    };
    attach(11);
    for (const Case &c : std::vector<Case>{
             {"reply in a second read",
              {codes(Bytes().u32(BR_NOOP)), codes(Bytes().u32(BR_NOOP) + replyRecord())},
              nullptr},
             // A payload word equal to a return code is not taken for one.
             {"payload looks like a code",
              {codes(Bytes().u32(BR_INCREFS).u64(BR_FAILED_REPLY).u64(BR_DEAD_REPLY) + replyRecord())},
              nullptr},
             {"unknown code",
              {codes(Bytes().u32(0x1234).u32(BR_REPLY))},
              "Encountered unexpected code: Code: 0x1234\n"},
             {"driver error",
              {codes(Bytes().u32(BR_ERROR).u32(uint32_t(-22)))},
              "Encountered unexpected code: BR_ERROR\n"},
             {"nothing read", {}, "Encountered unexpected code: none\n"},
             {"truncated reply",
              {codes(Bytes().u32(BR_TRANSACTION_COMPLETE).u32(BR_REPLY).u64(0))},
              "Encountered truncated code: BR_REPLY\n"},
             {"truncated payload",
              {codes(Bytes().u32(BR_NOOP).u32(BR_INCREFS).u32(1))},
              "Encountered truncated code: BR_INCREFS\n"},
         }) {
        fake.answer(c.reads);
        std::optional<binder_transaction_data> reply;
        Result r = capture([&] { return (reply = sendMethodToServiceTarget(1, 3, "IFoo", {})).has_value(); });
        EXPECT_EQ(r.err, c.err ? c.err : "") << c.name;
        EXPECT_EQ(reply ? reply->sender_pid : 0, c.err ? 0 : 4321) << c.name;
    }
}

using FailedReply = VornTest;

TEST_F(FailedReply, LeavesItsTextInSafeWords)
{
    attach(11);
    fake.answer({FAILED});
    EXPECT_FALSE(sendMethodToServiceTarget(1, 3, "IFoo", {}));
    EXPECT_STREQ(safeWords, "IFooMethod 3 call returned BR_FAILED_REPLY");

    env("ZQCOLOR", "1");
    attach(11);
    fake.answer({FAILED});
    EXPECT_FALSE(sendMethodToServiceTarget(1, 7, nullptr, {}));
    EXPECT_STREQ(safeWords, "\033[31;1m\xe2\x9a\xa0\xef\xb8\x8f  - Method 7 call returned BR_FAILED_REPLY\033[0;0m");

    std::string longName(3000, 'x');
    fake.answer({FAILED});
    EXPECT_FALSE(sendMethodToServiceTarget(1, 7, longName.c_str(), {}));
    EXPECT_EQ(strlen(safeWords), sizeof safeWords - 1);
}

using Extraction = VornTest;

TEST_F(Extraction, EmptyReplyIsNotedAndDataOutsideTheReceiveAreaRefused)
{
    attach(11);
    fake.answer({reply({})});
    auto replied = sendMethodToServiceTarget(1, 3, nullptr, {});
    std::optional<ReceivedParcel> parcel;
    Result r = capture([&] { return int((parcel = getReplyParcelBuf(*replied)).has_value()); });
    EXPECT_EQ(r.err + r.out + std::to_string(r.status), "No data\n1");
    EXPECT_TRUE(parcel->data.empty());

    static const uint8_t elsewhere[8] = {};
    struct Row {
        uint64_t buffer, size, offsets, offsetsSize;
        const char *err;
    };
    uint64_t end = uint64_t(uintptr_t(fake.area())) + RECV_AREA_SIZE;
    for (const Row &row : std::vector<Row>{
             {uint64_t(uintptr_t(elsewhere)), 8, 0, 0,
              "Reply data at 0x%llx (8 bytes) lies outside the receive area\n"},
             {end - 4, 8, 0, 0, "Reply data at 0x%llx (8 bytes) lies outside the receive area\n"},
             {end - 4, 4, 16, 8, "Reply offsets at 0x10 (8 bytes) lie outside the receive area\n"},
             {end - 4, 4, 0, 0, ""},
         }) {
        binder_transaction_data record{};
        record.buffer = row.buffer;
        record.data_size = row.size;
        record.offsets = row.offsets;
        record.offsets_size = row.offsetsSize;
        r = capture([&] { return int(getReplyParcelBuf(record, false).has_value()); });
        char err[128];
        snprintf(err, sizeof err, row.err, (unsigned long long)row.buffer);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.status, *err == 0);
    }
}

struct DumpRow {
    std::vector<uint8_t> bytes;
    uint64_t addr;
    std::string text;
};

TEST(HexDump, LinesOfSixteen)
{
    std::string pad13(39, ' '), pad15(45, ' ');
    std::string sixteenB = "0x0000: ";
    for (int i = 0; i < 16; ++i)
        sixteenB += "62 ";
    for (const DumpRow &row : std::vector<DumpRow>{
             {{0x41, 0x00, 0x7f}, 0, "0x0000: 41 00 7F " + pad13 + "  A..\n"},
             {std::vector<uint8_t>(16, 'b'), 0, sixteenB + "  bbbbbbbbbbbbbbbb\n"},
             {std::vector<uint8_t>(17, 'b'), 0, sixteenB + "  bbbbbbbbbbbbbbbb\n0x0010: 62 " + pad15 + "  b\n"},
             {{}, 0, "  \n"},
             {{0xe9}, 0x10000, "0x10000: E9 " + pad15 + "  .\n"},
             {{0x20}, 0x1'0000'0010ull, "0x0010: 20 " + pad15 + "   \n"},
         }) {
        Result r = capture([&] {
            hexDump(row.bytes.data(), row.bytes.size(), row.addr);
            return 0;
        });
        EXPECT_EQ(r.err, row.text);
    }
}

// Debug mode dumps every reply: a line is one write, not one per byte.
TEST(HexDump, WritesEachLineAtOnce)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0); // one record per write
    int saved = dup(2);
    dup2(pair[0], 2);
    std::vector<uint8_t> bytes(17, 'b');
    hexDump(bytes.data(), bytes.size(), 0);
    dup2(saved, 2);
    close(saved);
    close(pair[0]);
    std::vector<std::string> records;
    char record[256];
    for (ssize_t n; (n = recv(pair[1], record, sizeof record, MSG_DONTWAIT)) > 0;)
        records.emplace_back(record, size_t(n));
    close(pair[1]);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1], "0x0010: 62 " + std::string(45, ' ') + "  b\n");
}

} // namespace
