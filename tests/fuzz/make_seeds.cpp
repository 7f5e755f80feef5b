// Writes the seeds of the targets whose input is binary (reply, args, cli) into DIR/<target>/:
// each is a case a user meets, so that fuzzing starts from the paths that matter. Run by hand
// after a change of input.h's format: make_seeds tests/fuzz/seeds
#include "input.h"
#include "vorn.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>

using namespace fuzz;
using namespace vorn;

namespace {

struct Seed : std::vector<uint8_t> {
    Seed &u8(uint8_t V) { return push_back(V), *this; }
    Seed &u16(uint16_t V) { return u8(uint8_t(V)).u8(uint8_t(V >> 8)); }
    Seed &u32(uint32_t V) { return u16(uint16_t(V)).u16(uint16_t(V >> 16)); }
    Seed &u64(uint64_t V) { return u32(uint32_t(V)).u32(uint32_t(V >> 32)); }
    Seed &bytes(std::span<const uint8_t> B) { return insert(end(), B.begin(), B.end()), *this; }
    Seed &text(std::string_view S) { return insert(end(), S.begin(), S.end()), *this; }
    Seed &str16(std::string_view Ascii)
    {
        u32(uint32_t(Ascii.size()));
        for (char c : Ascii)
            u16(uint8_t(c));
        u16(0);
        resize((size() + 3) & ~size_t(3), 0);
        return *this;
    }
    Seed &object(uint32_t Type, uint64_t Value) { return u32(Type).u32(0x17f).u64(Value).u64(0); }
    Seed &buffer(uint64_t Addr, uint64_t Length, uint64_t Parent = 0, uint64_t ParentOffset = 0, uint32_t Flags = 0)
    {
        return u32(BINDER_TYPE_PTR).u32(Flags).u64(Addr).u64(Length).u64(Parent).u64(ParentOffset);
    }

    // The reply target's records.
    Seed &reply(const Seed &Data, std::initializer_list<uint64_t> Offsets = {}, uint32_t Code = 0, uint32_t Flags = 0)
    {
        u8(REPLY).u32(Flags).u32(Code).u16(uint16_t(Data.size())).bytes(Data).u8(uint8_t(Offsets.size()));
        for (uint64_t o : Offsets)
            u64(o);
        return *this;
    }
    Seed &status(int32_t S) { return reply(Seed().u32(uint32_t(S)), {}, 0, TF_STATUS_CODE); }
    Seed &handle(uint32_t H) { return reply(Seed().object(BINDER_TYPE_HANDLE, H), {0}); }
    Seed &named(std::string_view Interface) { return reply(Seed().str16(Interface)); }
    Seed &codes(const Seed &Stream) { return u8(CODES).u16(uint16_t(Stream.size())).bytes(Stream); }
    Seed &place(const Seed &Bytes) { return u8(PLACE).u16(uint16_t(Bytes.size())).bytes(Bytes); }

    // The argument and command-line targets' words.
    Seed &words(std::initializer_list<std::string_view> Words)
    {
        for (std::string_view w : Words)
            text(w).u8(0);
        pop_back();
        return *this;
    }
};

std::filesystem::path root;

void write(const char *Target, const char *Name, const Seed &S)
{
    std::filesystem::create_directories(root / Target);
    std::ofstream(root / Target / Name, std::ios::binary)
        .write(reinterpret_cast<const char *>(S.data()), long(S.size()));
}

// The reply target's first two bytes: the command line, then the release and switches.
enum Command : uint8_t {
    LIST,
    CHECK,
    CALL_ADD,
    CALL_PID,
    CALL_NTF,
    HW_LIST,
    OWNER,
    DUMP,
    METHODS,
    CALL_NUMBER,
    CALL_DUMP,
    OWNER_ALL,
    USERS,
    DUMP_ARGS,
    VND_LIST,
    CALL_STRING
};
enum Release : uint8_t { A11, NOT10, A16, A15R6, SDK35, NONE };
enum Switch : uint8_t {
    DEBUG = 0x08,
    COLOUR = 0x10,
    ONE_METHOD = 0x20,
    TOO_MANY_METHODS = 0x40,
    BAD_COUNT = 0x60,
    TRACE = 0x80
};

// A BR_REPLY record of the driver's, with its addresses as tagged words.
Seed record(uint64_t Data, uint64_t DataSize, uint64_t Offsets, uint64_t OffsetsSize, uint32_t Flags = 0)
{
    return Seed()
        .u32(BR_REPLY)
        .u64(0)
        .u64(0)
        .u32(0)
        .u32(Flags)
        .u32(4321)
        .u32(1000)
        .u64(DataSize)
        .u64(OffsetsSize)
        .u64(Data)
        .u64(Offsets);
}

void replySeeds()
{
    auto seed = [](Command C, Release R, uint8_t Switches = 0) { return Seed().u8(C).u8(R | Switches); };
    Seed twoNames = Seed().u32(0).u32(2).str16("media").str16("sample");
    write("reply", "list_a11", seed(LIST, A11).reply(twoNames).handle(1).named("t.IT").handle(2).named("t.IS"));
    write("reply", "list_a11_debug_colour",
          seed(LIST, A11, DEBUG | COLOUR).reply(twoNames).handle(1).named("t.IT").handle(2).status(-1));
    write("reply", "list_a16_short", seed(LIST, A16).reply(Seed().u32(0).u32(3).str16("one")));
    write("reply", "list_refused", seed(LIST, A11).status(-1));
    write("reply", "list_per_index",
          seed(LIST, NOT10).named("a").named("b").reply(Seed().u32(0)).handle(1).named("I").handle(2).named("J"));
    write("reply", "list_per_index_refused", seed(LIST, NOT10).status(-1).status(-1));
    write("reply", "list_probe", seed(LIST, SDK35).reply(Seed().u32(0).u32(0)).reply(twoNames));
    write("reply", "list_guessed", seed(LIST, NONE).named("a").status(-1).handle(1).named("I"));

    write("reply", "check_found", seed(CHECK, A11).handle(5));
    write("reply", "check_union",
          seed(CHECK, A15R6)
              .reply(Seed().u32(0).u32(1).u32(0).u32(1).u32(36).object(BINDER_TYPE_HANDLE, 1).u32(0xc).u32(0), {20}));
    write("reply", "check_offset_past", seed(CHECK, A11).reply(Seed().u32(0), {40}));
    write("reply", "check_weak", seed(CHECK, A11).reply(Seed().object(BINDER_TYPE_WEAK_HANDLE, 1), {0}));
    write("reply", "check_code", seed(CHECK, A11).reply(Seed().object(BINDER_TYPE_HANDLE, 1), {0}, 7));
    write("reply", "check_dead", seed(CHECK, A11).codes(Seed().u32(BR_NOOP).u32(BR_DEAD_REPLY)));
    write("reply", "check_failed", seed(CHECK, A11).codes(Seed().u32(BR_FAILED_REPLY)));
    write("reply", "check_truncated", seed(CHECK, A11).codes(Seed().u32(BR_NOOP).u32(BR_REPLY).u64(0)));
    write("reply", "check_bookkeeping",
          seed(CHECK, A11, DEBUG).codes(Seed().u32(BR_NOOP).u32(BR_INCREFS).u64(1).u64(2)).handle(1));
    // A record whose data lies in a placed block; its size runs past the block's end.
    // A record whose data lies in a placed block, and one whose size runs past the area's end.
    Seed object = Seed().object(BINDER_TYPE_HANDLE, 3), offsets = Seed().u64(0);
    write("reply", "check_record",
          seed(CHECK, A11, DEBUG)
              .place(object)
              .place(offsets)
              .codes(Seed().u32(BR_NOOP).bytes(record(rel(1, 0), 24, rel(0, 0), 8))));
    write("reply", "check_record_too_long",
          seed(CHECK, A11).place(object).place(offsets).codes(record(rel(1, 8), RECV_AREA_SIZE, rel(0, 0), 8)));

    for (auto [name, returns] :
         {std::pair("call_int", "t.IT"), std::pair("call_string", "t.IS"), std::pair("call_long", "t.IL"),
          std::pair("call_double", "t.ID"), std::pair("call_float", "t.IF"), std::pair("call_boolean", "t.IB"),
          std::pair("call_void", "t.IV"), std::pair("call_binder", "t.IO")})
        write("reply", name, seed(CALL_ADD, A11).handle(1).named(returns).reply(Seed().u32(0).str16("value").u64(3)));
    write("reply", "call_short", seed(CALL_ADD, A11, DEBUG).handle(1).named("t.IL").reply(Seed().u32(0)));
    write("reply", "call_exception",
          seed(CALL_ADD, A11).handle(1).named("t.IT").reply(Seed().u32(uint32_t(-3)).str16("bad argument")));
    write(
        "reply", "call_objects",
        seed(CALL_ADD, A11)
            .handle(1)
            .named("t.IO")
            .reply(Seed().u32(0).object(BINDER_TYPE_HANDLE, 2).object(BINDER_TYPE_FD, 1).object(BINDER_TYPE_BINDER, 9),
                   {4, 28, 52})
            .named("t.IS"));
    write("reply", "call_no_aidl", seed(CALL_ADD, A11).handle(1).named("x.INone"));
    write("reply", "call_status", seed(CALL_ADD, NOT10).handle(1).named("t.IT").status(-2147483647 - 1));
    write("reply", "pid", seed(CALL_PID, A11).handle(1).reply(Seed().u32(1234)));
    write("reply", "pid_refused", seed(CALL_PID, A11).handle(1).reply(Seed().u32(uint32_t(-74))));
    write("reply", "interface", seed(CALL_NTF, A16).handle(1).named("android.os.IServiceManager"));
    write("reply", "interface_short", seed(CALL_NTF, A11).handle(1).reply(Seed().u32(40).u32(0)));

    // A hidl listing: names, their records and the vector record, each a block of its own,
    // delivered through the reply's buffer objects.
    std::string one = "one", two = "android.hidl.base@1.0::IBase/default";
    Seed hidl =
        seed(HW_LIST, A11, DEBUG)
            .place(Seed().text(one).u8(0))
            .place(Seed().text(two).u8(0))
            .place(
                Seed().u64(rel(1, 0)).u32(uint32_t(one.size())).u32(0).u64(rel(0, 0)).u32(uint32_t(two.size())).u32(0))
            .place(Seed().u64(rel(0, 0)).u32(2).u32(0));
    hidl.reply(Seed()
                   .u32(0)
                   .buffer(rel(0, 0), 16)
                   .buffer(rel(1, 0), 32, 0, 0, 1)
                   .buffer(rel(3, 0), one.size() + 1, 1, 0, 1)
                   .buffer(rel(2, 0), two.size() + 1, 1, 16, 1),
               {4, 44, 84, 124});
    write("reply", "hw_list", hidl);
    write("reply", "hw_list_error", seed(HW_LIST, A11).reply(Seed().u32(1)));
    write("reply", "hw_list_undelivered",
          seed(HW_LIST, A11).place(Seed().u64(0).u32(0).u32(0)).reply(Seed().u32(0).buffer(rel(0, 0), 16)));

    write("reply", "owner", seed(OWNER, A11).handle(1).reply(Seed().u32(1)));
    write("reply", "owner_not_found", seed(OWNER, A11).reply(Seed().u32(0)));
    write("reply", "owner_pid_short", seed(OWNER, A11).handle(1).reply(Seed()));
    write("reply", "dump", seed(DUMP, A11).handle(1).reply(Seed()));
    write("reply", "dump_refused", seed(DUMP, NOT10, DEBUG).handle(1).status(-1));
    write("reply", "methods", seed(METHODS, A11).handle(1).named("t.IT"));
    write("reply", "methods_one", seed(METHODS, A16, ONE_METHOD).handle(1).named("t.IS"));
    write("reply", "methods_too_many", seed(METHODS, A11, TOO_MANY_METHODS).handle(1).named("t.IL"));
    write("reply", "methods_bad_count", seed(METHODS, A11, BAD_COUNT).handle(1).named("t.IV"));
    write("reply", "methods_no_interface", seed(METHODS, A11).handle(1).status(-1));
    write("reply", "methods_path", seed(METHODS, A11).handle(1).named("/dev/null"));
    write("reply", "call_number", seed(CALL_NUMBER, A11).handle(1).named("t.IB").reply(Seed().u32(0).u32(1)));
    write("reply", "call_number_code", seed(CALL_NUMBER, A11).handle(1).named("t.IB").reply(Seed(), {}, 3));
    write("reply", "call_dump", seed(CALL_DUMP, A11).handle(1).reply(Seed().u32(0)));
    write("reply", "call_string_traced", seed(CALL_STRING, A11, TRACE).handle(1).named("t.IT").reply(Seed().u32(0)));
    write(
        "reply", "owner_all",
        seed(OWNER_ALL, A11).reply(twoNames).handle(1).reply(Seed().u32(1)).handle(2).reply(Seed().u32(uint32_t(-74))));
    write("reply", "owner_all_per_index",
          seed(OWNER_ALL, NOT10).named("a").reply(Seed().u32(0)).handle(1).reply(Seed().u32(7)));
    write("reply", "users", seed(USERS, A11).handle(3));
    write("reply", "dump_args", seed(DUMP_ARGS, NOT10).handle(1).reply(Seed().u32(0)));
    write("reply", "vnd_list",
          seed(VND_LIST, A11, COLOUR).reply(Seed().u32(0).u32(1).str16("vendor.x")).handle(1).named("t.IT"));
    write("reply", "dump_error", seed(DUMP, A11).handle(1).reply(Seed().u32(uint32_t(-3)).str16("why")));
}

void argsSeeds()
{
    // The method by number from 0: all, ins, other, none, one; the top bit traces.
    auto seed = [](uint8_t Method) { return Seed().u8(Method); };
    write("args", "all", seed(0).words({"7", "-9000000000", "1.5", "2.25", "true", "12", "x", "hello", "null"}));
    write("args", "all_traced", seed(0x80).words({"-1", "1", "-0.5", "1e300", "false", "-3", "\xc3\xa9", "", "x"}));
    write("args", "all_nulls", seed(0).words({"null", "null", "null", "null", "null", "null", "null", "null", "null"}));
    write("args", "ins", seed(1).words({"2147483647", "0", "inf", "nan", "1", "255", "65", "h\xc3\xa9llo"}));
    write("args", "ins_not_a_float", seed(1).words({"1", "2", "one", "4", "true", "1", "a", "s"}));
    write("args", "ins_not_an_integer", seed(0x81).words({"x", "2", "3", "4", "true", "1", "a", "s"}));
    write("args", "char_word", seed(0).words({"1", "2", "3", "4", "true", "5", "ab", "s", "o"}));
    write("args", "other", seed(2).words({"null", "[1]", "b", "3", "m"}));
    write("args", "none", seed(3));
    write("args", "one_emoji", seed(4).words({"\xf0\x9f\x98\x80 and \xed\xa0\x80"}));
    write("args", "too_many", seed(4).words({"a", "b"}));
}

void cliSeeds()
{
    // The first byte's bits, one per variable: ZQCOLOR, ZQDEBUG, NOT10, A11, A16, ZQARG, NUMMETH, HTML.
    auto seed = [](uint8_t Set) { return Seed().u8(Set); };
    write("cli", "help", seed(0).words({"vorn"}));
    write("cli", "help_other_name", seed(1).words({"1", "/system/bin/other", "-h"}));
    write("cli", "list", seed(0x08).words({"1", "vorn", "list"}));
    write("cli", "list_extra", seed(0).words({"vorn", "list", "x"}));
    write("cli", "vndbinder_list", seed(0x04).words({"1", "vorn", "vndbinder", "list"}));
    write("cli", "hwbinder_list", seed(0x02).words({"1", "vorn", "hw", "list"}));
    write("cli", "pid", seed(0).words({"vorn", "1"}));
    write("cli", "pid_huge", seed(0).words({"vorn", "99999999999"}));
    write("cli", "check", seed(0x10).words({"1", "vorn", "check", "svc"}));
    write("cli", "check_alone", seed(0).words({"vorn", "check"}));
    write("cli", "call_builtin", seed(0x03).words({"1", "1", "vorn", "call", "svc", "_PNG"}));
    write("cli", "call_short", seed(0).words({"vorn", "binder", "call", "svc"}));
    write("cli", "call_named", seed(0xe0).words({"1", "12", "1", "vorn", "call", "svc", "echo", "hi"}));
    write("cli", "methods", seed(0x40).words({"100001", "vorn", "methods", "svc"}));
    write("cli", "dump", seed(0).words({"vorn", "dump", "svc", "--help", "-a"}));
    write("cli", "owner_all", seed(0).words({"vorn", "owner", "all"}));
    write("cli", "users", seed(0x01).words({"1", "vorn", "users", "svc"}));
    write("cli", "unknown", seed(0).words({"vorn", "vndbinder", "nothing"}));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s SEEDS_DIR\n", argv[0]);
        return 2;
    }
    root = argv[1];
    replySeeds();
    argsSeeds();
    cliSeeds();
    return 0;
}
