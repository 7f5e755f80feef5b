// The service commands: dump, call in its three forms with typed arguments and decoded
// replies, and methods, against the replies a service may give.
#include "fake_driver.h"

#include <fcntl.h>

#include <filesystem>
#include <fstream>

using namespace vorn;

namespace {

const char *const IT = "package t;\ninterface IT {\n"
                       "  int add(int a, in int b);\n"      // 1
                       "  String echo(String s);\n"         // 2
                       "  boolean flag(boolean b);\n"       // 3
                       "  float half(in float f);\n"        // 4
                       "  void set(long l, in double d);\n" // 5
                       "  long big();\n"                    // 6
                       "  double ratio();\n"                // 7
                       "  IBinder other();\n"               // 8
                       "  byte[] raw();\n"                  // 9
                       "  void all(int i, long l, float f, double d, boolean z, byte y, char c, String s, IBinder o);\n"
                       "}\n";

// Every test runs with an AIDL directory holding IT.aidl.
class Commands : public VornTest {
protected:
    void SetUp() override
    {
        VornTest::SetUp();
        std::filesystem::create_directories(dir);
        std::ofstream(dir + "/IT.aidl") << IT;
        env("ZQAIDL_DIR", dir.c_str());
        env("A11");
    }
    std::string dir = testing::TempDir() + "vorn-aidl";
};

// The lookup of the service and, for the number and name forms, its interface query.
void service(FakeDriver &F, const char *Interface = "t.IT")
{
    F.handleReply(5);
    if (Interface)
        F.reply(Bytes().str16(Interface));
}

struct CommandRow {
    const char *name;
    std::vector<std::string> words;
    std::function<void(FakeDriver &)> script;
    std::string out, err;
    int status;
};

class Command : public Commands, public ::testing::WithParamInterface<CommandRow> {};

TEST_P(Command, PrintsAndEndsAsAUserExpects)
{
    const CommandRow &row = GetParam();
    row.script(fake);
    Result r = runVorn(row.words);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.status, row.status);
}

std::string dumped(const Bytes &B)
{
    return capture([&] { return hexDump(B.data(), B.size(), 0), 0; }).err;
}

// Replies a real service does not give; the machine cases show the ordinary ones.
INSTANTIATE_TEST_SUITE_P(
    Replies, Command,
    ::testing::Values(
        CommandRow{"lowest_status",
                   {"vorn", "call", "svc", "6"},
                   [](FakeDriver &f) { service(f), f.statusReply(INT32_MIN); },
                   "",
                   "Transaction returned -2147483648 (Unknown error 2147483648)\n" + dumped(Bytes().u32(0x80000000)),
                   0},
        CommandRow{"too_short_for_its_value",
                   {"vorn", "call", "svc", "1"},
                   [](FakeDriver &f) { service(f), f.reply(Bytes().u32(0)); },
                   "",
                   "The reply (4 bytes) is too short for a returned int\n" + dumped(Bytes().u32(0)),
                   0},
        CommandRow{"pid_too_short",
                   {"vorn", "call", "svc", "_PID"},
                   [](FakeDriver &f) { service(f, nullptr), f.reply({}); },
                   "",
                   "No data\nThe reply (0 bytes) is too short for a process id\n  \n",
                   0},
        CommandRow{"handles_with_and_without_interface",
                   {"vorn", "call", "svc", "raw"},
                   [](FakeDriver &f) {
                       service(f);
                       f.reply(Bytes().u32(0).object(BINDER_TYPE_HANDLE, 6).object(BINDER_TYPE_HANDLE, 7), {4, 28});
                       f.reply(Bytes().str16("t.IOther"));
                       f.answer(Bytes().u32(BR_DEAD_REPLY));
                   },
                   "returns: byte[] (not handled yet)\nObject 0 (desc 6) is a handle to t.IOther!\nObject 1 (desc 7) "
                   "is a handle to (no interface)!\n",
                   dumped(Bytes().u32(0).object(BINDER_TYPE_HANDLE, 6).object(BINDER_TYPE_HANDLE, 7)) +
                       "Encountered unexpected code: Code: 0x7205\n",
                   0},
        CommandRow{
            "object_past_the_data",
            {"vorn", "call", "svc", "8"},
            [](FakeDriver &f) { service(f), f.reply(Bytes().u32(0).u32(BINDER_TYPE_BINDER).u32(0).u32(42), {8}); },
            "returns: IBinder (not handled yet)\n",
            dumped(Bytes().u32(0).u32(BINDER_TYPE_BINDER).u32(0).u32(42)) +
                "Got Binder  - 42\nMalformation: Flat binder object size would get to 32, which is greater "
                "than buffer size 16\n",
            250},
        CommandRow{"offset_past_the_data",
                   {"vorn", "call", "svc", "8"},
                   [](FakeDriver &f) { service(f), f.reply(Bytes().u32(0), {40}); },
                   "returns: IBinder (not handled yet)\n",
                   dumped(Bytes().u32(0)) + "Malformation: Offset points to 40, which is greater than buffer size 4\n",
                   251},
        CommandRow{"no_reply",
                   {"vorn", "call", "svc", "_PNG"},
                   [](FakeDriver &f) { service(f, nullptr), f.answer(Bytes().u32(BR_FAILED_REPLY)); },
                   "",
                   "No reply\n",
                   251},
        CommandRow{"dump_refused",
                   {"vorn", "dump", "svc"},
                   [](FakeDriver &f) { service(f, nullptr), f.statusReply(-1); },
                   "",
                   "The dump of svc was refused with status -1 (Operation not permitted)\n",
                   1},
        CommandRow{"dump_error_status",
                   {"vorn", "dump", "svc"},
                   [](FakeDriver &f) { service(f, nullptr), f.reply(Bytes().u32(uint32_t(-74)).u32(0)); },
                   "",
                   "Result:Parcel(Error: 0xffffffb6 \"Not a data message\")\n",
                   1},
        CommandRow{"methods_without_interface",
                   {"vorn", "methods", "svc"},
                   [](FakeDriver &f) { service(f, nullptr), f.answer(Bytes().u32(BR_DEAD_REPLY)); },
                   "",
                   "Encountered unexpected code: Code: 0x7205\nInterface?\n",
                   5}),
    [](const auto &Info) { return std::string(Info.param.name); });

struct ReturnRow {
    std::vector<std::string> words; // after the service name
    Bytes value;                    // after the status word
    std::string out;
};

TEST_F(Commands, DecodesTheDeclaredReturnType)
{
    for (const ReturnRow &row : std::vector<ReturnRow>{
             {{"half", "2"}, Bytes().u32(0x3fc00000), "Returned float: 1.500000\n"},
             {{"flag", "true"}, Bytes().u32(2), "Returned boolean: true (0x2)\n"},
             {{"flag", "0"}, Bytes().u32(0), "Returned boolean: false (0x0)\n"},
             {{"big"}, Bytes().u64(uint64_t(-2)), "Returned Long (int64_t): -2 (0xfffffffffffffffe)\n"},
             {{"ratio"}, Bytes().u64(0x3ff8000000000000), "Returned double: 1.500000\n"},
             {{"echo", "x"}, Bytes().null16(), "Returned String: \n"},
             {{"set", "1", "2"}, Bytes(), ""},
         }) {
        service(fake);
        Bytes reply = Bytes().u32(0);
        reply.insert(reply.end(), row.value.begin(), row.value.end());
        fake.reply(reply);
        std::vector<std::string> words{"vorn", "call", "svc"};
        words.insert(words.end(), row.words.begin(), row.words.end());
        Result r = runVorn(words);
        EXPECT_EQ(r.out, row.out) << row.words[0];
        EXPECT_EQ(r.err + std::to_string(r.status), "0") << row.words[0];
    }
}

TEST_F(Commands, RequestsCarryTheRightHeaderTokenAndObjects)
{
    std::string header = "00 00 00 80 ff ff ff ff 54 53 59 53";
    service(fake), fake.reply(Bytes().u32(0).u32(3));
    runVorn({"vorn", "call", "svc", "add", "1", "-2"});
    EXPECT_EQ(hex(fake.sent.back().parcel), header + " " + hex(Bytes().str16("t.IT")) + " 01 00 00 00 fe ff ff ff");
    EXPECT_EQ(fake.sent.back().code, 1u);

    service(fake, nullptr), fake.reply({});
    runVorn({"vorn", "call", "svc", "_PNG"});
    EXPECT_EQ(hex(fake.sent.back().parcel), header);
    EXPECT_EQ(fake.sent.back().code, PING_TRANSACTION);

    service(fake, nullptr), fake.reply({});
    EXPECT_EQ(runVorn({"vorn", "call", "svc", "_DMP"}).err, "Serializing my stdout\nNo data\n");
    EXPECT_EQ(fake.sent.back().parcel, serializeFD(1));
    EXPECT_EQ(fake.sent.back().offsets, std::vector<uint64_t>{0});

    service(fake, nullptr), fake.reply({});
    runVorn({"vorn", "dump", "svc", "-a", "b"});
    EXPECT_EQ(hex(fake.sent.back().parcel),
              hex(serializeFD(1)) + " 02 00 00 00 " + hex(Bytes().str16("-a")) + " " + hex(Bytes().str16("b")));
    EXPECT_EQ(fake.sent.back().offsets, std::vector<uint64_t>{0});
}

TEST_F(Commands, ReportsADescriptorWithWhatItIsOpenOn)
{
    int fd = open("/dev/null", O_RDONLY);
    service(fake);
    fake.reply(Bytes().u32(0).object(BINDER_TYPE_FD, uint32_t(fd)), {4});
    Result r = runVorn({"vorn", "call", "svc", "raw"});
    EXPECT_EQ(r.out, "returns: byte[] (not handled yet)\nObject 0 is a filedescriptor (" + std::to_string(fd) +
                         " = /dev/null)!\n");
    close(fd);
}

struct ArgumentRow {
    int arg; // of method all
    const char *word;
    std::string bytes, err;
    int status;
};

TEST_F(Commands, EncodesEachArgumentByItsDeclaredType)
{
    aidl *all = getAIDLForInterface("t.IT");
    // The last argument's type is one no word can be encoded as.
    const std::vector<std::string> words{"0", "0", "0", "0", "0", "0", "00", "", "x"};
    const std::string unknown = "Arg 8:I don't know how to serialize type 'IBinder' yet - assuming NULL\n";
    const std::string zeros[9] = {"00 00 00 00", "00 00 00 00 00 00 00 00",
                                  "00 00 00 00", "00 00 00 00 00 00 00 00",
                                  "00 00 00 00", "00 00 00 00",
                                  "00 00 00 00", "00 00 00 00 00 00 00 00",
                                  "00 00 00 00"};
    const std::string longWord(3000, 'w');
    for (const ArgumentRow &row : std::vector<ArgumentRow>{
             {0, "-5", "fb ff ff ff", "", 0},
             {0, "12abc", "0c 00 00 00", "", 0},
             {0, "null", "00 00 00 00", "", 0},
             {1, "-2", "fe ff ff ff ff ff ff ff", "", 0},
             {2, "1.5", "00 00 c0 3f", "", 0},
             {3, "1.5", "00 00 00 00 00 00 f8 3f", "", 0},
             {4, "true", "01 00 00 00", "", 0},
             {5, "-1", "ff ff ff ff", "", 0},
             {6, "A", "41 00 00 00", "", 0},
             {6, "66", "42 00 00 00", "", 0},
             {7, "ab", "02 00 00 00 61 00 62 00 00 00 00 00", "", 0},
             {7, "null", "ff ff ff ff", "", 0},
             {7, longWord.c_str(), hex(Bytes().str16(longWord)), "", 0},
             {0, "x", "", "Expected argument for 'i' to be an integer.. You supplied 'x'\n", 3},
             {4, "TRUE", "", "Expected argument for 'z' to be an integer.. You supplied 'TRUE'\n", 3},
             {2, "abc", "", "Expected argument for 'f' to be a float.. You supplied 'abc'\n", 3},
             {3, "abc", "", "Expected argument for 'd' to be a double.. You supplied 'abc'\n", 3},
             {1, "x", "", "Expected argument for 'l' to be a long.. You supplied 'x'\n", 3},
         }) {
        std::vector<std::string> given = words;
        given[size_t(row.arg)] = row.word;
        std::vector<char *> argv;
        for (std::string &word : given)
            argv.push_back(word.data());
        Parcel bytes;
        Result r = capture([&] {
            try {
                bytes = serializeArgumentsFromCommandLine(argv, all, 10);
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
        EXPECT_EQ(hex(bytes), want) << row.word;
    }
    freeAIDL(all);
}

} // namespace
