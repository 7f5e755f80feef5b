// The service manager client: lookup, check, interface query, and the three listings,
// against well-formed, refused, truncated and lying replies.
#include "fake_driver.h"

#include <regex>

using namespace vorn;

namespace {

std::string header11()
{
    return "00 00 00 80 ff ff ff ff 54 53 59 53 " + hex(Bytes().str16("android.os.IServiceManager"));
}

struct LookupRow {
    const char *name;
    Bytes data;
    std::vector<uint64_t> offsets;
    uint32_t code;
    int result;
    const char *err;
};

class Lookup : public VornTest, public ::testing::WithParamInterface<LookupRow> {};

TEST_P(Lookup, ChecksTheReplyBeforeTakingItsHandle)
{
    const LookupRow &row = GetParam();
    attach(11);
    fake.answer(fake.replyStream(row.data, row.offsets, 0, row.code));
    Result r = capture([] { return getService("media"); });
    EXPECT_EQ(r.status, row.result);
    EXPECT_EQ(r.err, row.err);
}

Bytes statusAndHandle() { return Bytes().u32(0).object(BINDER_TYPE_HANDLE, 9); }

INSTANTIATE_TEST_SUITE_P(
    Replies, Lookup,
    ::testing::Values(
        LookupRow{"handle_first", Bytes().object(BINDER_TYPE_HANDLE, 9), {0}, 0, 9, ""},
        LookupRow{"status_then_handle_ending_at_the_end", statusAndHandle(), {4}, 0, 9, ""},
        LookupRow{"object_runs_past_the_end",
                  statusAndHandle(),
                  {8},
                  0,
                  -6,
                  "Malformation: Flat binder object size would get to 32, which is greater than buffer size 28\n"},
        LookupRow{"offset_past_the_end",
                  statusAndHandle(),
                  {40},
                  0,
                  -5,
                  "Malformation: Offset points to 40, which is greater than buffer size 28\n"},
        LookupRow{"no_object", Bytes().u32(0), {}, 0, -1, ""},
        LookupRow{"two_objects", statusAndHandle().object(BINDER_TYPE_HANDLE, 3), {4, 28}, 0, -1, ""},
        LookupRow{"not_a_handle",
                  Bytes().u32(0).object(BINDER_TYPE_BINDER, 0),
                  {4},
                  0,
                  -3,
                  "android.os.IServiceManager::GET_SERVICE returned something that's not a strong handle!?\n"},
        LookupRow{"reply_code", statusAndHandle(), {4}, 5, -1, "android.os.IServiceManager::GET_SERVICE returned 5\n"}),
    [](const auto &Info) { return std::string(Info.param.name); });

using Lookups = VornTest;

TEST_F(Lookups, RequestCarriesTheNameAsString16AfterTheToken)
{
    attach(11);
    EXPECT_EQ(getService(nullptr), 0);
    EXPECT_TRUE(fake.sent.empty());
    fake.handleReply(4);
    EXPECT_EQ(getService("media"), 4);
    ASSERT_EQ(fake.sent.size(), 1u);
    EXPECT_EQ(fake.sent[0].target, 0u);
    EXPECT_EQ(fake.sent[0].code, SVC_MGR_CHECK_SERVICE);
    EXPECT_EQ(hex(fake.sent[0].parcel), header11() + " 05 00 00 00 6d 00 65 00 64 00 69 00 61 00 00 00");
}

struct CheckRow {
    std::vector<std::string> env;
    std::vector<std::string> words;
    std::function<void(FakeDriver &)> script;
    const char *out;
    const char *err;
    int status;
};

class Check : public VornTest, public ::testing::WithParamInterface<CheckRow> {};

TEST_P(Check, FoundNotFoundAndRefused)
{
    const CheckRow &row = GetParam();
    for (const std::string &name : row.env)
        env(name.c_str(), "1");
    row.script(fake);
    Result r = runVorn(row.words);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.status, row.status);
}

const char *const HINT = "(set NOT10=1 for Android 9 and older, A11=1 for Android 11 and later)\n";

INSTANTIATE_TEST_SUITE_P(
    Commands, Check,
    ::testing::Values(
        CheckRow{{"A11"},
                 {"vorn", "check", "sample"},
                 [](FakeDriver &f) { f.handleReply(1); },
                 "Service sample: found\n",
                 "",
                 0},
        CheckRow{{"A11"},
                 {"vorn", "check", "nosuch"},
                 [](FakeDriver &f) { f.reply(Bytes().u32(0).object(BINDER_TYPE_BINDER, 0).u32(0xc)); },
                 "",
                 "Service nosuch: not found\n",
                 1},
        // A header the manager does not accept is a refusal, not "not found".
        CheckRow{{"A11"},
                 {"vorn", "check", "sample"},
                 [](FakeDriver &f) { f.statusReply(-1); },
                 "",
                 "android.os.IServiceManager::GET_SERVICE was refused with status -1 (0xffffffff): the request "
                 "header may not match the device's release (set NOT10=1 for Android 9 and older, A11=1 for "
                 "Android 11 and later)\n",
                 1},
        CheckRow{{"NOT10"},
                 {"vorn", "check", "sample"},
                 [](FakeDriver &f) { f.statusReply(int32_t(0x80000001)); },
                 "",
                 "android.os.IServiceManager::GET_SERVICE was refused with status -2147483647 (0x80000001): the "
                 "request header may not match the device's release (set NOT10=1 for Android 9 and older, A11=1 "
                 "for Android 11 and later)\n",
                 1},
        CheckRow{{"A11"},
                 {"vorn", "check", "sample"},
                 [](FakeDriver &f) { f.answer(Bytes().u32(BR_DEAD_REPLY)); },
                 "",
                 "Encountered unexpected code: Code: 0x7205\n"
                 "No reply from the service manager when looking up service 'sample'\n",
                 1},
        CheckRow{{"A11"}, {"vorn", "h", "check", "sample"}, [](FakeDriver &) {}, "", "NOT YET\n", 1}));

using InterfaceQuery = VornTest;

TEST_F(InterfaceQuery, ReadsTheDescriptorWithinTheReply)
{
    attach(11);
    fake.reply(Bytes().str16("android.os.IServiceManager"));
    EXPECT_EQ(getInterfaceOfDesc(3), "android.os.IServiceManager");
    EXPECT_EQ(fake.sent.at(0).code, INTERFACE_TRANSACTION);
    EXPECT_EQ(hex(fake.sent.at(0).parcel), "00 00 00 80 ff ff ff ff 54 53 59 53");

    fake.reply(Bytes().null16());
    EXPECT_EQ(getInterfaceOfDesc(3), "");

    fake.reply(Bytes().u32(40).u32(0x00410041));
    std::optional<std::string> iface;
    Result r = capture([&] { return int((iface = getInterfaceOfDesc(3)).has_value()); });
    EXPECT_FALSE(iface);
    EXPECT_EQ(r.err, "Reply to INTERFACE_TRANSACTION from desc 3 is too short for its string\n");

    fake.answer(Bytes().u32(BR_FAILED_REPLY));
    EXPECT_FALSE(getInterfaceOfDesc(-1));
    EXPECT_STREQ(safeWords, "Method 1598968902 call returned BR_FAILED_REPLY");
}

struct ListRow {
    const char *name;
    const char *release; // the environment switch
    std::vector<std::string> words;
    std::function<void(FakeDriver &)> script;
    std::string out;
    std::string err;
    int status;
};

class Listing : public VornTest, public ::testing::WithParamInterface<ListRow> {};

TEST_P(Listing, PrintsWhatTheManagerSent)
{
    const ListRow &row = GetParam();
    env(row.release, "1");
    row.script(fake);
    Result r = runVorn(row.words);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.status, row.status);
}

// The lookup and interface query that follow each listed name.
void described(FakeDriver &F, uint32_t Handle, const char *Interface)
{
    F.handleReply(Handle);
    F.reply(Bytes().str16(Interface));
}

const std::string REFUSED_LIST = std::string("android.os.IServiceManager::LIST_SERVICES was refused with status -1 "
                                             "(0xffffffff): the request header may not match the device's release ") +
                                 HINT;

INSTANTIATE_TEST_SUITE_P(
    PerIndex, Listing,
    ::testing::Values(
        ListRow{"names_then_short_reply",
                "NOT10",
                {"vorn", "list"},
                [](FakeDriver &f) {
                    f.reply(Bytes().str16("media"));
                    f.reply(Bytes().str16("sample"));
                    f.reply(Bytes().str16("")); // exactly 8 bytes: the empty name, not the end
                    f.reply(Bytes().u32(uint32_t(-1)));
                    described(f, 1, "IMedia");
                    f.reply(Bytes().u32(0)); // not found: the query goes to handle -1 and fails
                    f.answer(Bytes().u32(BR_FAILED_REPLY));
                    f.handleReply(2); // a query without a failure text
                    f.answer(Bytes().u32(BR_DEAD_REPLY));
                },
                "0: media [IMedia]\n1: sample [Method 1598968902 call returned BR_FAILED_REPLY]\n2:  []\n",
                "Encountered unexpected code: Code: 0x7205\n",
                0},
        ListRow{"error_status_ends_the_listing",
                "NOT10",
                {"vorn", "list"},
                [](FakeDriver &f) {
                    f.reply(Bytes().str16("media"));
                    f.reply(Bytes().u32(uint32_t(-74)).u32(0));
                },
                "",
                "Result:Parcel(Error: 0xffffffb6 \"Not a data message\")\n",
                1},
        ListRow{"short_error_is_the_end",
                "NOT10",
                {"vorn", "v", "list"},
                [](FakeDriver &f) {
                    f.reply(Bytes().str16("a"));
                    f.reply(Bytes().u32(uint32_t(-74)));
                    described(f, 1, "I");
                },
                "0: a [I]\n",
                "",
                0},
        ListRow{"refused_at_index_0",
                "NOT10",
                {"vorn", "list"},
                [](FakeDriver &f) {
                    f.statusReply(-1);
                    f.statusReply(-1); // the probe is refused as well
                },
                "",
                REFUSED_LIST,
                1},
        ListRow{"really_empty",
                "NOT10",
                {"vorn", "v", "list"},
                [](FakeDriver &f) {
                    f.statusReply(-1);
                    f.reply(Bytes().u32(0)); // the probe is answered: the header is fine
                },
                "",
                "",
                0},
        ListRow{"status_only_later_is_the_end",
                "NOT10",
                {"vorn", "list"},
                [](FakeDriver &f) {
                    f.reply(Bytes().str16("a"));
                    f.statusReply(-1);
                    described(f, 1, "I");
                },
                "0: a [I]\n",
                "",
                0},
        ListRow{"no_reply",
                "NOT10",
                {"vorn", "list"},
                [](FakeDriver &f) { f.reply(Bytes().str16("a")); },
                "",
                "Encountered unexpected code: none\n"
                "Error sending android.os.IServiceManager::LIST_SERVICES(1) to Node 0\n",
                1},
        ListRow{"name_longer_than_reply",
                "NOT10",
                {"vorn", "list"},
                [](FakeDriver &f) { f.reply(Bytes().u32(10).u32(0x00610061)); },
                "",
                "Reply to android.os.IServiceManager::LIST_SERVICES(0) is too short for its name\n",
                1}),
    [](const auto &Info) { return std::string(Info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Vector, Listing,
    ::testing::Values(
        ListRow{"none",
                "A11",
                {"vorn", "list"},
                [](FakeDriver &f) { f.reply(Bytes().u32(0).u32(0)); },
                "Found 0 services:\n",
                "",
                0},
        ListRow{"walk_and_null_name",
                "A11",
                {"vorn", "v", "list"},
                [](FakeDriver &f) {
                    f.reply(Bytes().u32(0).u32(4).str16("a").str16("ab").null16().str16("b"));
                    described(f, 1, "IA");
                    described(f, 2, "IAB");
                    described(f, 3, "INull");
                    described(f, 4, "IB");
                },
                "Found 4 services:\n0\ta [IA]\n1\tab [IAB]\n2\t [INull]\n3\tb [IB]\n",
                "",
                0},
        // Services come and go while a listing runs: a lookup or a query that fails costs its
        // own line only, and no line shows another's failure text.
        ListRow{"failed_lookups_and_queries_do_not_end_the_listing",
                "A11",
                {"vorn", "list"},
                [](FakeDriver &f) {
                    f.reply(Bytes().u32(0).u32(5).str16("a").str16("b").str16("c").str16("d").str16("e"));
                    f.answer(Bytes().u32(BR_DEAD_REPLY)); // a: the lookup gets no reply
                    f.answer(Bytes().u32(BR_FAILED_REPLY));
                    f.statusReply(-1); // b: the lookup is refused
                    f.answer(Bytes().u32(BR_DEAD_REPLY));
                    f.handleReply(3); // c: the query is refused
                    f.statusReply(-1);
                    f.handleReply(4); // d: the query is refused as unknown
                    f.statusReply(-74);
                    described(f, 5, "IE");
                },
                "Found 5 services:\n0\ta [Method 1598968902 call returned BR_FAILED_REPLY]\n1\tb []\n2\tc []\n3\td "
                "[]\n4\te [IE]\n",
                "Encountered unexpected code: Code: 0x7205\n"
                "No reply from the service manager when looking up service 'a'\n"
                "android.os.IServiceManager::GET_SERVICE was refused with status -1 (0xffffffff)\n"
                "Encountered unexpected code: Code: 0x7205\n"
                "INTERFACE_TRANSACTION to desc 3 was refused with status -1 (0xffffffff)\n"
                "INTERFACE_TRANSACTION to desc 4 was refused with status -74 (0xffffffb6)\n",
                0},
        // Only the low 8 bits of a status reach the shell.
        ListRow{"reply_code",
                "A11",
                {"vorn", "list"},
                [](FakeDriver &f) { f.reply(Bytes().u32(256).u32(0)); },
                "",
                "Error - reply code was 256\n",
                1},
        ListRow{"refused", "A11", {"vorn", "list"}, [](FakeDriver &f) { f.statusReply(-1); }, "", REFUSED_LIST, 1},
        ListRow{"fewer_names_than_announced",
                "A11",
                {"vorn", "list"},
                [](FakeDriver &f) {
                    f.reply(Bytes().u32(0).u32(3).str16("a").u32(1000));
                    described(f, 1, "I");
                },
                "Found 3 services:\n0\ta [I]\n",
                "Reply to android.os.IServiceManager::LIST_SERVICES ends after 1 of the 3 names it announces\n",
                1},
        ListRow{"empty_reply",
                "A11",
                {"vorn", "list"},
                [](FakeDriver &f) { f.reply(Bytes()); },
                "",
                "No data\nReply to android.os.IServiceManager::LIST_SERVICES is too short (0 bytes)\n",
                1},
        ListRow{"no_reply",
                "A11",
                {"vorn", "list"},
                [](FakeDriver &f) { f.answer(Bytes().u32(BR_DEAD_REPLY)); },
                "",
                "Encountered unexpected code: Code: 0x7205\n"
                "Error getting reply buffer from Node 0 for android.os.IServiceManager::LIST_SERVICES(0)\n",
                1}),
    [](const auto &Info) { return std::string(Info.param.name); });

using ListingDetails = VornTest;

TEST_F(ListingDetails, RequestsCarryTheIndexAndEveryDumpPriority)
{
    env("NOT10", "1");
    fake.reply(Bytes().str16("a"));
    fake.reply(Bytes().u32(uint32_t(-1)));
    described(fake, 1, "I");
    runVorn({"vorn", "list"});
    ASSERT_EQ(fake.sent.size(), 4u);
    std::string token = hex(Bytes().str16("android.os.IServiceManager"));
    EXPECT_EQ(hex(fake.sent[0].parcel), "00 00 40 00 " + token + " 00 00 00 00 0f 00 00 00");
    EXPECT_EQ(hex(fake.sent[1].parcel), "00 00 40 00 " + token + " 01 00 00 00 0f 00 00 00");
    EXPECT_EQ(fake.sent[1].code, SVC_MGR_LIST_SERVICES);

    unsetenv("NOT10");
    env("A11", "1");
    fake.reply(Bytes().u32(0).u32(0));
    runVorn({"vorn", "v", "list"});
    EXPECT_EQ(hex(fake.sent.back().parcel), "00 00 00 80 ff ff ff ff 52 44 4e 56 " + token + " 0f 00 00 00");
}

TEST_F(ListingDetails, ColourMarksNamesAndInterfaces)
{
    env("A11", "1");
    env("ZQCOLOR", "1");
    fake.reply(Bytes().u32(0).u32(1).str16("media"));
    described(fake, 1, "I");
    EXPECT_EQ(runVorn({"vorn", "list"}).out, "Found 1 services:\n0\t\033[32;1mmedia\033[0;0m [\033[36;1mI\033[0;0m]\n");
}

std::vector<std::string> visited;
int visit(const char *Name)
{
    visited.push_back(Name);
    return 0;
}

TEST_F(ListingDetails, CallbackFormHandsOverEachName)
{
    attach(11);
    visited.clear();
    fake.reply(Bytes().u32(0).u32(2).str16("a").str16("b"));
    Result r = capture([] { return listServices(visit); });
    EXPECT_EQ(r.out, "Found 2 services:\n0\ta 1\tb ");
    EXPECT_EQ(visited, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(fake.sent.size(), 1u); // no lookups or interface queries of its own

    attach(9);
    visited.clear();
    fake.reply(Bytes().str16("c"));
    fake.reply(Bytes().u32(uint32_t(-1)));
    r = capture([] { return listServices(visit); });
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(visited, std::vector<std::string>{"c"});
}

// A hidl manager's reply: the vector record, the string records and the characters, each a
// buffer of its own in the receive area.
struct HidlReply {
    Bytes data;
    std::vector<uint64_t> offsets;
    uint64_t vector;
};

HidlReply hidlReply(FakeDriver &F, std::vector<std::string> Names, uint32_t Announced)
{
    Bytes records;
    std::vector<uint64_t> chars;
    for (const std::string &n : Names) {
        chars.push_back(F.place(Bytes(std::string_view(n.c_str(), n.size() + 1))));
        records.u64(chars.back()).u32(uint32_t(n.size())).u32(0);
    }
    uint64_t recs = F.place(records);
    uint64_t vec = F.place(Bytes().u64(recs).u32(Announced).u32(0));
    HidlReply r{Bytes().u32(0).buffer(vec, 16).buffer(recs, records.size(), 0, 0, 1), {4, 44}, vec};
    for (size_t i = 0; i < Names.size(); ++i) {
        r.offsets.push_back(r.data.size());
        r.data.buffer(chars[i], Names[i].size() + 1, 1, 16 * i, 1);
    }
    return r;
}

std::string at(uint64_t Addr)
{
    char text[32];
    snprintf(text, sizeof text, "@0x%llx", (unsigned long long)Addr);
    return text;
}

using HidlListing = VornTest;

TEST_F(HidlListing, PrintsTheNamesBehindTheBuffers)
{
    env("A11", "1");
    HidlReply reply = hidlReply(fake, {"android.hidl.manager@1.0::IServiceManager/default", "a@1.0::IB/x"}, 2);
    fake.reply(reply.data, reply.offsets);
    Result r = runVorn({"vorn", "h", "list"});
    EXPECT_EQ(r.out, "Buffer of length: 16 " + at(reply.vector) +
                         "\nandroid.hidl.manager@1.0::IServiceManager/default\na@1.0::IB/x\n");
    EXPECT_EQ(r.err, "Got 2 entries\n");
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(fake.sent.size(), 1u);
    EXPECT_EQ(fake.sent[0].code, HW_SVC_MGR_LIST_SERVICES);
    EXPECT_EQ(fake.sent[0].command, BC_TRANSACTION_SG);
}

TEST_F(HidlListing, RefusesWhatItCannotTrust)
{
    env("A11", "1");
    struct Row {
        const char *name;
        std::function<void(FakeDriver &)> script;
        std::string out, err;
    };
    const std::string outside = " lies outside the buffers the driver delivered\n";
    for (const Row &row : std::vector<Row>{
             {"error status", [](FakeDriver &f) { f.reply(Bytes().u32(1)); }, "",
              "Error parcel received! Please notify ZQ\n"},
             {"handle object",
              [](FakeDriver &f) { f.reply(Bytes().u32(0).object(BINDER_TYPE_HANDLE, 1).u64(0).u64(0)); }, "",
              "Unexpected FBO type: 0x73682a85\n"},
             {"too short", [](FakeDriver &f) { f.reply(Bytes().u32(0).u32(BINDER_TYPE_PTR)); }, "",
              "Reply to android.hidl.manager@1.0::IServiceManager::list is too short (8 bytes)\n"},
             {"no reply", [](FakeDriver &f) { f.answer(Bytes().u32(BR_DEAD_REPLY)); }, "",
              "Encountered unexpected code: Code: 0x7205\n?! Try ZQDEBUG=1 and please send ZQ output\n"},
             {"wrong length", [](FakeDriver &f) { f.reply(Bytes().u32(0).buffer(0x1000, 24), {4}); },
              "Buffer of length: 24 @0x1000\n",
              "Got buffer, but it's not 16 bytes and therefore not likely a hidl_str array!\n"},
             // The vector object is not among the reply's objects: its buffer was never delivered.
             {"undelivered vector",
              [](FakeDriver &f) {
                  uint64_t vec = f.place(Bytes().u64(0).u32(0).u32(0));
                  f.reply(Bytes().u32(0).buffer(vec, 16));
              },
              "Buffer of length: 16 @0xADDR\n", "Reply record at 0xADDR (16 bytes)" + outside},
             {"pointer outside the area", [](FakeDriver &f) { f.reply(Bytes().u32(0).buffer(0x1000, 16), {4}); },
              "Buffer of length: 16 @0x1000\n", "Reply record at 0x1000 (16 bytes)" + outside},
             // Five announced, two delivered: no name is printed from beyond the records.
             {"count beyond the records",
              [](FakeDriver &f) {
                  HidlReply reply = hidlReply(f, {"one", "two"}, 5);
                  f.reply(reply.data, reply.offsets);
              },
              "Buffer of length: 16 @0xADDR\n", "Got 5 entries\nReply record at 0xADDR (80 bytes)" + outside},
         }) {
        row.script(fake);
        Result r = runVorn({"vorn", "h", "list"});
        const std::regex address("0x[0-9a-f]{9,}");
        EXPECT_EQ(std::regex_replace(r.out, address, "0xADDR"), row.out) << row.name;
        EXPECT_EQ(std::regex_replace(r.err, address, "0xADDR"), row.err) << row.name;
        EXPECT_EQ(r.status, 1) << row.name;
    }
}

} // namespace
