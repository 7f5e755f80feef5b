// Lookup by interface name, and the fields of methods by number.
#include <fcntl.h>
#include <sys/stat.h>

#include "tessel_test.h"

namespace {

const std::string Foo = "[a.IFoo ] void|ping() int|add(int|a, in String|b) "
                        "List<String>|names(in Map<String, int>|m) A&B|amp()";

// An AIDL directory holding IFoo.aidl.
struct AidlDir : ScratchDir {
    AidlDir()
    {
        write("IFoo.aidl", "package a;\ninterface IFoo {\n  void ping();\n  int add(int a, in String b);\n"
                           "  List<String> names(in Map<String, int> m);\n  A&B amp();\n}\n");
    }
};

// The record's shape, a newline, then the messages.
std::string lookedUp(const std::string &Interface, const char *Dir)
{
    std::string parsed;
    Result io = ended([&] { parsed = shape(getAIDLForInterface(Interface.c_str(), {Dir})); });
    return parsed + "\n" + io.err;
}

TEST(Lookup, FindsTheFileBySimpleNameOrReportsWhy)
{
    AidlDir dir;
    const std::string longName(260, 'L'), fifos[] = {dir.path + "/x.IFoo", dir.path + "/IPipe.aidl"};
    // FIFOs named like the interface or its file must not be read; holding them open both ways
    // keeps a wrongful open from hanging the test.
    ASSERT_TRUE(mkfifo(fifos[0].c_str(), 0600) == 0 && mkfifo(fifos[1].c_str(), 0600) == 0);
    const int held[] = {open(fifos[0].c_str(), O_RDWR | O_NONBLOCK), open(fifos[1].c_str(), O_RDWR | O_NONBLOCK)};
    struct {
        std::string interface, shape, err;
    } rows[] = {
        {"IFoo", Foo, ""},
        {fifos[0], Foo, ""},
        {"a.IPipe", "null", fifos[1] + ": not a regular file\n"},
        {dir.write("x.IBar", "interface IBar { void bar(); }"), "[IBar ] void|bar()", ""},
        {"a." + longName, "null",
         "tessel error: AIDL path for " + longName + " in " + dir.path + " is too long (at most 255 characters)\n"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(lookedUp(r.interface, dir.path.c_str()), r.shape + "\n" + r.err) << r.interface;
    for (int fd : held)
        close(fd);
}

// The machine shows a missing file or directory named; only the default one adds a tip.
TEST(Lookup, ReportsAMissingDirectoryWithATipForTheDefaultOnly)
{
    if (access("/data/local/tmp/aidl", F_OK) == 0)
        GTEST_SKIP() << "the default AIDL directory exists here";
    EXPECT_EQ(lookedUp("IFoo", nullptr),
              "null\ntessel error: Can't get AIDL directory: /data/local/tmp/aidl No such file or directory\n"
              "tip: set ZQAIDL_DIR to point to where I can find AIDLs?\n");
}

TEST(MethodNumbers, GiveFieldsForOneToNumMethodsOnly)
{
    AidlDir dir;
    OwnedAidl owned(getAIDLForInterface("IFoo", {dir.path.c_str()}));
    aidl *record = owned.get();
    EXPECT_STREQ(getMethodArgsFromAIDL(record, 2)[1].type, "in String");
    for (auto [known, meth] : {std::pair(record, 0), std::pair(record, 5), std::pair<aidl *, int>(nullptr, 1)})
        EXPECT_TRUE(!getMethodNameFromAIDL(known, meth) && !getMethodReturnFromAIDL(known, meth) &&
                    !getMethodNumArgsFromAIDL(known, meth) && !getMethodArgsFromAIDL(known, meth));
}

} // namespace
