// Lookup by interface name, method numbers and fields, the listings and the argument summary.
#include <fcntl.h>
#include <sys/stat.h>

#include "tessel_test.h"

namespace {

const char *const Foo =
    "package a;\ninterface IFoo {\n  void ping();\n  int add(int a, in String b);\n"
    "  List<String> names(in Map<String, int> m);\n  A&B amp();\n}\n";

// An AIDL directory holding IFoo.aidl, named by ZQAIDL_DIR for the test's scope.
struct aidlDir : scratchDir {
  scopedEnv Env{"ZQAIDL_DIR", Path.c_str()};
  aidlDir() { write("IFoo.aidl", Foo); }
};

std::string shapeOf(const char *Interface, output *Io = nullptr) {
  std::string Shape;
  output Seen = captured([&] { Shape = shape(getAIDLForInterface(Interface)); });
  if (Io) *Io = Seen;
  return Shape;
}

TEST(Lookup, FindsTheFileBySimpleNameOrReportsWhy) {
  aidlDir Dir;
  const std::string Long(260, 'L');
  struct {
    std::string Interface, Shape, Err;
  } Rows[] = {
      {"a.b.IFoo", "[a.IFoo ] void|ping() int|add(int|a, in String|b) "
                   "List<String>|names(in Map<String, int>|m) A&B|amp()", ""},
      {"IFoo", shapeOf("a.b.IFoo"), ""},
      {"a.b.IMissing", "null",
       "tessel error: Can't get AIDL for IMissing - " + Dir.Path +
           "/IMissing.aidl: No such file or directory (did you install the AIDL files correctly?)\n"},
      {"a." + Long, "null",
       "tessel error: AIDL path for " + Long + " in " + Dir.Path +
           " is too long (at most 255 characters)\n"},
  };
  for (const auto &R : Rows) {
    output Io;
    EXPECT_EQ(shapeOf(R.Interface.c_str(), &Io), R.Shape) << R.Interface;
    EXPECT_EQ(Io.Err, R.Err) << R.Interface;
  }
}

TEST(Lookup, ReportsAMissingDirectoryWithATipForTheDefaultOnly) {
  output Io;
  {
    scopedEnv Env("ZQAIDL_DIR", "/nonexistent/aidl");
    EXPECT_EQ(shapeOf("IFoo", &Io), "null");
    EXPECT_EQ(Io.Err, "tessel error: Can't get AIDL directory: /nonexistent/aidl No such file or directory\n");
  }
  if (access("/data/local/tmp/aidl", F_OK) == 0) GTEST_SKIP() << "the default AIDL directory exists here";
  EXPECT_EQ(shapeOf("IFoo", &Io), "null");
  EXPECT_EQ(Io.Err,
            "tessel error: Can't get AIDL directory: /data/local/tmp/aidl No such file or "
            "directory\ntip: set ZQAIDL_DIR to point to where I can find AIDLs?\n");
}

TEST(Lookup, ReadsOnlyARegularFileDirectly) {
  aidlDir Dir;
  scratchDir Here;
  Here.write("a.IFoo", "interface IHere { void here(); }");
  char Saved[4096];
  ASSERT_TRUE(getcwd(Saved, sizeof Saved));
  ASSERT_EQ(chdir(Here.Path.c_str()), 0);
  EXPECT_EQ(shapeOf("a.IFoo"), "[IHere ] void|here()");
  ASSERT_EQ(chdir(Saved), 0);

  // A FIFO named like the interface falls through to the directory. Holding it open both ways
  // keeps a wrongful open from hanging the test.
  std::string Fifo = Dir.Path + "/x.IFoo";
  ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
  int Held = open(Fifo.c_str(), O_RDWR | O_NONBLOCK);
  EXPECT_EQ(shapeOf(Fifo.c_str()), shapeOf("IFoo"));
  close(Held);
}

TEST(MethodNumbers, MatchNamesIgnoringCase) {
  aidlDir Dir;
  captured([] {
    EXPECT_EQ(getMethodNumFromInterface("a.IFoo", "ADD"), 2);
    EXPECT_EQ(getMethodNumFromInterface("a.IFoo", "ping"), 1);
    EXPECT_EQ(getMethodNumFromInterface("a.IFoo", "pin"), 0);
  });
  EXPECT_EXIT(getMethodNumFromInterface("a.INone", "f"), testing::ExitedWithCode(5),
              "a.INone: Unable to find AIDL interface definition\n");
}

TEST(Accessors, GiveFieldsOfMethodsOneToNumMethodsOnly) {
  aidlDir Dir;
  const aidl *Aidl = getAIDLForInterface("IFoo");
  ASSERT_NE(Aidl, nullptr);
  EXPECT_STREQ(getMethodNameFromAIDL(Aidl, 2), "add");
  EXPECT_STREQ(getMethodReturnFromAIDL(Aidl, 2), "int");
  EXPECT_EQ(getMethodNumArgsFromAIDL(Aidl, 2), 2);
  EXPECT_STREQ(getMethodArgsFromAIDL(Aidl, 2)[1].type, "in String");
  for (const aidl *Record : {Aidl, static_cast<const aidl *>(nullptr)})
    for (int Meth : {0, 5}) {
      EXPECT_EQ(getMethodNameFromAIDL(Record, Meth), nullptr);
      EXPECT_EQ(getMethodReturnFromAIDL(Record, Meth), nullptr);
      EXPECT_EQ(getMethodNumArgsFromAIDL(Record, Meth), 0);
      EXPECT_EQ(getMethodArgsFromAIDL(Record, Meth), nullptr);
    }
}

TEST(Listing, PrintsTextAndHtmlByteForByte) {
  aidlDir Dir;
  const std::string Head = "a.IFoo: Interface a.IFoo  with 4 methods\n";
  EXPECT_EQ(captured([] { dumpMethodsFromAIDL("a.IFoo"); }).Out,
            Head + "/* 1 */ void \033[34;1mping\033[0;0m();\n"
                   "/* 2 */ int \033[34;1madd\033[0;0m(int \033[33;1ma\033[0;0m, in String "
                   "\033[33;1mb\033[0;0m);\n"
                   "/* 3 */ List<String> \033[34;1mnames\033[0;0m(in Map<String, int> "
                   "\033[33;1mm\033[0;0m);\n"
                   "/* 4 */ A&B \033[34;1mamp\033[0;0m();\n");
  scopedEnv Html("HTML", "");
  EXPECT_EQ(captured([] { dumpMethodsFromAIDL("a.IFoo"); }).Out,
            Head + "<table class=\"centered\">\n<caption><span class=\"bu\">Table xx-xxx:</span> "
                   "The methods exported by <code>a.IFoo </code></caption>\n"
                   "<tr><th>Method</th><th>Purpose</th>\n"
                   "<tr><td><code> <span class=\"funcName\">ping</span>()</code></td><td></td></tr>\n"
                   "<tr><td><code>int <span class=\"funcName\">add</span>(<i>a</i>, <i>b</i>)"
                   "</code></td><td></td></tr>\n"
                   "<tr><td><code>List&lt;String&gt; <span class=\"funcName\">names</span>(<i>m</i>)"
                   "</code></td><td></td></tr>\n"
                   "<tr><td><code>A&amp;B <span class=\"funcName\">amp</span>()</code></td><td></td>"
                   "</tr>\n</table>");
  EXPECT_EQ(captured([] { dumpMethodsFromAIDL("a.INone"); }).Out, "");
}

TEST(ArgumentSummary, NamesTheArgumentsWithinItsBuffer) {
  aidlDir Dir;
  const aidl *Aidl = getAIDLForInterface("IFoo");
  const unsigned char Parcel[20] = {};
  struct {
    const aidl *Record;
    int Meth;
    size_t Size;
    const char *Text;
  } Rows[] = {{nullptr, 1, 20, "?"}, {Aidl, 5, 20, "??"}, {Aidl, 1, 20, ""},
              {Aidl, 2, 19, "Parcel too small"}, {Aidl, 2, 20, "a,b,"}};
  for (const auto &R : Rows)
    EXPECT_STREQ(formatMethodArgsFromAIDLAndParcel(R.Record, R.Meth, Parcel, R.Size), R.Text);

  // 40 names of 31 characters: only the 31 that fit whole in 1024 bytes are listed.
  std::string Name(31, 'n'), Args, Want;
  for (int I = 0; I < 40; ++I) Args += std::string(I ? ", " : "") + "int " + Name;
  for (int I = 0; I < 31; ++I) Want += Name + ",";
  Dir.write("IWide.aidl", "interface IWide { void f(" + Args + "); }");
  EXPECT_STREQ(formatMethodArgsFromAIDLAndParcel(getAIDLForInterface("IWide"), 1, Parcel, 20),
               Want.c_str());
}

}  // namespace
