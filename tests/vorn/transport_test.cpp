// The transport: request bytes for every release and namespace, the walk of the return
// stream, reply extraction, and the hex dump.
#include "fake_driver.h"

#include <sys/socket.h>

using namespace vorn;

namespace {

std::string smToken() { return hex(Bytes().str16("android.os.IServiceManager")); }

struct BuilderRow {
    int release;
    int ns;
    const char *interface;
    std::vector<uint8_t> args;
    uint32_t command;
    size_t writeLen;
    std::string parcel; // hex
};

class Builder : public VornTest, public ::testing::WithParamInterface<BuilderRow> {};

TEST_P(Builder, WritesTheHeaderWordsOfEachReleaseAndNamespace)
{
    const BuilderRow &row = GetParam();
    attach(row.release, row.ns);
    fake.reply(Bytes().u32(0));
    ASSERT_TRUE(sendMethodToServiceTarget(7, 3, row.interface, row.args));
    ASSERT_EQ(fake.sent.size(), 1u);
    const Sent &s = fake.sent[0];
    EXPECT_EQ(s.command, row.command);
    EXPECT_EQ(s.writeLen, row.writeLen);
    EXPECT_EQ(s.target, 7u);
    EXPECT_EQ(s.code, 3u);
    EXPECT_EQ(s.flags, TF_ACCEPT_FDS);
    EXPECT_EQ(hex(s.parcel), row.parcel);
    EXPECT_TRUE(s.offsets.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Builder,
    ::testing::Values(
        BuilderRow{11,
                   NS_BINDER,
                   "android.os.IServiceManager",
                   {},
                   BC_TRANSACTION,
                   68,
                   "00 00 00 80 ff ff ff ff 54 53 59 53 " + smToken()},
        BuilderRow{10,
                   NS_BINDER,
                   "android.os.IServiceManager",
                   {},
                   BC_TRANSACTION,
                   68,
                   "00 00 00 80 ff ff ff ff " + smToken()},
        BuilderRow{9, NS_BINDER, "android.os.IServiceManager", {}, BC_TRANSACTION, 68, "00 00 40 00 " + smToken()},
        BuilderRow{0, NS_BINDER, nullptr, {}, BC_TRANSACTION, 68, "00 00 40 00"},
        BuilderRow{11, NS_VNDBINDER, nullptr, {}, BC_TRANSACTION, 68, "00 00 00 80 ff ff ff ff 52 44 4e 56"},
        BuilderRow{10,
                   NS_VNDBINDER,
                   "I",
                   {9, 0, 0, 0},
                   BC_TRANSACTION,
                   68,
                   "00 00 00 80 ff ff ff ff 01 00 00 00 49 00 00 00 09 00 00 00"},
        BuilderRow{11,
                   NS_HWBINDER,
                   "android.hidl.manager@1.0::IServiceManager",
                   {},
                   BC_TRANSACTION_SG,
                   76,
                   hex(Bytes(std::string_view("android.hidl.manager@1.0::IServiceManager\0\0\0", 44)))},
        BuilderRow{
            9, NS_HWBINDER, "abcd", {1, 2, 3, 4}, BC_TRANSACTION_SG, 76, "61 62 63 64 00 00 00 00 01 02 03 04"}));

using Requests = VornTest;

TEST_F(Requests, DumpCarriesTheDescriptorObjectAloneAtOffsetZero)
{
    attach(11);
    fake.reply(Bytes());
    Parcel fd = serializeFD(1);
    ASSERT_TRUE(sendMethodToServiceTarget(5, DUMP_TRANSACTION, "IFoo", fd));
    const Sent &s = fake.sent.at(0);
    EXPECT_EQ(s.parcel, fd);
    EXPECT_EQ(s.offsets, std::vector<uint64_t>{0});
    EXPECT_EQ(s.code, DUMP_TRANSACTION);
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
    std::vector<uint8_t> stream = fake.replyStream(Bytes().u32(0).object(BINDER_TYPE_HANDLE, 1), {4});
    for (int i = 0; i < 10; ++i)
        stream.insert(stream.end(), {0x0c, 0x72, 0, 0});
    fake.answer(stream);
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

struct WalkRow {
    const char *name;
    std::vector<std::vector<uint8_t>> reads; // one return stream per read
    bool replied;
    const char *err;
};

class Walk : public VornTest, public ::testing::WithParamInterface<WalkRow> {};

TEST_P(Walk, FindsTheReplyCodeByCode)
{
    const WalkRow &row = GetParam();
    attach(11);
    for (const auto &stream : row.reads)
        fake.answer(stream);
    std::optional<binder_transaction_data> reply;
    Result r = capture([&] {
        reply = sendMethodToServiceTarget(1, 3, "IFoo", {});
        return 0;
    });
    EXPECT_EQ(reply.has_value(), row.replied);
    EXPECT_EQ(r.err, row.err);
    if (reply) {
        EXPECT_EQ(reply->sender_pid, 4321);
    }
}

std::vector<uint8_t> fakeReplyRecord()
{
    // A whole BR_REPLY with its record, without the bookkeeping codes before it.
    return Bytes().u32(BR_REPLY).u64(0).u64(0).u32(0).u32(0).u32(4321).u32(0).u64(0).u64(0).u64(0).u64(0);
}

std::vector<uint8_t> concat(std::vector<uint8_t> A, const std::vector<uint8_t> &B)
{
    A.insert(A.end(), B.begin(), B.end());
    return A;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Walk,
    ::testing::Values(
        WalkRow{"ordinary", {concat(Bytes().u32(BR_NOOP).u32(BR_TRANSACTION_COMPLETE), fakeReplyRecord())}, true, ""},
        WalkRow{"reply in a second read",
                {Bytes().u32(BR_NOOP).u32(BR_TRANSACTION_COMPLETE), concat(Bytes().u32(BR_NOOP), fakeReplyRecord())},
                true,
                ""},
        // A payload word equal to a return code is not taken for one.
        WalkRow{"payload looks like a code",
                {concat(Bytes().u32(BR_INCREFS).u64(BR_FAILED_REPLY).u64(BR_DEAD_REPLY), fakeReplyRecord())},
                true,
                ""},
        WalkRow{"dead reply",
                {Bytes().u32(BR_NOOP).u32(BR_DEAD_REPLY)},
                false,
                "Encountered unexpected code: Code: 0x7205\n"},
        WalkRow{
            "unknown code", {Bytes().u32(0x1234).u32(BR_REPLY)}, false, "Encountered unexpected code: Code: 0x1234\n"},
        WalkRow{"driver error",
                {Bytes().u32(BR_ERROR).u32(uint32_t(-22))},
                false,
                "Encountered unexpected code: BR_ERROR\n"},
        WalkRow{"nothing read", {}, false, "Encountered unexpected code: none\n"},
        WalkRow{"bookkeeping then nothing", {Bytes().u32(BR_NOOP)}, false, "Encountered unexpected code: none\n"},
        WalkRow{"truncated reply",
                {Bytes().u32(BR_TRANSACTION_COMPLETE).u32(BR_REPLY).u64(0).u64(0)},
                false,
                "Encountered truncated code: BR_REPLY\n"},
        WalkRow{"truncated payload",
                {Bytes().u32(BR_NOOP).u32(BR_INCREFS).u32(1)},
                false,
                "Encountered truncated code: BR_INCREFS\n"},
        WalkRow{"failed reply", {Bytes().u32(BR_NOOP).u32(BR_TRANSACTION_COMPLETE).u32(BR_FAILED_REPLY)}, false, ""}),
    [](const auto &Info) {
        std::string name = Info.param.name;
        for (char &c : name)
            if (!isalnum(uint8_t(c)))
                c = '_';
        return name;
    });

using FailedReply = VornTest;

TEST_F(FailedReply, LeavesItsTextInSafeWords)
{
    attach(11);
    fake.answer(Bytes().u32(BR_FAILED_REPLY));
    EXPECT_FALSE(sendMethodToServiceTarget(1, 3, "IFoo", {}));
    EXPECT_STREQ(safeWords, "IFooMethod 3 call returned BR_FAILED_REPLY");

    env("ZQCOLOR", "1");
    attach(11);
    fake.answer(Bytes().u32(BR_FAILED_REPLY));
    EXPECT_FALSE(sendMethodToServiceTarget(1, 7, nullptr, {}));
    EXPECT_STREQ(safeWords, "\033[31;1m\xe2\x9a\xa0\xef\xb8\x8f  - Method 7 call returned BR_FAILED_REPLY\033[0;0m");

    std::string longName(3000, 'x');
    fake.answer(Bytes().u32(BR_FAILED_REPLY));
    EXPECT_FALSE(sendMethodToServiceTarget(1, 7, longName.c_str(), {}));
    EXPECT_EQ(strlen(safeWords), sizeof safeWords - 1);
}

using Extraction = VornTest;

TEST_F(Extraction, EmptyReplyIsNotedAndDataOutsideTheReceiveAreaRefused)
{
    attach(11);
    fake.reply(Bytes());
    auto reply = sendMethodToServiceTarget(1, 3, nullptr, {});
    std::optional<ReceivedParcel> parcel;
    Result r = capture([&] { return int((parcel = getReplyParcelBuf(*reply)).has_value()); });
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
