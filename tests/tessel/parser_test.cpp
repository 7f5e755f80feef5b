// The AIDL file parser: cleaning, marker extraction, header, declarations, arguments, capacity.
// The corpus test holds the ordinary files (comments, annotations, nested and other types,
// oneway, explicit numbers, generics) and the machine the types of arguments; here the edges.
#include "tessel_test.h"

namespace {

// A file's text (null: no file), what it parses to or "ended N" when it ends the command with
// status N, and what is printed, with one option given as its switch NAME=value; messages name
// the file F.aidl.
struct Row {
    const char *text, *shape, *err = "", *env = nullptr, *out = "";
};

void expectRows(std::initializer_list<Row> Rows)
{
    for (const Row &r : Rows) {
        ScratchDir dir;
        const std::string setting = r.env ? r.env : "", name = setting.substr(0, setting.find('=')),
                          value = setting.substr(name.size() + (r.env ? 1 : 0));
        TesselOptions options;
        options.debug = name == "ZQDEBUG";
        options.showText = name == "ZQAIDLDEBUG";
        options.methodCount = name == "NUMMETH" ? value.c_str() : nullptr;
        std::string file = r.text ? dir.write("F.aidl", r.text) : dir.path + "/F.aidl", parsed;
        Result io = ended([&] { parsed = shape(tessel(file.c_str(), options)); });
        if (io.status >= 0)
            parsed = "ended " + std::to_string(io.status);
        for (size_t at; (at = io.err.find(file)) != std::string::npos;)
            io.err.replace(at, file.size(), "F.aidl");
        EXPECT_EQ(parsed, r.shape) << r.text;
        EXPECT_EQ(io.err, r.err) << r.text;
        EXPECT_EQ(io.out, r.out) << r.text;
    }
}

TEST(Cleaning, BlanksCommentsAndAnnotationsOnly)
{
    struct {
        const char *in;
        int removeNewLines;
        const char *out;
    } rows[] = {
        {"/*/x", 0, "   x"},
        {"@A) x", 0, "    x"},
        {"// @Foo\nx", 0, "       \nx"},
        // Any whitespace ends an annotation; literals are text, never structure.
        {"@VintfStability\ninterface I", 1, "                interface I"},
        {"@A\tvoid f();", 0, "  \tvoid f();"},
        {"\"/* @x */\" y", 0, "\"/* @x */\" y"},
        {"\"a\\\"//\" x", 0, "\"a\\\"//\" x"},
        {"@J(a=\"(\") y", 0, "          y"},
        {"'\"' // c", 0, "'\"'     "},
    };
    for (const auto &r : rows) {
        std::string buf = r.in;
        decommentize(buf.data(), buf.size(), r.removeNewLines);
        EXPECT_EQ(buf, r.out) << r.in;
    }
}

TEST(MarkerExtraction, FindsTheTextAfterAMarkerUpToItsDelimiter)
{
    struct {
        const char *text, *marker;
        char delim;
        size_t size;
        const char *arg;
    } rows[] = {
        {"package a.b;", "package ", ';', 99, "a.b"},          {"x interface IFoo {", "interface ", '{', 99, "IFoo "},
        {"interface  9Foo{", "interface ", '{', 99, "Foo"},    {"import a\nb;", "import ", ';', 99, "a"},
        {"myinterface Foo {", "interface ", '{', 99, nullptr}, {"interface Foo", "interface ", '{', 99, nullptr},
        {"package a.b;", "package ", ';', 11, nullptr},
    };
    for (const auto &r : rows) {
        std::string buf = r.text;
        EXPECT_STREQ(getArgOfMarker(buf.data(), r.marker, r.delim, r.size), r.arg) << r.text;
    }
}

TEST(Header, NamesTheTopLevelInterfaceOnly)
{
    expectRows({
        {"interface IFoo{}", "[IFoo]"}, // the name takes what precedes the brace, space included
        {"", "null", "F.aidl: empty\n"},
        {"package a;\nmyinterface Foo {}\n", "null", "F.aidl: No interface in file - odd\n"},
        {"interface I { void f();", "null", "F.aidl - ***MALFORMED!***  void f();\n"},
        {"union U { int a; interface I {} }", "null"},
    });
}

TEST(Declarations, NumberMethodsInOrderAndSkipTheRest)
{
    expectRows({
        {"interface I { void a();\nconst int V = 3;\nvoid b(); }", "[I ] void|a() void|b()"},
        {"interface I { const String S = \" import a;}b{\"; void f(); }", "[I ] void|f()"},
        {"interface I { void foo (int a); }", "[I ] void|foo(int|a)"},
        {"interface I { Map<String,  String> get(); }", "[I ] Map<String, String>|get()"},
        {"interface I { foo; }", "[I ] |foo()"},
        {"interface I { void f() = x; }", "null",
         "MALFORMATION: method number specified for void f() = x; , but unable to parse it\n"},
    });
}

TEST(Arguments, SplitAtTopLevelCommasIntoTypeAndName)
{
    expectRows({
        {"interface I { void f( ); }", "[I ] void|f()"},
        {"interface I { void f(@nullable IBinder b, inout @nullable String[] s); }",
         "[I ] void|f(IBinder|b, inout String[]|s)"},
        {"interface I { void g();\nvoid f(int); }", "null", "MALFORMATION in int: method 1 in F.aidl\n"},
    });
}

TEST(Capacity, TheTableNeverOutgrowsItsCapacity)
{
    const char *three = "interface I { void a(); void b(); void c(); }", *open = "interface I { void a(); void b() }";
    const char *all = "[I ] void|a() void|b() void|c()";
    expectRows({
        {three, "[I ] void|a()", "F.aidl: the method table holds 1 methods, 2 more declarations left out\n",
         "NUMMETH=1", "Overriding to 1 methods\n"},
        {three, all, "NUMMETH: \"0\" is not a positive number, using 3 methods\n", "NUMMETH=0"},
        {three, all, "NUMMETH: \"3x\" is not a positive number, using 3 methods\n", "NUMMETH=3x"},
        {three, all, "NUMMETH: \"100001\" is more than 100000, using 3 methods\n", "NUMMETH=100001"},
        {open, "[I ] void|a()", "F.aidl: the method table holds 1 methods, 1 more declarations left out\n"},
        {open, "[I ] void|a() void|b()", "", "NUMMETH=2", "Overriding to 2 methods\n"},
    });
}

TEST(Reading, ReportsOpenFailuresOnlyWhenAskedAndPrintsTheCleanedText)
{
    expectRows({
        {nullptr, "null"},
        {nullptr, "null", "F.aidl: No such file or directory\n", "ZQDEBUG="},
        {"// c\ninterface I {}", "ended 0", "", "ZQAIDLDEBUG=1", "     interface I {}"},
    });
}

} // namespace
