// The AIDL file parser: cleaning, marker extraction, header, declarations, arguments, capacity.
#include "tessel_test.h"

namespace {

// A file's text, what it parses to, and what is printed; messages name the file F.aidl.
struct row {
    const char *Text, *Shape, *Err = "", *NumMeth = nullptr, *Out = "";
};

void expectRows(std::initializer_list<row> Rows)
{
    for (const row &R : Rows) {
        scratchDir Dir;
        scopedEnv Env("NUMMETH", R.NumMeth);
        std::string File = Dir.write("F.aidl", R.Text), Shape;
        Result Io = capture([&] {
            Shape = shape(tessel(File.c_str()));
            return 0;
        });
        for (size_t At; (At = Io.err.find(File)) != std::string::npos;)
            Io.err.replace(At, File.size(), "F.aidl");
        EXPECT_EQ(Shape, R.Shape) << R.Text;
        EXPECT_EQ(Io.err, R.Err) << R.Text;
        EXPECT_EQ(Io.out, R.Out) << R.Text;
    }
}

TEST(Cleaning, BlanksCommentsAndAnnotationsOnly)
{
    struct {
        const char *In;
        int RemoveNewLines;
        const char *Out;
    } Rows[] = {
        {"a /* b */ c", 0, "a         c"},
        {"a // b\nc", 0, "a     \nc"},
        {"a // b\nc", 1, "a      c"},
        {"/*/x", 0, "   x"},
        {"@A) x", 0, "    x"},
        {"// @Foo\nx", 0, "       \nx"},
        {"@Foo(a = 1, b = 2) int x", 0, "                   int x"},
        // Any whitespace ends an annotation; literals are text, never structure.
        {"@VintfStability\ninterface I", 1, "                interface I"},
        {"@A\tvoid f();", 0, "  \tvoid f();"},
        {"\"/* @x */\" y", 0, "\"/* @x */\" y"},
        {"\"a\\\"//\" x", 0, "\"a\\\"//\" x"},
        {"@J(a=\"(\") y", 0, "          y"},
        {"'\"' // c", 0, "'\"'     "},
    };
    for (const auto &R : Rows) {
        std::string Buf = R.In;
        decommentize(Buf.data(), Buf.size(), R.RemoveNewLines);
        EXPECT_EQ(Buf, R.Out) << R.In;
    }
}

TEST(MarkerExtraction, FindsTheTextAfterAMarkerUpToItsDelimiter)
{
    struct {
        const char *Text, *Marker;
        char Delim;
        size_t Size;
        const char *Arg;
    } Rows[] = {
        {"package a.b;", "package ", ';', 99, "a.b"},          {"x interface IFoo {", "interface ", '{', 99, "IFoo "},
        {"interface  9Foo{", "interface ", '{', 99, "Foo"},    {"import a\nb;", "import ", ';', 99, "a"},
        {"myinterface Foo {", "interface ", '{', 99, nullptr}, {"interface Foo", "interface ", '{', 99, nullptr},
        {"package a.b;", "package ", ';', 11, nullptr},
    };
    for (const auto &R : Rows) {
        std::string Buf = R.Text;
        EXPECT_STREQ(getArgOfMarker(Buf.data(), R.Marker, R.Delim, R.Size), R.Arg) << R.Text;
    }
}

TEST(Header, NamesTheTopLevelInterfaceOnly)
{
    expectRows({
        {"package a.b;\nimport x.Y;\nimport z.W;\n\ninterface IFoo {\n  void f();\n  int g();\n}\n",
         "[a.b.IFoo ] void|f() int|g()"},
        {"interface IFoo{}", "[IFoo]"},
        {"", "null", "mmap(F.aidl): Invalid argument\n"},
        {"package a;\nparcelable P;\n", "null"},
        {"package a;\nmyinterface Foo {}\n", "null", "F.aidl: No interface in file - odd\n"},
        {"interface I { void f();", "null", "F.aidl - ***MALFORMED!***  void f();\n"},
        {"package a;\n@VintfStability\ninterface IFoo {\n@Deprecated\nvoid f();\n}\n", "[a.IFoo ] void|f()"},
        {"parcelable P {\n  interface I { void f(); }\n}\n", "null"},
        {"union U { int a; interface I {} }", "null"},
        {"enum E { A, B }", "null"},
    });
}

TEST(Declarations, NumberMethodsInOrderAndSkipTheRest)
{
    expectRows({
        {"interface I { oneway void ping(); }", "[I ] void|ping()"},
        {"interface I { void a();\nconst int V = 3;\nvoid b(); }", "[I ] void|a() void|b()"},
        {"interface I { void a();void b(); }", "[I ] void|a() void|b()"},
        {"interface I { const String S = \" import a;}b{\"; void f(); }", "[I ] void|f()"},
        {"interface I { void a();\n parcelable P { int x; int y; }\n enum E { A, B }\n"
         " interface ICb { parcelable R { int x; } void c(); }\n void b(); }",
         "[I ] void|a() void|b()"},
        {"interface I { void foo (int a); }", "[I ] void|foo(int|a)"},
        {"interface I { Map<String,  String> get(); }", "[I ] Map<String, String>|get()"},
        {"interface I { foo; }", "[I ] |foo()"},
        {"interface I { void f() = 5; }", "null", "F.aidl: explicitly numbered methods are not supported\n"},
        {"interface I { void f() = x; }", "null",
         "MALFORMATION: method number specified for void f() = x; , but unable to parse it\n"},
    });
}

TEST(Arguments, SplitAtTopLevelCommasIntoTypeAndName)
{
    expectRows({
        {"interface I { int add(int a, in String b); }", "[I ] int|add(int|a, in String|b)"},
        {"interface I { void p(in Map<String, String> m, in Pair<A,B> q); }",
         "[I ] void|p(in Map<String, String>|m, in Pair<A,B>|q)"},
        {"interface I { void f( ); }", "[I ] void|f()"},
        {"interface I { void f(int a,\n\tint b\n); }", "[I ] void|f(int|a, int|b)"},
        {"interface I { void f(@nullable IBinder b, inout @nullable String[] s); }",
         "[I ] void|f(IBinder|b, inout String[]|s)"},
        {"interface I { void g();\nvoid f(int); }", "null", "MALFORMATION in int: method 1 in F.aidl\n"},
    });
}

TEST(Capacity, TheTableNeverOutgrowsItsCapacity)
{
    const char *Three = "interface I { void a(); void b(); void c(); }", *Open = "interface I { void a(); void b() }";
    expectRows({
        {Three, "[I ] void|a()", "F.aidl: the method table holds 1 methods, 2 more declarations left out\n", "1",
         "Overriding to 1 methods\n"},
        {Three, "[I ] void|a() void|b() void|c()", "", "5", "Overriding to 5 methods\n"},
        {Three, "[I ] void|a() void|b() void|c()", "NUMMETH: \"0\" is not a positive number, using 3 methods\n", "0"},
        {Three, "[I ] void|a() void|b() void|c()", "NUMMETH: \"3x\" is not a positive number, using 3 methods\n", "3x"},
        {Open, "[I ] void|a()", "F.aidl: the method table holds 1 methods, 1 more declarations left out\n"},
        {Open, "[I ] void|a() void|b()", "", "2", "Overriding to 2 methods\n"},
    });
}

TEST(Reading, ReportsOpenFailuresOnlyWhenAskedAndPrintsTheCleanedText)
{
    EXPECT_EQ(capture([] {
                  EXPECT_EQ(tessel("/nonexistent/F.aidl"), nullptr);
                  return 0;
              }).err,
              "");
    scopedEnv Debug("ZQDEBUG", "");
    EXPECT_EQ(capture([] {
                  tessel("/nonexistent/F.aidl");
                  return 0;
              }).err,
              "/nonexistent/F.aidl: No such file or directory\n");
    scratchDir Dir;
    std::string File = Dir.write("F.aidl", "// c\ninterface I {}");
    scopedEnv Clean("ZQAIDLDEBUG", "1");
    // stdout goes to stderr, which the death test can match.
    EXPECT_EXIT((dup2(2, 1), tessel(File.c_str())), testing::ExitedWithCode(0), "^     interface I \\{\\}$");
}

} // namespace
