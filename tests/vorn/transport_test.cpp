// The transport: request bytes for every release and namespace, the walk of the return
// stream, reply extraction, and the hex dump.
#include "fake_driver.h"

#include <sys/socket.h>

#include <tuple>

using namespace vorn;

namespace {

using Requests = VornTest;

TEST_F(Requests, ReleaseDropsOneStrongReferenceAndNeverTheContextManagers)
{
    Session &s = attach(11);
    releaseHandle(s, 0);
    EXPECT_TRUE(fake.writes.empty());
    releaseHandle(s, 5);
    ASSERT_EQ(fake.writes.size(), 1u);
    EXPECT_EQ(hex(fake.writes[0]), "06 63 04 40 05 00 00 00");
    EXPECT_EQ(fake.reads, 0);
}

TEST_F(Requests, DebugShowsTheRequestTheCodesAndTheReply)
{
    env("ZQDEBUG", "1");
    Session &s = attach(11);
    // Codes after the reply: the report shows the read buffer itself, 96 bytes from BR_REPLY.
    Bytes stream(fake.stream(reply(Bytes().u32(0).object(BINDER_TYPE_HANDLE, 1), {4})).value());
    for (int i = 0; i < 10; ++i)
        stream.u32(BR_NOOP);
    fake.answer({codes(stream)});
    Result r = capture([&] {
        Outcome o = transact(s, 0, PING_TRANSACTION, request(s, nullptr), nullptr);
        return int(o.answered() && !report(s, o.reply).data.empty());
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

// A reply record with nothing in it, and an incoming call of code 1 to the node Target whose
// buffer lies at 0x1000.
const Bytes EMPTY_REPLY = Bytes().transaction(BR_REPLY, 0, 0, 0);
Bytes incoming(uint64_t Target = 0, uint32_t Flags = 0)
{
    return Bytes().transaction(BR_TRANSACTION, Target, 1, Flags, 0, 0, 0x1000);
}
Bytes operator+(Bytes A, const Bytes &B)
{
    A.insert(A.end(), B.begin(), B.end());
    return A;
}

// Every read until the reply, what goes back to the driver on the way, and the outcome.
TEST_F(Requests, TheLoopWalksEveryCodeAndAnswersWhatNeedsAnAnswer)
{
    struct Case {
        std::vector<Answer> reads;
        Outcome::Kind kind;
        std::string err = "", answered = ""; // how the writes after the transaction start
    };
    const std::string unexpected = "Encountered unexpected code: ", truncated = "Encountered truncated code: ";
    for (const Case &c : std::vector<Case>{
             {{codes(Bytes().u32(BR_NOOP)), codes(Bytes().u32(BR_NOOP) + EMPTY_REPLY)}, Outcome::REPLY},
             // A payload word equal to a return code is not taken for one; reference counts are acknowledged.
             {{codes(Bytes().u32(BR_INCREFS).u64(BR_FAILED_REPLY).u64(BR_DEAD_REPLY) + EMPTY_REPLY)},
              Outcome::REPLY,
              "",
              "08 63 10 40 11 72 00 00 00 00 00 00 05 72 00 00 00 00 00 00"},
             // An incoming call is freed, then refused with a status-only reply.
             {{codes(incoming() + EMPTY_REPLY)}, Outcome::REPLY, "", "03 63 08 40 00 10 00 00 00 00 00 00 01 63 40 40"},
             {{INTERRUPTED, codes(EMPTY_REPLY)}, Outcome::REPLY},
             {{codes(Bytes().u32(0x1234).u32(BR_REPLY))}, Outcome::BROKEN, unexpected + "Code: 0x1234\n"},
             {{codes(Bytes().u32(BR_ERROR).u32(uint32_t(-22)))}, Outcome::BROKEN, unexpected + "BR_ERROR\n"},
             {{}, Outcome::BROKEN, "binder: Resource temporarily unavailable\n"},
             {{codes({})}, Outcome::BROKEN, unexpected + "none\n"},
             {{codes(Bytes().u32(BR_TRANSACTION_COMPLETE).u32(BR_REPLY).u64(0))},
              Outcome::BROKEN,
              truncated + "BR_REPLY\n"},
             {{codes(Bytes().u32(BR_NOOP).u32(BR_INCREFS).u32(1))}, Outcome::BROKEN, truncated + "BR_INCREFS\n"},
             {{codes(Bytes().u32(BR_FROZEN_REPLY))},
              Outcome::FROZEN,
              unexpected + "Code: 0x7212\nThe service's process is frozen and cannot reply (BR_FROZEN_REPLY)\n"},
         }) {
        Session &s = attach(11);
        fake.writes.clear();
        fake.answer(c.reads);
        Outcome o{Outcome::BROKEN, {}, 0, {}};
        Result r = capture([&] { return (o = transact(s, 1, 3, request(s, "IFoo"), "IFoo")).answered(); });
        EXPECT_EQ(std::tuple(o.kind, r.err, o.reply.pid), std::tuple(c.kind, c.err, o.answered() ? 4321 : 0)) << c.err;
        ASSERT_GE(fake.writes.size(), 1u) << c.err;
        EXPECT_EQ(fake.writes[0][0], 0x00) << c.err << ": the transaction is sent once";
        std::string after; // everything written after the transaction
        for (size_t w = 1; w < fake.writes.size(); ++w)
            after.append(after.empty() ? "" : " ").append(hex(fake.writes[w]));
        EXPECT_EQ(after.substr(0, c.answered.size()), c.answered);
        // Every reply's buffer goes back to the driver, last.
        EXPECT_EQ(after.ends_with("03 63 08 40 00 00 00 00 00 00 00 00"), o.answered()) << after;
        fake.reset();
    }
}

// Waiting as a looper for the one-way call to a node of ours: a two-way call and a call to
// another node are refused on the way.
TEST_F(Requests, AnAwaitedCallIsTakenAndOnlyIt)
{
    Session &s = attach(11);
    fake.answer({codes(incoming(7) + incoming(8, TF_ONE_WAY) + incoming(7, TF_ONE_WAY))});
    Outcome o = awaitCall(s, 7, 5);
    EXPECT_EQ(std::tuple(o.kind, o.reply.code), std::tuple(Outcome::REPLY, 1u));
    ASSERT_EQ(fake.writes.size(), 2u);
    EXPECT_EQ(hex(fake.writes[0]), "0c 63 00 00"); // a looper from now on
    std::string answers = hex(fake.writes[1]), freed = "03 63 08 40 00 10 00 00 00 00 00 00";
    EXPECT_EQ(answers.substr(0, 47), freed + " 01 63 40 40");                              // the two-way call refused
    EXPECT_EQ(answers.substr(answers.size() - 2 * freed.size() - 1), freed + " " + freed); // the others freed
}

// The machine shows the plain wording.
TEST_F(Requests, AFailedReplyIsWordedInColour)
{
    env("ZQCOLOR", "1");
    Session &coloured = attach(11);
    fake.answer({FAILED});
    EXPECT_EQ(transact(coloured, 1, 7, Writer(), nullptr).why,
              "\033[31;1m\xe2\x9a\xa0\xef\xb8\x8f  - Method 7 call returned BR_FAILED_REPLY\033[0;0m");
}

// The machine's dumps show an empty reply noted; a real driver never places one elsewhere.
TEST_F(Requests, AReplyOutsideTheReceiveAreaIsRefused)
{
    Session &s = attach(11);

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
        fake.answer(
            {codes(Bytes().transaction(BR_REPLY, 0, 0, 0, row.size, row.offsetsSize, row.buffer, row.offsets))});
        Result r = capture([&] { return int(transact(s, 1, 3, Writer(), nullptr).answered()); });
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

// The machine shows dumps of replies, which start at 0, and the empty one; the debug dumps of
// requests show their addresses, of which only the low 32 bits fit the column.
TEST(HexDump, AddressesAndTheEmptyDump)
{
    const std::string pad15(45, ' ');
    for (const DumpRow &row : std::vector<DumpRow>{
             {{0xe9}, 0x10000, "0x10000: E9 " + pad15 + "  .\n"},
             {{0x20}, 0x1'0000'0010ull, "0x0010: 20 " + pad15 + "   \n"},
         })
        EXPECT_EQ(capture([&] { return hexDump(row.bytes.data(), row.bytes.size(), row.addr), 0; }).err, row.text);
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
