#include "fake_driver.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace vorn;

Result runVorn(std::vector<std::string> Words)
{
    std::vector<char *> argv;
    for (std::string &w : Words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return capture([&] { return vornMain(int(Words.size()), argv.data()) & 0xff; });
}

std::string hex(std::span<const uint8_t> Bytes)
{
    std::string text;
    char b[4];
    for (uint8_t c : Bytes)
        text += (snprintf(b, sizeof b, " %02x", c), b);
    return text.empty() ? text : text.substr(1);
}

std::string dumped(const Bytes &B)
{
    return capture([&] { return hexDump(B.data(), B.size(), 0), 0; }).err;
}

void VornTest::SetUp()
{
    for (const char *name :
         {"ZQCOLOR", "ZQDEBUG", "NOT10", "A11", "A15R6", "A16", "ZQAIDL_DIR", "ZQARG", "HTML", "NOSM"})
        unsetenv(name);
    setenv("ZQDEX", "", 1); // no dex file of the host's is looked into
}

Session &VornTest::attach(int Release, int Ns)
{
    settings = readSettings();
    return session.emplace(Session{settings, 3, {fake.area(), RECV_AREA_SIZE}, Ns, Release, false});
}

const std::string DIED =
    "Encountered unexpected code: Code: 0x7205\nThe service's process died before it replied (BR_DEAD_REPLY)\n";

const char *const AIDL_IT = "package t;\ninterface IT {\n  int add(int a, in int b);\n  IBinder other();\n"
                            "  byte[] raw();\n"
                            "  void all(int i, long l, float f, double d, boolean z, byte y, char c, String s, "
                            "IBinder o);\n}\n";

std::string rowName(const ::testing::TestParamInfo<Row> &Info) { return Info.param.name; }

TEST_P(Run, PrintsAndEndsAsAUserExpects)
{
    const Row &row = GetParam();
    // A directory of this process's own: ctest runs rows in parallel processes.
    std::string dir = testing::TempDir() + "vorn-aidl-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/IT.aidl") << AIDL_IT;
    env("ZQAIDL_DIR", dir.c_str());
    env(row.release);
    fake.answer(row.script);
    Result r = runVorn(row.words);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.status, row.status);
}
