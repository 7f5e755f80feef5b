// Finding an interface's AIDL file, and its methods' numbers and fields.
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tessel.h"

namespace {

// Why no file was found: to the caller's string when it asked for one, else to stderr.
__attribute__((format(printf, 2, 3))) void missing(const TesselOptions &Options, const char *Format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, Format);
    vsnprintf(line, sizeof line, Format, args);
    va_end(args);
    if (Options.missing)
        *Options.missing = line;
    else
        fputs(line, stderr);
}

const aidlMethod *methodAt(const aidl *Aidl, int Meth)
{
    return Aidl && Meth >= 1 && Meth <= Aidl->numMethods ? &Aidl->methods[Meth - 1] : nullptr;
}

} // namespace

aidl *getAIDLForInterface(const char *Interface, const TesselOptions &Options)
{
    if (!Interface)
        return nullptr;
    // A name given as a path is taken only when it is a regular file; tessel refuses any other
    // kind of file itself, on the descriptor it opens.
    struct stat info;
    if (stat(Interface, &info) == 0 && S_ISREG(info.st_mode))
        return tessel(Interface, Options);

    const bool defaultDir = !Options.dir;
    const char *dir = defaultDir ? "/data/local/tmp/aidl" : Options.dir;
    if (access(dir, F_OK) != 0) {
        missing(Options, "tessel error: Can't get AIDL directory: %s %s%s\n", dir, strerror(errno),
                defaultDir ? "\ntip: set ZQAIDL_DIR to point to where I can find AIDLs?" : "");
        return nullptr;
    }
    const char *dot = strrchr(Interface, '.');
    const char *simple = dot ? dot + 1 : Interface;
    char path[256];
    int length = snprintf(path, sizeof path, "%s/%s.aidl", dir, simple);
    if (length < 0 || size_t(length) >= sizeof path) {
        missing(Options, "tessel error: AIDL path for %s in %s is too long (at most %zu characters)\n", simple, dir,
                sizeof path - 1);
        return nullptr;
    }
    if (access(path, F_OK) != 0) {
        missing(Options,
                "tessel error: Can't get AIDL for %s - %s: %s (did you install the AIDL files "
                "correctly?)\n",
                simple, path, strerror(errno));
        return nullptr;
    }
    return tessel(path, Options);
}

const char *getMethodReturnFromAIDL(const aidl *Aidl, int Meth)
{
    const aidlMethod *method = methodAt(Aidl, Meth);
    return method ? method->returns : nullptr;
}

int getMethodNumArgsFromAIDL(const aidl *Aidl, int Meth)
{
    const aidlMethod *method = methodAt(Aidl, Meth);
    return method ? method->numArgs : 0;
}

const aidlArg *getMethodArgsFromAIDL(const aidl *Aidl, int Meth)
{
    const aidlMethod *method = methodAt(Aidl, Meth);
    return method ? method->args : nullptr;
}

const char *getMethodNameFromAIDL(const aidl *Aidl, int Meth)
{
    const aidlMethod *method = methodAt(Aidl, Meth);
    return method ? method->name : nullptr;
}
