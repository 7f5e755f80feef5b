// The front end: usage, release class, namespace word, device set-up and dispatch.
#include "fake_driver.h"

using namespace vorn;

namespace {

const char *const FULL_USAGE =
    "Usage: vorn [-h|-?]\n"
    "       vorn [ns] list\n"
    "       vorn [ns] check SERVICE\n"
    "       vorn [ns] methods  SERVICE   # To list methods (if AIDL is loaded)\n"
    "       vorn [ns] call  SERVICE _meth_ [ _args_ ] ...\n"
    "       \t\tWhere _meth_ is a method number, name (if AIDL is loaded), \n"
    "       \t\tor builtin (_PNG, _PID, _EXT, _NTF, _RPC, etc)\n"
    "       \t\tand _args_ are optional arguments (if AIDL is loaded), and types will be auto-determined\n"
    "       vorn [ns] dump  SERVICE  # As per 'dumpsys' tool\n"
    "       vorn [ns] users SERVICE  # As per my 'quillon' tool (try 'all' for SERVICE)\n"
    "       vorn [ns] owner SERVICE  # As per my 'quillon' tool (try 'all' for SERVICE)\n"
    "\n"
    "Where: [ns] is optionally 'binder' (default), 'hwbinder' or 'vndbinder'\n"
    "\n"
    "Environment variables:\n"
    "\tZQCOLOR: The usual curses based coloring\n"
    "\tZQDEBUG: To get the behind the scenes binder transaction dumps, and other debug info\n"
    "\tZQAIDL:  Path to AIDL directory (to override default, /data/local/tmp/aidl)\n"
    "\n"
    "This is vorn, compiled on DATE\n"
    "A binder explorer for Android, from the vorn project.\n"
    "Project page: https://vorn.example.org/\n"
    "Contact: vorn@example.org\n"
    "\n"
    "If you find it useful, please visit https://vorn.example.org/counter?vorn once, so we know it is used;\n"
    "and if something goes wrong, tell us at vorn@example.org.\n";

const char *const SHORT_USAGE =
    "Usage: quillon [-h|-?]\n"
    "       quillon [ns] list\n"
    "       quillon [ns] users SERVICE   (try 'all' for SERVICE)\n"
    "       quillon [ns] owner SERVICE   (try 'all' for SERVICE)\n"
    "\n"
    "Where: [ns] is optionally 'binder' (default), 'hwbinder' or 'vndbinder'\n"
    "\n"
    "Environment variables:\n"
    "\tZQCOLOR: The usual curses based coloring\n"
    "\tZQDEBUG: To get the behind the scenes binder transaction dumps, and other debug info\n"
    "\tZQAIDL:  Path to AIDL directory (to override default, /data/local/tmp/aidl)\n"
    "\n"
    "This is quillon, compiled on DATE\n"
    "A binder explorer for Android, from the vorn project.\n"
    "Project page: https://vorn.example.org/\n"
    "Contact: vorn@example.org\n"
    "\n"
    "If you find it useful, please visit https://vorn.example.org/counter?quillon once, so we know it is used;\n"
    "and if something goes wrong, tell us at vorn@example.org.\n";

using Usage = VornTest;

TEST_F(Usage, NoArgumentsPrintsTheUsageWithoutOpeningTheDevice)
{
    for (auto [path, text] : {std::pair{"/data/local/tmp/vorn", FULL_USAGE}, std::pair{"./bin/quillon", SHORT_USAGE}}) {
        Result r = runVorn({path});
        EXPECT_EQ(maskDate(r.err), text);
        EXPECT_EQ(r.out + std::to_string(r.status), "0");
    }
    EXPECT_TRUE(fake.opened.empty());
}

TEST_F(Usage, ColourWrapsCommentsAndPlaceholders)
{
    env("ZQCOLOR", "");
    std::string text = maskDate(runVorn({"vorn"}).err);
    for (const char *line : {
             "       vorn [ns] methods  SERVICE   # \033[32;1mTo list methods (if AIDL is loaded)\033[0;0m\n",
             "       vorn [ns] call  SERVICE \033[0;3m_meth_\033[0;0m [ _args_ ] ...\n",
             "       \t\tand \033[0;3m_args_\033[0;0m are optional arguments",
             "       vorn [ns] users SERVICE  \033[32;1m# As per my 'quillon' tool\033[0;0m (try 'all' for SERVICE)\n",
             "\tZQCOLOR: The usual curses based coloring (but it seems you already knew that)\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_NE(runVorn({"quillon"}).err.find("owner SERVICE  \033[32;1m\033[0;0m (try"), std::string::npos);
}

TEST_F(Usage, UnknownCommandsShowTheUsageAfterOpeningTheDevice)
{
    env("A11", "1");
    for (const char *word : {"-h", "-?", "bogus"}) {
        Result r = runVorn({"vorn", word});
        EXPECT_EQ(maskDate(r.err), FULL_USAGE) << word;
        EXPECT_EQ(r.status, 10);
    }
    EXPECT_EQ(fake.opened, (std::vector<std::string>{"/dev/binder", "/dev/binder", "/dev/binder"}));
    fake.nodes.clear();
    Result r = runVorn({"vorn", "bogus"});
    EXPECT_EQ(r.err, "/dev/binder: No such file or directory\n");
    EXPECT_EQ(r.status, 1);
}

struct DispatchRow {
    std::vector<std::string> words;
    const char *device; // opened, or null when no device may be opened
    const char *err;
    int status;
};

class Dispatch : public VornTest, public ::testing::WithParamInterface<DispatchRow> {};

TEST_P(Dispatch, MessagesAndStatuses)
{
    env("A11", "1");
    const DispatchRow &row = GetParam();
    Result r = runVorn(row.words);
    EXPECT_EQ(maskDate(r.err), row.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, row.status);
    if (row.device)
        EXPECT_EQ(fake.opened, std::vector<std::string>{row.device});
    else
        EXPECT_TRUE(fake.opened.empty());
    EXPECT_TRUE(fake.sent.empty());
}

const std::string LIST_ARGS = "list expects no arguments aside frorm the optional namespace\n";
const std::string CALL_ARGS =
    "call requires more arguments: service name, method, and optional paramters to the method\n";

INSTANTIATE_TEST_SUITE_P(
    Words, Dispatch,
    ::testing::Values(
        DispatchRow{{"vorn", "list", "extra"}, "/dev/binder", LIST_ARGS.c_str(), 3},
        DispatchRow{{"vorn", "binder", "list", "extra"}, "/dev/binder", LIST_ARGS.c_str(), 3},
        DispatchRow{{"vorn", "check"}, "/dev/binder", "check requires a service name\n", 2},
        DispatchRow{{"vorn", "binder", "check"}, "/dev/binder", "check requires a service name\n", 2},
        DispatchRow{{"vorn", "", "check"}, "/dev/binder", "check requires a service name\n", 2},
        DispatchRow{{"vorn", "b", "check"}, "/dev/binder", "check requires a service name\n", 2},
        DispatchRow{{"vorn", "vndbinder", "list", "x"}, "/dev/vndbinder", LIST_ARGS.c_str(), 3},
        DispatchRow{{"vorn", "dump"}, "/dev/binder", "dump requires a service name\n", 2},
        DispatchRow{{"vorn", "v", "dump"}, "/dev/vndbinder", "dump requires a service name\n", 2},
        DispatchRow{{"vorn", "methods"}, "/dev/binder", "methods requires an argument of the service in question\n", 1},
        DispatchRow{{"vorn", "h", "methods"}, "/dev/hwbinder", "methods requires an argument of the service in question\n", 1},
        DispatchRow{{"vorn", "call", "svc"}, "/dev/binder", CALL_ARGS.c_str(), 2},
        DispatchRow{{"vorn", "binder", "call", "svc"}, "/dev/binder", CALL_ARGS.c_str(), 2},
        DispatchRow{{"vorn", "call", "svc", "3"}, "/dev/binder", "vorn: call is not built yet\n", 1},
        DispatchRow{{"vorn", "vnd", "dump", "svc"}, "/dev/vndbinder", "vorn: dump is not built yet\n", 1},
        DispatchRow{{"vorn", "methods", "svc"}, "/dev/binder", "vorn: methods is not built yet\n", 1},
        DispatchRow{{"vorn", "users"}, "/dev/binder", "vorn: users is not built yet\n", 1},
        DispatchRow{{"vorn", "hw", "owner", "all"}, "/dev/hwbinder", "vorn: owner is not built yet\n", 1},
        DispatchRow{{"vorn", "1234"}, nullptr, "vorn: reading a process's binder state is not built yet\n", 1},
        DispatchRow{{"vorn", "12x", "list"}, nullptr, "vorn: reading a process's binder state is not built yet\n", 1},
        // A namespace word needs a command after it; a longer word is no namespace word.
        DispatchRow{{"vorn", "hwbinder"}, "/dev/binder", FULL_USAGE, 10},
        DispatchRow{{"vorn", "binders", "list"}, "/dev/binder", FULL_USAGE, 10}));

using DeviceSetUp = VornTest;

TEST_F(DeviceSetUp, MissingNodeFailedVersionQueryAndFailedMappingEndTheRun)
{
    env("A11", "1");
    fake.nodes = {"/dev/binder"};
    Result r = runVorn({"vorn", "hw", "list"});
    EXPECT_EQ(r.err, "/dev/hwbinder: No such file or directory\n");
    EXPECT_EQ(r.status, 1);
    fake.failVersion = true;
    r = runVorn({"vorn", "list"});
    EXPECT_EQ(r.err, "Unable to get /dev/binder protocol verison (ioctl(..., BINDER_VERSION, ...) failed)\n");
    EXPECT_EQ(r.status, 1);
    fake.failVersion = false;
    fake.failMap = true;
    r = runVorn({"vorn", "list"});
    EXPECT_EQ(r.err, "mmap: Cannot allocate memory\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(fake.sent.empty());
}

struct ReleaseRow {
    const char *a11, *not10, *sdk, *fingerprint;
    int cls;
    bool warning;
};

class ReleaseClass : public VornTest, public ::testing::WithParamInterface<ReleaseRow> {};

TEST_P(ReleaseClass, EnvironmentThenSdkThenFingerprint)
{
    const ReleaseRow &row = GetParam();
    if (row.a11)
        env("A11", row.a11);
    if (row.not10)
        env("NOT10", row.not10);
    fake.props["ro.build.version.sdk"] = row.sdk;
    fake.props["ro.build.fingerprint"] = row.fingerprint;
    int cls = 0;
    Result r = capture([&] { return cls = detectRelease(row.sdk); });
    EXPECT_EQ(cls, row.cls);
    EXPECT_EQ(r.err, row.warning ? "Unable to detect SDK version - This is highly unusual, but I can get by - "
                                   "assuming Android 10 or later, use NOT10=1 if I'm wrong\n"
                                 : "");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReleaseClass,
    ::testing::Values(ReleaseRow{"1", "1", "28", "", 11, false},        // A11 wins over NOT10
                      ReleaseRow{"", nullptr, "", "", 11, false},       // present with any value
                      ReleaseRow{nullptr, "1", "30", "x/30/RPP", 9, false}, // NOT10 beats sdk and fingerprint
                      ReleaseRow{nullptr, nullptr, "28", "", 9, false},
                      ReleaseRow{nullptr, nullptr, "29", "build:20230530:user", 10, false}, // no "30" test
                      ReleaseRow{nullptr, nullptr, "30", "", 11, false},
                      ReleaseRow{nullptr, nullptr, "34", "", 11, false},
                      ReleaseRow{nullptr, nullptr, "", "google/x/RPP1.200123", 11, true},
                      ReleaseRow{nullptr, nullptr, "", "vendor/30/user", 11, true},
                      ReleaseRow{nullptr, nullptr, "", "vendor/q/user", 10, true},
                      ReleaseRow{nullptr, nullptr, "abc", "", 10, true}));

using Header = VornTest;

TEST_F(Header, FollowsTheDetectedClass)
{
    fake.props["ro.build.version.sdk"] = "29";
    fake.reply(Bytes().u32(0));
    runVorn({"vorn", "check", "x"});
    ASSERT_EQ(fake.sent.size(), 1u);
    EXPECT_EQ(hex(std::span(fake.sent[0].parcel).first(8)), "00 00 00 80 ff ff ff ff");
    EXPECT_EQ(fake.sent[0].parcel[8], 26); // the token right after the work-source word
}

} // namespace
