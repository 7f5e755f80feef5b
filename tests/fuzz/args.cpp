// The argument encoders: words from the input against a method of every argument type, or as
// typed words. The first byte picks the method or the typed words (low bits) and the ZQARG
// trace (top bit); the rest are the words, NUL-separated.
#include "input.h"
#include "vorn.h"

#include <cstdio>
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
std::string dir;
vorn::Settings settings;
// No device behind it: a handle word's lookup fails as the driver would refuse it.
vorn::Session session{settings, -1, {}, vorn::NS_BINDER, 12, false};
std::optional<vorn::Interface> parsed;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    clearSwitches();
    dir = scratchDirectory();
    std::ofstream(dir + "/IA.aidl") << INTERFACE;
    settings.aidlDir = dir.c_str();
    parsed = vorn::describe(settings, "f.IA");
    settings.aidlDir = nullptr;
    if (!parsed || parsed->methods.size() != 5) {
        fprintf(stderr, "the interface of the argument target did not parse\n");
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    Input in(Data, Size);
    uint8_t select = in.number<uint8_t>();
    size_t choice = (select & 0x7f) % (parsed->methods.size() + 1); // the last: the typed words
    std::vector<std::string> words = in.words();
    Argv argv(words);
    settings.argTrace = select & 0x80;
    try {
        vorn::Writer bytes;
        std::span<char *const> given(argv.argv(), words.size());
        if (choice == parsed->methods.size())
            vorn::encodeWords(session, bytes, given);
        else
            vorn::encodeArguments(settings, bytes, given, parsed->methods[choice]);
        // Every value takes whole 4-byte words: at least one for each argument, or each pair of
        // typed words.
        size_t least = choice == parsed->methods.size() ? 2 * words.size() : 4 * words.size();
        if (bytes.data().size() % 4 != 0 || bytes.data().size() < least)
            abort();
    } catch (const vorn::Quit &) {
    }
    return 0;
}
