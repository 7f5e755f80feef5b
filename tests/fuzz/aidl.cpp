// The AIDL parser on any file, and everything the tool then does with its record: the lookups
// by name and by number, the argument summary, and the interface's two listings.
#include "tessel.h"
#include "vorn.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string dir, path;
int file = -1;
vorn::Settings settings;

void lookUpEveryMethod(const aidl *Aidl)
{
    for (int n = 1; n <= Aidl->numMethods; ++n) {
        const char *name = getMethodNameFromAIDL(Aidl, n);
        // A name leads to the first method of that name, whatever its case.
        int found = getMethodNumFromAIDL(Aidl, name);
        if (found < 1 || found > n || strcasecmp(getMethodNameFromAIDL(Aidl, found), name) != 0)
            abort();
        getMethodReturnFromAIDL(Aidl, n);
        for (size_t parcel : {0, 64})
            free(formatMethodArgsFromAIDLAndParcel(Aidl, n, nullptr, parcel));
    }
    getMethodNumFromAIDL(Aidl, "");
    free(formatMethodArgsFromAIDLAndParcel(Aidl, Aidl->numMethods + 1, nullptr, 64));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    for (const char *name : {"HTML", "NUMMETH", "ZQDEBUG", "ZQAIDLDEBUG"})
        unsetenv(name);
    dir = std::filesystem::temp_directory_path() / ("vorn-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    settings.aidlDir = dir.c_str();
    path = dir + "/IF.aidl";
    file = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (file < 0) {
        perror(path.c_str());
        abort();
    }
    atexit([] { std::filesystem::remove_all(dir); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    if (ftruncate(file, 0) != 0 || pwrite(file, Data, Size, 0) != ssize_t(Size))
        abort();
    try {
        aidl *record = tessel(path.c_str());
        if (!record)
            return 0;
        lookUpEveryMethod(record);
        freeAIDL(record);
        if (auto described = vorn::describe(settings, "IF")) {
            for (bool html : {false, true}) {
                settings.html = html;
                vorn::printMethods(settings, "fuzz", *described);
            }
        }
    } catch (const TesselExit &) {
    } catch (const vorn::Quit &) {
    }
    return 0;
}
