// Lookup by interface name, method numbers and fields, the listings and the argument summary.
#include <fcntl.h>
#include <sys/stat.h>

#include "tessel_test.h"

namespace {

const std::string Foo = "[a.IFoo ] void|ping() int|add(int|a, in String|b) "
                        "List<String>|names(in Map<String, int>|m) A&B|amp()";

// An AIDL directory holding IFoo.aidl, named by ZQAIDL_DIR for the test's scope.
struct AidlDir : ScratchDir {
    ScopedEnv env{"ZQAIDL_DIR", path.c_str()};
    AidlDir()
    {
        write("IFoo.aidl", "package a;\ninterface IFoo {\n  void ping();\n  int add(int a, in String b);\n"
                           "  List<String> names(in Map<String, int> m);\n  A&B amp();\n}\n");
    }
};

// The record's shape, a newline, then the messages.
std::string lookedUp(const std::string &Interface)
{
    std::string parsed;
    Result io = ended([&] { parsed = shape(getAIDLForInterface(Interface.c_str())); });
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
        {"a.b.IFoo", Foo, ""},
        {"IFoo", Foo, ""},
        {fifos[0], Foo, ""},
        {"a.IPipe", "null", fifos[1] + ": not a regular file\n"},
        {dir.write("x.IBar", "interface IBar { void bar(); }"), "[IBar ] void|bar()", ""},
        {"a.b.IMissing", "null",
         "tessel error: Can't get AIDL for IMissing - " + dir.path +
             "/IMissing.aidl: No such "
             "file or directory (did you install the AIDL files correctly?)\n"},
        {"a." + longName, "null",
         "tessel error: AIDL path for " + longName + " in " + dir.path + " is too long (at most 255 characters)\n"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(lookedUp(r.interface), r.shape + "\n" + r.err) << r.interface;
    for (int fd : held)
        close(fd);
}

TEST(Lookup, ReportsAMissingDirectoryWithATipForTheDefaultOnly)
{
    const std::string missing = (ScopedEnv("ZQAIDL_DIR", "/nonexistent/aidl"), lookedUp("IFoo"));
    EXPECT_EQ(missing, "null\ntessel error: Can't get AIDL directory: /nonexistent/aidl No such file or directory\n");
    if (access("/data/local/tmp/aidl", F_OK) == 0)
        GTEST_SKIP() << "the default AIDL directory exists here";
    EXPECT_EQ(lookedUp("IFoo"),
              "null\ntessel error: Can't get AIDL directory: /data/local/tmp/aidl No such file or directory\n"
              "tip: set ZQAIDL_DIR to point to where I can find AIDLs?\n");
}

TEST(MethodNumbers, MatchNamesIgnoringCaseAndGiveFieldsForOneToNumMethodsOnly)
{
    AidlDir dir;
    Owned<aidl> owned(getAIDLForInterface("IFoo"));
    aidl *record = owned.get();
    for (auto [known, name, meth] : std::initializer_list<std::tuple<aidl *, const char *, int>>{
             {record, "ADD", 2}, {record, "pin", 0}, {record, nullptr, 0}, {nullptr, "add", 0}})
        EXPECT_EQ(getMethodNumFromAIDL(known, name), meth) << (name ? name : "null");
    EXPECT_EQ(getMethodNumFromInterface("a.IFoo", "amp"), 4);
    Result io = ended([] { getMethodNumFromInterface("a.INone", "f"); });
    EXPECT_EQ(io.status, 5);
    EXPECT_TRUE(io.err.ends_with("\na.INone: Unable to find AIDL interface definition\n")) << io.err;
    EXPECT_STREQ(getMethodArgsFromAIDL(record, 2)[1].type, "in String");
    for (auto [known, meth] : {std::pair(record, 0), std::pair(record, 5), std::pair<aidl *, int>(nullptr, 1)})
        EXPECT_TRUE(!getMethodNameFromAIDL(known, meth) && !getMethodReturnFromAIDL(known, meth) &&
                    !getMethodNumArgsFromAIDL(known, meth) && !getMethodArgsFromAIDL(known, meth));
}

TEST(Listing, PrintsTextAndHtmlByteForByteAndSaysWhetherItListed)
{
    AidlDir dir;
    const std::string head = "a.IFoo: Interface a.IFoo  with 4 methods\n", row = "<tr><td><code>",
                      end = "</code></td><td></td></tr>\n";
    struct {
        const char *html, *interface;
        std::string out;
    } rows[] = {
        {nullptr, "a.IFoo",
         head + "/* 1 */ void \033[34;1mping\033[0;0m();\n"
                "/* 2 */ int \033[34;1madd\033[0;0m(int \033[33;1ma\033[0;0m, in String \033[33;1mb\033[0;0m);\n"
                "/* 3 */ List<String> \033[34;1mnames\033[0;0m(in Map<String, int> \033[33;1mm\033[0;0m);\n"
                "/* 4 */ A&B \033[34;1mamp\033[0;0m();\n"},
        {"", "a.IFoo",
         head +
             "<table class=\"centered\">\n<caption><span class=\"bu\">Table xx-xxx:</span> The methods exported "
             "by <code>a.IFoo </code></caption>\n<tr><th>Method</th><th>Purpose</th>\n" +
             row + " <span class=\"funcName\">ping</span>()" + end + row +
             "int <span class=\"funcName\">add</span>(<i>a</i>, <i>b</i>)" + end + row +
             "List&lt;String&gt; <span class=\"funcName\">names</span>(<i>m</i>)" + end + row +
             "A&amp;B <span class=\"funcName\">amp</span>()" + end + "</table>"},
        {nullptr, "a.INone", ""},
    };
    for (const auto &r : rows) {
        ScopedEnv html("HTML", r.html);
        Result io = capture([&] { return int(dumpMethodsFromAIDL(r.interface)); });
        EXPECT_EQ(io.out, r.out) << r.interface;
        EXPECT_EQ(io.status, !r.out.empty()) << r.interface; // true exactly when it listed
    }
}

TEST(ArgumentSummary, NamesTheArgumentsWithinItsBuffer)
{
    AidlDir dir;
    // 40 names of 31 characters: only the 31 that fit whole in 1024 bytes are listed.
    std::string name(31, 'n'), args = "int " + name, wide = name + ",";
    for (int i = 1; i < 40; ++i)
        args += ", int " + name, wide += i < 31 ? name + "," : "";
    dir.write("IWide.aidl", "interface IWide { void f(" + args + "); }");
    Owned<aidl> foo(getAIDLForInterface("IFoo")), wideRecord(getAIDLForInterface("IWide"));
    const unsigned char parcel[20] = {};
    struct {
        const aidl *record;
        int meth;
        size_t size;
        std::string text;
    } rows[] = {{nullptr, 1, 20, "?"},      {foo.get(), 5, 20, "??"},
                {foo.get(), 1, 20, ""},     {foo.get(), 2, 19, "Parcel too small"},
                {foo.get(), 2, 20, "a,b,"}, {wideRecord.get(), 1, 20, wide}};
    for (const auto &r : rows)
        EXPECT_STREQ(Owned<char>(formatMethodArgsFromAIDLAndParcel(r.record, r.meth, parcel, r.size)).get(),
                     r.text.c_str());
}

} // namespace
