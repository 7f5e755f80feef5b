// The reply decoders, reached as a user reaches them: a fixed command line runs against the
// fake driver, whose every read answers with what the input says (input.h has the format).
#include "driver.h"
#include "input.h"

#include <fstream>

using namespace fuzz;

namespace {

// The command line, picked by the first byte.
const std::vector<std::string> COMMANDS[] = {
    {"vorn", "list"},
    {"vorn", "check", "x"},
    {"vorn", "call", "svc", "add", "1", "2"},
    {"vorn", "call", "svc", "_PID"},
    {"vorn", "call", "svc", "_NTF"},
    {"vorn", "h", "list"},
    {"vorn", "owner", "x"},
    {"vorn", "dump", "svc"},
    {"vorn", "methods", "svc"},
    {"vorn", "call", "svc", "1"},
    {"vorn", "call", "svc", "_DMP"},
    {"vorn", "owner", "all"},
    {"vorn", "users", "x"},
    {"vorn", "dump", "svc", "-a", "x"},
    {"vorn", "v", "list"},
    {"vorn", "call", "svc", "other", "text"},
    {"vorn", "h", "call", "a@1.0::IA", "_CHN"},
    {"vorn", "h", "call", "a@1.0::IA", "2", "s", "x"},
    {"vorn", "h", "call", "a@1.0::IA", "_HSH"},
    {"vorn", "h", "owner", "a@1.0::IA/b"},
    {"vorn", "h", "methods", "a@1.0::IA"},
    {"vorn", "h", "call", "a@1.0::IA", "_PID"},
};
// The switches, from the second byte: the release in its low three bits (a variable, the SDK
// 35 probe, or no hint at all, which means 10), debug in bit 3, colour in bit 4, a NUMMETH in
// bits 5 and 6, the ZQARG trace in bit 7.
const char *const RELEASES[] = {"A11", "NOT10", "A16", "A15R6", "sdk35", nullptr};
const char *const METHOD_COUNTS[] = {nullptr, "1", "100001", "x"};
const char *const SWITCHES[] = {"A11", "NOT10", "A16", "A15R6", "ZQDEBUG", "ZQCOLOR", "NUMMETH", "ZQARG"};

// One interface per decoded return type; an answer to the interface query picks one by name.
const char *const RETURNS[][2] = {{"IT", "int"},   {"IS", "String"},  {"IL", "long"}, {"ID", "double"},
                                  {"IF", "float"}, {"IB", "boolean"}, {"IV", "void"}, {"IO", "IBinder"}};

FakeDriver driver;
std::string aidlDir;
uint64_t area() { return uint64_t(uintptr_t(driver.area())); }

// Hands the records to the driver; what does not fit in the receive area is left out.
void script(Input &In)
{
    std::vector<uint64_t> blocks;
    while (!In.empty()) {
        uint8_t kind = In.number<uint8_t>() % KINDS;
        if (kind == REPLY) {
            uint32_t flags = In.number<uint32_t>(), code = In.number<uint32_t>();
            auto taken = In.take(In.number<uint16_t>());
            std::vector<uint8_t> data(taken.begin(), taken.end());
            relocate(data, blocks, area());
            std::vector<uint64_t> offsets(std::min<size_t>(In.number<uint8_t>(), In.left() / 8));
            for (uint64_t &o : offsets)
                o = In.number<uint64_t>();
            driver.answer(Answer{Bytes(std::move(data)), offsets, flags, code});
            continue;
        }
        auto taken = In.take(In.number<uint16_t>());
        std::vector<uint8_t> bytes(taken.begin(), taken.end());
        relocate(bytes, blocks, area());
        if (kind == CODES)
            driver.answer(codes(Bytes(std::move(bytes))));
        else if (auto at = driver.place(bytes))
            blocks.push_back(*at);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    clearSwitches();
    aidlDir = scratchDirectory();
    for (auto [name, returns] : RETURNS)
        std::ofstream(aidlDir + "/" + name + ".aidl") << "package t;\ninterface " << name << " {\n  " << returns
                                                      << " add(int a, in int b);\n  void other(String s);\n}\n";
    setenv("ZQAIDL_DIR", aidlDir.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    Input in(Data, Size);
    std::vector<std::string> words = COMMANDS[in.number<uint8_t>() % std::size(COMMANDS)];
    uint8_t set = in.number<uint8_t>();
    const char *release = RELEASES[(set & 7) % std::size(RELEASES)], *count = METHOD_COUNTS[set >> 5 & 3];
    if (release && strcmp(release, "sdk35") == 0)
        driver.props["ro.build.version.sdk"] = "35";
    else if (release)
        setenv(release, "1", 1);
    for (auto [bit, name] : {std::pair(0x08, "ZQDEBUG"), std::pair(0x10, "ZQCOLOR"), std::pair(0x80, "ZQARG")})
        if (set & bit)
            setenv(name, "1", 1);
    if (count)
        setenv("NUMMETH", count, 1);
    script(in);

    Argv argv(words);
    vorn::vornMain(argv.argc(), argv.argv());
    driver.reset(); // within the run, so that what the run allocated it also frees
    for (const char *name : SWITCHES)
        unsetenv(name);
    return 0;
}
