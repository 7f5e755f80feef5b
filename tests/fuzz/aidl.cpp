// The AIDL parser on any file, and everything the tool then does with the interface it
// describes: the lookups by name and by number, and the two listings.
#include "input.h"
#include "vorn.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string dir, path;
int file = -1;
vorn::Settings settings;

// A name leads to the first method of that name, whatever its case; a code to its method.
void lookUpEveryMethod(const vorn::Interface &I)
{
    for (const vorn::Method &m : I.methods) {
        const vorn::Method *found = I.byName(m.name);
        if (!found || found->code > m.code || strcasecmp(found->name.c_str(), m.name.c_str()) != 0 ||
            I.byCode(m.code) != &m)
            abort();
    }
    I.byName("");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::clearSwitches();
    dir = fuzz::scratchDirectory();
    settings.aidlDir = dir.c_str();
    path = dir + "/IF.aidl";
    file = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (file < 0) {
        perror(path.c_str());
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    if (ftruncate(file, 0) != 0 || pwrite(file, Data, Size, 0) != ssize_t(Size))
        abort();
    try {
        if (auto described = vorn::describe(settings, "IF")) {
            lookUpEveryMethod(*described);
            for (bool html : {false, true}) {
                settings.html = html;
                vorn::printMethods(settings, "fuzz", *described);
            }
        }
    } catch (const vorn::Quit &) {
    }
    return 0;
}
