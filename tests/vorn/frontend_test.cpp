// The front end: usage, release class, namespace word, device set-up and dispatch.
#include "fake_driver.h"

using namespace vorn;

namespace {

const char *const USAGE = "<usage>";

// The usage as vorn prints it with no arguments; the machine checks its every byte.
std::string usageText() { return runVorn({"vorn"}).err; }

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
    EXPECT_EQ(r.err, row.err == USAGE ? usageText() : row.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, row.status);
    if (row.device)
        EXPECT_EQ(fake.opened, std::vector<std::string>{row.device});
    else
        EXPECT_TRUE(fake.opened.empty());
    EXPECT_TRUE(fake.writes.empty()); // nothing sent
}

const std::string LIST_ARGS = "list expects no arguments aside frorm the optional namespace\n";
const std::string CALL_ARGS =
    "call requires more arguments: service name, method, and optional paramters to the method\n";

INSTANTIATE_TEST_SUITE_P(
    Words, Dispatch,
    ::testing::Values(
        DispatchRow{{"vorn", "binder", "list", "extra"}, "/dev/binder", LIST_ARGS.c_str(), 3},
        DispatchRow{{"vorn", "check"}, "/dev/binder", "check requires a service name\n", 2},
        DispatchRow{{"vorn", "", "check"}, "/dev/binder", "check requires a service name\n", 2},
        DispatchRow{{"vorn", "v", "dump"}, "/dev/vndbinder", "dump requires a service name\n", 2},
        DispatchRow{
            {"vorn", "h", "methods"}, "/dev/hwbinder", "methods requires an argument of the service in question\n", 1},
        DispatchRow{{"vorn", "binder", "call", "svc"}, "/dev/binder", CALL_ARGS.c_str(), 2},
        DispatchRow{{"vorn", "v", "owner"}, "/dev/vndbinder", "owner requires a service name, or all\n", 255},
        // The usage alone, also for a process started without even its name, opens no device.
        DispatchRow{{"/data/local/tmp/vorn"}, nullptr, USAGE, 0}, DispatchRow{{}, nullptr, USAGE, 0},
        // A namespace word needs a command after it; a longer word is no namespace word.
        DispatchRow{{"vorn", "hwbinder"}, "/dev/binder", USAGE, 10},
        DispatchRow{{"vorn", "binders", "list"}, "/dev/binder", USAGE, 10}));

using DeviceSetUp = VornTest;

TEST_F(DeviceSetUp, MissingNodeFailedVersionQueryAndFailedMappingEndTheRun)
{
    env("A11", "1");
    fake.nodes = {"/dev/binder"};
    Result missing = runVorn({"vorn", "hw", "list"});
    EXPECT_EQ(missing.err + std::to_string(missing.status), "/dev/hwbinder: No such file or directory\n1");
    for (bool *failure : {&fake.failVersion, &fake.failMap}) {
        *failure = true;
        Result r = runVorn({"vorn", "list"});
        EXPECT_EQ(r.err, failure == &fake.failMap ? "mmap: Cannot allocate memory\n"
                                                  : "Unable to get /dev/binder protocol verison (ioctl(..., "
                                                    "BINDER_VERSION, ...) failed)\n");
        EXPECT_EQ(r.status, 1);
        *failure = false;
    }
    EXPECT_TRUE(fake.writes.empty()); // nothing sent
}

struct ReleaseRow {
    const char *a11, *not10, *sdk, *fingerprint;
    int cls;
    bool warning;
    const char *codename = "";
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
    fake.props["ro.build.version.codename"] = row.codename;
    int cls = 0;
    Result r = capture([&] { return cls = detectRelease(readSettings(), row.sdk); });
    EXPECT_EQ(cls, row.cls);
    EXPECT_EQ(r.err, row.warning ? "Unable to detect SDK version - This is highly unusual, but I can get by - "
                                   "assuming Android 10 or later, use NOT10=1 if I'm wrong\n"
                                 : "");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReleaseClass,
    ::testing::Values(
        ReleaseRow{"1", "1", "28", "", 11, false},                            // A11 wins over NOT10
        ReleaseRow{"", nullptr, "", "", 11, false},                           // present with any value
        ReleaseRow{nullptr, "1", "30", "x/30/RPP", 9, false},                 // NOT10 beats sdk and fingerprint
        ReleaseRow{nullptr, nullptr, "29", "build:20230530:user", 10, false}, // no "30" test
        ReleaseRow{nullptr, nullptr, "33", "", 13, false}, ReleaseRow{nullptr, nullptr, "34", "", 14, false},
        ReleaseRow{nullptr, nullptr, "35", "", 16, false, "Baklava"},       // a preview of 16
        ReleaseRow{nullptr, nullptr, "35", "", CLASS_PROBED, false, "REL"}, // the machine has the other SDKs
        ReleaseRow{nullptr, nullptr, "", "google/o/o:11/RQ3A.211001.001/1:user/release-keys", 11, true},
        ReleaseRow{nullptr, nullptr, "", "google/o/o:13/TQ3A.230901.001/1:user/release-keys", 13, true},
        ReleaseRow{nullptr, nullptr, "", "google/o/o:16/BP2A.250605.031/1:user/release-keys", 16, true},
        ReleaseRow{nullptr, nullptr, "", "google/o/o:15/AP4A.250105.002/1:user/release-keys", CLASS_PROBED, true},
        ReleaseRow{nullptr, nullptr, "", "google/x/RPP1.200123", 11, true},
        ReleaseRow{nullptr, nullptr, "", "vendor/30/user", 11, true},
        ReleaseRow{nullptr, nullptr, "", "vendor/q/user", 10, true},
        ReleaseRow{nullptr, nullptr, "abc", "", 10, true}));

} // namespace
