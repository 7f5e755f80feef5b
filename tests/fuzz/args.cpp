// The argument encoder: words from the input against a method of every argument type. The
// first byte picks the method (low bits) and the ZQARG trace (top bit); the rest are the words,
// NUL-separated.
#include "input.h"
#include "vorn.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace fuzz;

namespace {

const char *const INTERFACE = "package f;\ninterface IA {\n"
                              "  void all(int i, long l, float f, double d, boolean z, byte y, char c, String s, "
                              "IBinder o);\n"
                              "  void ins(in int i, in long l, in float f, in double d, in boolean z, in byte y, "
                              "in char c, in String s);\n"
                              "  void other(in List<String> list, out int[] a, inout Bundle b, in FileDescriptor fd, "
                              "in Map<String, int> m);\n"
                              "  void none();\n"
                              "  int one(in String s);\n"
                              "}\n";
aidl *parsed;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    unsetenv("ZQARG");
    unsetenv("ZQAIDLDEBUG");
    std::string path = std::filesystem::temp_directory_path() / ("vorn-fuzz-IA-" + std::to_string(getpid()) + ".aidl");
    std::ofstream(path) << INTERFACE;
    parsed = tessel(path.c_str());
    std::filesystem::remove(path);
    if (!parsed || parsed->numMethods != 5) {
        fprintf(stderr, "the interface of the argument target did not parse\n");
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    Input in(Data, Size);
    uint8_t select = in.number<uint8_t>();
    int meth = (select & 0x7f) % parsed->numMethods + 1;
    std::vector<std::string> words = in.words();
    Argv argv(words);
    if (select & 0x80)
        setenv("ZQARG", "1", 1);
    try {
        vorn::Parcel bytes =
            vorn::serializeArgumentsFromCommandLine(std::span(argv.argv(), words.size()), parsed, meth);
        // Every value takes whole 4-byte words, at least one each.
        if (bytes.size() % 4 != 0 || bytes.size() < 4 * words.size())
            abort();
    } catch (const vorn::Quit &) {
    }
    unsetenv("ZQARG");
    return 0;
}
