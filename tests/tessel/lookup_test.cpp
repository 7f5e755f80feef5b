// Lookup by interface name, method numbers and fields, the listings and the argument summary.
#include <fcntl.h>
#include <sys/stat.h>

#include "tessel_test.h"

namespace {

const std::string Foo = "[a.IFoo ] void|ping() int|add(int|a, in String|b) "
                        "List<String>|names(in Map<String, int>|m) A&B|amp()";

// An AIDL directory holding IFoo.aidl, named by ZQAIDL_DIR for the test's scope.
struct aidlDir : scratchDir {
    scopedEnv Env{"ZQAIDL_DIR", Path.c_str()};
    aidlDir()
    {
        write("IFoo.aidl", "package a;\ninterface IFoo {\n  void ping();\n  int add(int a, in String b);\n"
                           "  List<String> names(in Map<String, int> m);\n  A&B amp();\n}\n");
    }
};

std::string lookedUp(const std::string &Interface, std::string *Err = nullptr)
{
    std::string Shape;
    Result Io = capture([&] {
        Shape = shape(getAIDLForInterface(Interface.c_str()));
        return 0;
    });
    if (Err)
        *Err = Io.err;
    return Shape;
}

TEST(Lookup, FindsTheFileBySimpleNameOrReportsWhy)
{
    aidlDir Dir;
    const std::string Long(260, 'L'), Fifo = Dir.Path + "/x.IFoo";
    // A FIFO named like the interface must not be opened; holding it open both ways keeps a
    // wrongful open from hanging the test.
    ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
    int Held = open(Fifo.c_str(), O_RDWR | O_NONBLOCK);
    struct {
        std::string Interface, Shape, Err;
    } Rows[] = {
        {"a.b.IFoo", Foo, ""},
        {"IFoo", Foo, ""},
        {Fifo, Foo, ""},
        {Dir.write("x.IBar", "interface IBar { void bar(); }"), "[IBar ] void|bar()", ""},
        {"a.b.IMissing", "null",
         "tessel error: Can't get AIDL for IMissing - " + Dir.Path +
             "/IMissing.aidl: No such "
             "file or directory (did you install the AIDL files correctly?)\n"},
        {"a." + Long, "null",
         "tessel error: AIDL path for " + Long + " in " + Dir.Path + " is too long (at most 255 characters)\n"},
    };
    for (const auto &R : Rows) {
        std::string Err;
        EXPECT_EQ(lookedUp(R.Interface, &Err), R.Shape) << R.Interface;
        EXPECT_EQ(Err, R.Err) << R.Interface;
    }
    close(Held);
}

TEST(Lookup, ReportsAMissingDirectoryWithATipForTheDefaultOnly)
{
    std::string Err;
    scopedEnv("ZQAIDL_DIR", "/nonexistent/aidl"), lookedUp("IFoo", &Err);
    EXPECT_EQ(Err, "tessel error: Can't get AIDL directory: /nonexistent/aidl No such file or directory\n");
    if (access("/data/local/tmp/aidl", F_OK) == 0)
        GTEST_SKIP() << "the default AIDL directory exists here";
    EXPECT_EQ(lookedUp("IFoo", &Err), "null");
    EXPECT_EQ(Err, "tessel error: Can't get AIDL directory: /data/local/tmp/aidl No such file or directory\n"
                   "tip: set ZQAIDL_DIR to point to where I can find AIDLs?\n");
}

TEST(MethodNumbers, MatchNamesIgnoringCaseAndGiveFieldsForOneToNumMethodsOnly)
{
    aidlDir Dir;
    EXPECT_EQ(getMethodNumFromInterface("a.IFoo", "ADD"), 2);
    EXPECT_EQ(getMethodNumFromInterface("a.IFoo", "pin"), 0);
    EXPECT_EXIT(getMethodNumFromInterface("a.INone", "f"), testing::ExitedWithCode(5),
                "a.INone: Unable to find AIDL interface definition\n");
    const aidl *Aidl = getAIDLForInterface("IFoo");
    EXPECT_STREQ(getMethodArgsFromAIDL(Aidl, 2)[1].type, "in String");
    for (auto [Record, Meth] : {std::pair(Aidl, 0), std::pair(Aidl, 5), std::pair<const aidl *, int>(nullptr, 1)})
        EXPECT_TRUE(!getMethodNameFromAIDL(Record, Meth) && !getMethodReturnFromAIDL(Record, Meth) &&
                    !getMethodNumArgsFromAIDL(Record, Meth) && !getMethodArgsFromAIDL(Record, Meth));
}

TEST(Listing, PrintsTextAndHtmlByteForByte)
{
    aidlDir Dir;
    const std::string Head = "a.IFoo: Interface a.IFoo  with 4 methods\n";
    EXPECT_EQ(capture([] {
                  dumpMethodsFromAIDL("a.IFoo");
                  return 0;
              }).out,
              Head + "/* 1 */ void \033[34;1mping\033[0;0m();\n"
                     "/* 2 */ int \033[34;1madd\033[0;0m(int \033[33;1ma\033[0;0m, in String \033[33;1mb\033[0;0m);\n"
                     "/* 3 */ List<String> \033[34;1mnames\033[0;0m(in Map<String, int> \033[33;1mm\033[0;0m);\n"
                     "/* 4 */ A&B \033[34;1mamp\033[0;0m();\n");
    scopedEnv Html("HTML", "");
    const std::string Row = "<tr><td><code>", End = "</code></td><td></td></tr>\n";
    EXPECT_EQ(capture([] {
                  dumpMethodsFromAIDL("a.IFoo");
                  return 0;
              }).out,
              Head +
                  "<table class=\"centered\">\n<caption><span class=\"bu\">Table xx-xxx:</span> The methods exported "
                  "by <code>a.IFoo </code></caption>\n<tr><th>Method</th><th>Purpose</th>\n" +
                  Row + " <span class=\"funcName\">ping</span>()" + End + Row +
                  "int <span class=\"funcName\">add</span>(<i>a</i>, <i>b</i>)" + End + Row +
                  "List&lt;String&gt; <span class=\"funcName\">names</span>(<i>m</i>)" + End + Row +
                  "A&amp;B <span class=\"funcName\">amp</span>()" + End + "</table>");
    EXPECT_EQ(capture([] {
                  dumpMethodsFromAIDL("a.INone");
                  return 0;
              }).out,
              "");
}

TEST(ArgumentSummary, NamesTheArgumentsWithinItsBuffer)
{
    aidlDir Dir;
    const aidl *Aidl = getAIDLForInterface("IFoo");
    const unsigned char Parcel[20] = {};
    struct {
        const aidl *Record;
        int Meth;
        size_t Size;
        const char *Text;
    } Rows[] = {{nullptr, 1, 20, "?"},
                {Aidl, 5, 20, "??"},
                {Aidl, 1, 20, ""},
                {Aidl, 2, 19, "Parcel too small"},
                {Aidl, 2, 20, "a,b,"}};
    for (const auto &R : Rows)
        EXPECT_STREQ(formatMethodArgsFromAIDLAndParcel(R.Record, R.Meth, Parcel, R.Size), R.Text);
    // 40 names of 31 characters: only the 31 that fit whole in 1024 bytes are listed.
    std::string Name(31, 'n'), Args = "int " + Name, Want = Name + ",";
    for (int I = 1; I < 40; ++I)
        Args += ", int " + Name, Want += I < 31 ? Name + "," : "";
    Dir.write("IWide.aidl", "interface IWide { void f(" + Args + "); }");
    EXPECT_STREQ(formatMethodArgsFromAIDLAndParcel(getAIDLForInterface("IWide"), 1, Parcel, 20), Want.c_str());
}

} // namespace
