// The AIDL file parser: cleaning, marker extraction, header, declarations, arguments, capacity.
#include "tessel_test.h"

namespace {

struct row {
  const char *Text, *Shape, *Err;
};

// Body rows are parsed inside "interface I { ... }" and show only their methods.
void expectRows(std::initializer_list<row> Rows, bool Body) {
  for (const row &R : Rows) {
    output Io;
    std::string Text = Body ? std::string("interface I { ") + R.Text + " }" : R.Text;
    std::string Want = Body && std::string(R.Shape) != "null" ? std::string("[I ] ") + R.Shape : R.Shape;
    EXPECT_EQ(parsed(Text, &Io), Want) << R.Text;
    EXPECT_EQ(Io.Err, R.Err) << R.Text;
  }
}

TEST(Cleaning, BlanksCommentsAndAnnotationsOnly) {
  struct {
    const char *In;
    int RemoveNewLines;
    const char *Out;
  } Rows[] = {
      {"a /* b */ c", 0, "a         c"},
      {"a // b\nc", 0, "a     \nc"},
      {"a // b\nc", 1, "a      c"},
      {"/*/x", 0, "   x"},
      {"@Foo(a = 1, b = 2) int x", 0, "                   int x"},
      {"// @Foo\nx", 0, "       \nx"},
      // An annotation ends at any whitespace, not only at a blank.
      {"@VintfStability\ninterface I", 1, "                interface I"},
      {"@A\tvoid f();", 0, "  \tvoid f();"},
      // Literals are text: nothing in them opens a comment or moves the annotation's depth.
      {"\"/* @x */\" y", 0, "\"/* @x */\" y"},
      {"@J(a=\"(\") y", 0, "          y"},
      {"'\"' // c", 0, "'\"'     "},
  };
  for (const auto &R : Rows) {
    std::string Buf = R.In;
    decommentize(Buf.data(), Buf.size(), R.RemoveNewLines);
    EXPECT_EQ(Buf, R.Out) << R.In;
  }
}

TEST(MarkerExtraction, FindsTheTextAfterAMarkerUpToItsDelimiter) {
  struct {
    const char *Text, *Marker;
    char Delim;
    size_t Size;
    const char *Arg;
  } Rows[] = {
      {"package a.b;", "package ", ';', 99, "a.b"},
      {"x interface IFoo {", "interface ", '{', 99, "IFoo "},
      {"interface  9Foo{", "interface ", '{', 99, "Foo"},
      {"import a\nb;", "import ", ';', 99, "a"},
      {"myinterface Foo {", "interface ", '{', 99, nullptr},
      {"interface Foo", "interface ", '{', 99, nullptr},
      {"package a.b;", "package ", ';', 11, nullptr},
  };
  for (const auto &R : Rows) {
    std::string Buf = R.Text;
    const char *Arg = getArgOfMarker(Buf.data(), R.Marker, R.Delim, R.Size);
    EXPECT_STREQ(Arg, R.Arg) << R.Text;
  }
}

TEST(Header, NamesTheTopLevelInterfaceOnly) {
  expectRows(
      {
          {"package a.b;\nimport x.Y;\nimport z.W;\n\ninterface IFoo {\n  void f();\n  int g();\n}\n",
           "[a.b.IFoo ] void|f() int|g()", ""},
          {"interface IFoo{}", "[IFoo]", ""},
          {"", "null", "mmap(F.aidl): Invalid argument\n"},
          {"package a;\nparcelable P;\n", "null", ""},
          {"package a;\nmyinterface Foo {}\n", "null", "F.aidl: No interface in file - odd\n"},
          {"interface I { void f();", "null", "F.aidl - ***MALFORMED!***  void f();\n"},
          {"package a;\n@VintfStability\ninterface IFoo {\n@Deprecated\nvoid f();\n}\n",
           "[a.IFoo ] void|f()", ""},
          // Interfaces nested in another top-level type are not this file's interface.
          {"parcelable P {\n  interface I { void f(); }\n}\n", "null", ""},
          {"union U { int a; interface I {} }", "null", ""},
          {"enum E { A, B }", "null", ""},
      },
      false);
}

TEST(Declarations, NumberMethodsInOrderAndSkipTheRest) {
  expectRows(
      {
          {"oneway void ping();", "void|ping()", ""},
          {"void a();\nconst int V = 3;\nvoid b();", "void|a() void|b()", ""},
          {"void a();void b();", "void|a() void|b()", ""},
          {"const String S = \"a;}b{\"; void f();", "void|f()", ""},
          {"void a();\n parcelable P { int x; int y; }\n enum E { A, B }\n"
           " interface ICb { void c(); }\n void b();",
           "void|a() void|b()", ""},
          {"void foo (int a);", "void|foo(int|a)", ""},
          {"Map<String,  String> get();", "Map<String, String>|get()", ""},
          {"foo;", "|foo()", ""},
          {"void f() = 5;", "null", "F.aidl: explicitly numbered methods are not supported\n"},
          {"void f() = x;", "null",
           "MALFORMATION: method number specified for void f() = x; , but unable to parse it\n"},
      },
      true);
}

TEST(Arguments, SplitAtTopLevelCommasIntoTypeAndName) {
  expectRows(
      {
          {"int add(int a, in String b);", "int|add(int|a, in String|b)", ""},
          {"void put(in Map<String, String> m, in Pair<A,B> p);",
           "void|put(in Map<String, String>|m, in Pair<A,B>|p)", ""},
          {"void f( );", "void|f()", ""},
          {"void f(int a,\n\tint b\n);", "void|f(int|a, int|b)", ""},
          {"void f(@nullable IBinder b, inout @nullable String[] s);",
           "void|f(IBinder|b, inout String[]|s)", ""},
          {"void g();\nvoid f(int);", "null", "MALFORMATION in int: method 1 in F.aidl\n"},
      },
      true);
}

TEST(Capacity, TheTableNeverOutgrowsItsCapacity) {
  struct {
    const char *NumMeth, *Body, *Shape, *Out, *Err;
  } Rows[] = {
      {"1", "void a(); void b(); void c();", "[I ] void|a()", "Overriding to 1 methods\n",
       "F.aidl: the method table holds 1 methods, 2 more declarations left out\n"},
      {"5", "void a(); void b();", "[I ] void|a() void|b()", "Overriding to 5 methods\n", ""},
      {"0", "void a();", "[I ] void|a()", "",
       "NUMMETH: \"0\" is not a positive number, using 1 methods\n"},
      {"3x", "void a();", "[I ] void|a()", "",
       "NUMMETH: \"3x\" is not a positive number, using 1 methods\n"},
      {nullptr, "void a(); void b()", "[I ] void|a()", "",
       "F.aidl: the method table holds 1 methods, 1 more declarations left out\n"},
      {"2", "void a(); void b()", "[I ] void|a() void|b()", "Overriding to 2 methods\n", ""},
  };
  for (const auto &R : Rows) {
    scopedEnv Env("NUMMETH", R.NumMeth);
    output Io;
    EXPECT_EQ(parsed(std::string("interface I { ") + R.Body + " }", &Io), R.Shape) << R.Body;
    EXPECT_EQ(Io.Out, R.Out) << R.Body;
    EXPECT_EQ(Io.Err, R.Err) << R.Body;
  }
}

TEST(Reading, FieldsAreCutAtTheirLimits) {
  std::string Long(100, 'x');
  std::string Shape = parsed("interface I { " + Long + " " + Long + "(int " + Long + "); }");
  EXPECT_EQ(Shape, "[I ] " + Long.substr(0, 63) + "|" + Long.substr(0, 63) + "(int|" +
                       Long.substr(0, 31) + ")");
}

TEST(Reading, ReportsWhatItIsAskedTo) {
  output Io = captured([] { EXPECT_EQ(tessel("/nonexistent/F.aidl"), nullptr); });
  EXPECT_EQ(Io.Err, "");
  scopedEnv Debug("ZQDEBUG", "");
  Io = captured([] { EXPECT_EQ(tessel("/nonexistent/F.aidl"), nullptr); });
  EXPECT_EQ(Io.Err, "/nonexistent/F.aidl: No such file or directory\n");
}

TEST(Reading, DebugSwitchPrintsTheCleanedTextAndExits) {
  scratchDir Dir;
  std::string File = Dir.write("F.aidl", "// c\ninterface I {}");
  scopedEnv Debug("ZQAIDLDEBUG", "1");
  // stdout is sent to stderr, which the death test can match.
  EXPECT_EXIT((dup2(2, 1), tessel(File.c_str())), testing::ExitedWithCode(0),
              "^     interface I \\{\\}$");
}

}  // namespace
