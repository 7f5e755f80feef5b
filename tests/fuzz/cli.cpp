// The command line and the environment as a user could give them, against a driver whose
// script is empty. The first byte sets the variables below, one bit each; each set one takes
// its value from the next NUL-separated word, and the words left are the argument vector,
// the program's name included.
#include "driver.h"
#include "input.h"

using namespace fuzz;

namespace {
const char *const VARIABLES[] = {"ZQCOLOR", "ZQDEBUG", "NOT10", "A11", "A16", "ZQARG", "NUMMETH", "HTML"};
FakeDriver driver;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    clearSwitches();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    Input in(Data, Size);
    uint8_t set = in.number<uint8_t>();
    std::vector<std::string> words = in.words();
    size_t used = 0;
    for (int v = 0; v < 8; ++v)
        if (set >> v & 1)
            setenv(VARIABLES[v], used < words.size() ? words[used++].c_str() : "1", 1);
    words.erase(words.begin(), words.begin() + long(used));

    Argv argv(words);
    vorn::vornMain(argv.argc(), argv.argv());
    driver.reset();
    for (const char *name : VARIABLES)
        unsetenv(name);
    return 0;
}
