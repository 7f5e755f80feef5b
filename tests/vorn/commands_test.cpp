// The service commands against replies a real service does not give (the machine cases show
// the ordinary ones), and the encoding of arguments by their declared types.
#include "fake_driver.h"

#include <filesystem>
#include <fstream>

using namespace vorn;

namespace {

// The lookup of svc and, for the number and name forms, its interface query.
const Answer SVC = handle(5), IT = named("t.IT");
Bytes twoHandles() { return Bytes().u32(0).object(BINDER_TYPE_HANDLE, 6).object(BINDER_TYPE_HANDLE, 7); }
Bytes binderAt4() { return Bytes().u32(0).u32(BINDER_TYPE_BINDER).u32(0).u32(42); }

INSTANTIATE_TEST_SUITE_P(
    Commands, Run,
    ::testing::Values(
        Row("lowest_status", "A11", {"vorn", "call", "svc", "1"}, {SVC, IT, status(INT32_MIN)}, "",
            "Transaction returned -2147483648 (Unknown error 2147483648)\n" + dumped(Bytes().u32(0x80000000)), 1),
        Row("too_short_for_its_value", "A11", {"vorn", "call", "svc", "1"}, {SVC, IT, reply(Bytes().u32(0))}, "",
            "The reply (4 bytes) is too short for a returned int\n" + dumped(Bytes().u32(0)), 0),
        Row("pid_too_short", "A11", {"vorn", "call", "svc", "_PID"}, {SVC, reply({})}, "",
            "No data\nThe reply (0 bytes) is too short for a process id\n  \n", 0),
        Row("handles_with_and_without_interface", "A11", {"vorn", "call", "svc", "raw"},
            {SVC, IT, reply(twoHandles(), {4, 28}), named("t.IOther"), DEAD},
            "returns: byte[] (not handled yet)\nObject 0 (desc 6) is a handle to t.IOther!\n"
            "Object 1 (desc 7) is a handle to (no interface)!\n",
            dumped(twoHandles()) + DIED, 0),
        Row("object_past_the_data", "A11", {"vorn", "call", "svc", "2"}, {SVC, IT, reply(binderAt4(), {8})},
            "returns: IBinder (not handled yet)\n",
            dumped(binderAt4()) + "Got Binder  - 42\nMalformation: Flat binder object size would get to 32, which is "
                                  "greater than buffer size 16\n",
            250),
        Row("offset_past_the_data", "A11", {"vorn", "call", "svc", "2"}, {SVC, IT, reply(Bytes().u32(0), {40})},
            "returns: IBinder (not handled yet)\n",
            dumped(Bytes().u32(0)) + "Malformation: Offset points to 40, which is greater than buffer size 4\n", 251),
        Row("reply_code", "A11", {"vorn", "call", "svc", "1"}, {SVC, IT, reply(Bytes().u32(0), {}, 5)}, "",
            "Transaction returned code 5\n", 0),
        Row("other_object", "A11", {"vorn", "call", "svc", "raw"},
            {SVC, IT, reply(Bytes().u32(0).object(BINDER_TYPE_FDA, 0), {4})},
            "returns: byte[] (not handled yet)\nObject 0 is type 0x66646185\n",
            dumped(Bytes().u32(0).object(BINDER_TYPE_FDA, 0)), 0),
        Row("method_number_out_of_range", "A11", {"vorn", "call", "svc", "4294967296"}, {SVC}, "",
            "Method number 4294967296 is out of range: transaction codes have 32 bits\n", 3),
        Row("pid_out_of_range", "A11", {"vorn", "2147483648"}, {}, "", "Process id 2147483648 is out of range\n", 1),
        Row("dump_refused", "A11", {"vorn", "dump", "svc"}, {SVC, status(-1)}, "",
            "The dump of svc was refused with status -1 (Operation not permitted)\n", 1),
        Row("cmd_refused", "A11", {"vorn", "cmd", "svc", "x"}, {SVC, status(-1)}, "",
            "The command of svc was refused with status -1 (Operation not permitted)\n", 1),
        Row("cmd_dead", "A11", {"vorn", "cmd", "svc"}, {SVC, DEAD}, "", DIED + "No reply to the command of svc\n", 1),
        Row("dump_error_status", "A11", {"vorn", "dump", "svc"}, {SVC, reply(Bytes().u32(uint32_t(-74)).u32(0))}, "",
            "Result:Parcel(Error: 0xffffffb6 \"Not a data message\")\n", 1),
        Row("methods_without_interface", "A11", {"vorn", "methods", "svc"}, {SVC, DEAD}, "", DIED + "Interface?\n", 5),
        // The driver's refusal (any of them: the transport's table has their words) is the reason a
        // dump has no reply; an exception is a failure.
        Row("dump_failed", "A11", {"vorn", "dump", "svc"}, {SVC, FAILED}, "",
            "Method 1598311760 call returned BR_FAILED_REPLY\nNo reply to the dump of svc\n", 1),
        Row("dump_exception", "A11", {"vorn", "dump", "svc"}, {SVC, reply(Bytes().u32(uint32_t(-8)).null16())}, "", "",
            1)),
    rowName);

struct ArgumentRow {
    int arg; // of method all
    const char *word;
    std::string bytes, err;
    int status;
};

TEST(Arguments, EncodedByTheirDeclaredTypes)
{
    const std::string dir = testing::TempDir();
    std::ofstream(dir + "IT.aidl") << AIDL_IT;
    Settings settings;
    settings.aidlDir = dir.c_str();
    const Method method = describe(settings, "IT").value().methods.at(3);
    // The last argument's type is one no word can be encoded as.
    const std::vector<std::string> words{"0", "0", "0", "0", "0", "0", "00", "", "x"};
    const std::string unknown = "Arg 8:I don't know how to serialize type 'IBinder' yet - assuming NULL\n";
    const std::string zeros[9] = {"00 00 00 00", "00 00 00 00 00 00 00 00",
                                  "00 00 00 00", "00 00 00 00 00 00 00 00",
                                  "00 00 00 00", "00 00 00 00",
                                  "00 00 00 00", "00 00 00 00 00 00 00 00",
                                  "00 00 00 00"};
    const std::string longWord(3000, 'w');
    // The machine sends each type's ordinary values and refuses a word that is no integer.
    for (const ArgumentRow &row : std::vector<ArgumentRow>{
             {0, "-5", "fb ff ff ff", "", 0},
             {0, "12abc", "0c 00 00 00", "", 0},
             {0, "null", "00 00 00 00", "", 0},
             {5, "-1", "ff ff ff ff", "", 0},
             {6, "66", "42 00 00 00", "", 0},
             {7, "null", "ff ff ff ff", "", 0},
             {7, longWord.c_str(), hex(Bytes().str16(longWord)), "", 0},
             {4, "TRUE", "", "Expected argument for 'z' to be an integer.. You supplied 'TRUE'\n", 3},
             {2, "abc", "", "Expected argument for 'f' to be a float.. You supplied 'abc'\n", 3},
             {3, "abc", "", "Expected argument for 'd' to be a double.. You supplied 'abc'\n", 3},
             {1, "x", "", "Expected argument for 'l' to be a long.. You supplied 'x'\n", 3},
             {0, "2147483648", "", "Argument for 'i' is out of range for its type: '2147483648'\n", 3},
             {1, "9223372036854775808", "", "Argument for 'l' is out of range for its type: '9223372036854775808'\n",
              3},
             {2, "1e39", "", "Argument for 'f' is out of range for its type: '1e39'\n", 3},
             {3, "1e400", "", "Argument for 'd' is out of range for its type: '1e400'\n", 3},
             // A byte is 8 bits; a char one UTF-16 unit, given as itself or as its number.
             {5, "-128", "80 ff ff ff", "", 0},
             {5, "128", "", "Argument for 'y' is out of range for its type: '128'\n", 3},
             {6, "\xc3\xa9", "e9 00 00 00", "", 0},
             {6, "65535", "ff ff 00 00", "", 0},
             {6, "65536", "", "Argument for 'c' is out of range for its type: '65536'\n", 3},
             {6, "\xf0\x9f\x98\x80", "", "Argument for 'c' is out of range for its type: '\xf0\x9f\x98\x80'\n", 3},
         }) {
        std::vector<std::string> given = words;
        given[size_t(row.arg)] = row.word;
        std::vector<char *> argv;
        for (std::string &word : given)
            argv.push_back(word.data());
        Writer bytes;
        Result r = capture([&] {
            try {
                encodeArguments(settings, bytes, argv, method);
                return 0;
            } catch (const Quit &q) {
                return q.status;
            }
        });
        EXPECT_EQ(r.err, row.status ? row.err : unknown) << row.word;
        EXPECT_EQ(r.status, row.status) << row.word;
        if (row.status)
            continue;
        std::string want;
        for (int k = 0; k < 9; ++k)
            want += (k ? " " : "") + (k == row.arg ? row.bytes : zeros[k]);
        EXPECT_EQ(hex(bytes.data()), want) << row.word;
    }
}

// The bytes of typed words where no machine flavour shows a service reading them: any word
// for b, and the objects of release 13 (the machine has 9 to 12, 14 as 15 before r6, and 16),
// a null binder never listed among the objects.
TEST(Words, EncodedAsTheirTypes)
{
    const std::string zeros16 = " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
    struct Row {
        int cls;
        std::vector<std::string> words;
        std::string bytes;
        std::vector<uint64_t> offsets;
    };
    for (Row row : std::initializer_list<Row>{
             {9, {"b", "true", "b", "0", "b", "5"}, "01 00 00 00 00 00 00 00 01 00 00 00", {}},
             {13, {"i32", "1", "null"}, "01 00 00 00 85 2a 62 73 13 00 00 00" + zeros16 + " 00 00 00 00", {}},
             {13, {"i32", "1", "nfd", "0"}, "01 00 00 00 85 2a 64 66 7f 01 00 00" + zeros16, {4}},
         }) {
        std::vector<char *> argv;
        for (std::string &word : row.words)
            argv.push_back(word.data());
        Settings settings;
        Session session{settings, -1, {}, NS_BINDER, row.cls, false};
        Writer w;
        encodeWords(session, w, argv);
        EXPECT_EQ(hex(w.data()), row.bytes) << row.cls << row.words[0];
        EXPECT_EQ(std::vector<uint64_t>(w.offsets().begin(), w.offsets().end()), row.offsets) << row.cls;
    }
}

// The machine shows both forms of the listing; here what the HTML form must escape.
TEST(Listing, HtmlEscapesTheTypes)
{
    std::string dir = testing::TempDir() + "listing";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/IFoo.aidl") << "package a;\ninterface IFoo {\n  List<String> names(in Map<String, int> m);\n"
                                         "  A&B amp();\n}\n";
    Settings settings;
    settings.aidlDir = dir.c_str();
    settings.html = true;
    const Interface foo = describe(settings, "a.IFoo").value();
    const std::string out = capture([&] { return printMethods(settings, "a.IFoo", foo), 0; }).out;
    const std::string row = "<tr><td><code>", end = "</code></td><td></td></tr>\n";
    EXPECT_NE(out.find(row + "List&lt;String&gt; <span class=\"funcName\">names</span>(<i>m</i>)" + end + row +
                       "A&amp;B <span class=\"funcName\">amp</span>()" + end + "</table>"),
              std::string::npos)
        << out;
}

} // namespace
