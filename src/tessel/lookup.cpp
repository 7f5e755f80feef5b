// Finding an interface's AIDL file, method numbers and fields, and the methods listing.
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tessel.h"

namespace {

const aidlMethod *methodAt(const aidl *Aidl, int Meth)
{
    return Aidl && Meth >= 1 && Meth <= Aidl->numMethods ? &Aidl->methods[Meth - 1] : nullptr;
}

// Text for an HTML page: a type such as List<String> must not read as a tag.
std::string escapedForHtml(const char *Text)
{
    std::string Out;
    for (; *Text; ++Text) {
        switch (*Text) {
        case '<': Out += "&lt;"; break;
        case '>': Out += "&gt;"; break;
        case '&': Out += "&amp;"; break;
        default: Out += *Text;
        }
    }
    return Out;
}

struct listingStyle {
    bool Html;
    const char *NameOn, *NameOff, *ArgOn, *ArgOff, *LineEnd;
    std::string show(const char *Text) const { return Html ? escapedForHtml(Text) : Text; }
};
// The text listing is coloured whatever the tool's colour switch says.
constexpr listingStyle TextListing{false, "\033[34;1m", "\033[0;0m", " \033[33;1m", "\033[0;0m", ";"};
constexpr listingStyle HtmlListing{true,   "<span class=\"funcName\">", "</span>", "<i>",
                                   "</i>", "</code></td><td></td></tr>"};

} // namespace

aidl *getAIDLForInterface(const char *Interface)
{
    if (!Interface)
        return nullptr;
    // The name may come from a remote service: reading a FIFO or a device node would hang or
    // disturb the device, so only a regular file is taken as a path.
    struct stat Info;
    if (stat(Interface, &Info) == 0 && S_ISREG(Info.st_mode))
        return tessel(Interface);

    const char *Dir = getenv("ZQAIDL_DIR");
    const bool DefaultDir = !Dir;
    if (DefaultDir)
        Dir = "/data/local/tmp/aidl";
    if (access(Dir, F_OK) != 0) {
        fprintf(stderr, "tessel error: Can't get AIDL directory: %s %s%s\n", Dir, strerror(errno),
                DefaultDir ? "\ntip: set ZQAIDL_DIR to point to where I can find AIDLs?" : "");
        return nullptr;
    }
    const char *Dot = strrchr(Interface, '.');
    const char *Simple = Dot ? Dot + 1 : Interface;
    char Path[256];
    int Length = snprintf(Path, sizeof Path, "%s/%s.aidl", Dir, Simple);
    if (Length < 0 || size_t(Length) >= sizeof Path) {
        fprintf(stderr, "tessel error: AIDL path for %s in %s is too long (at most %zu characters)\n", Simple, Dir,
                sizeof Path - 1);
        return nullptr;
    }
    if (access(Path, F_OK) != 0) {
        fprintf(stderr,
                "tessel error: Can't get AIDL for %s - %s: %s (did you install the AIDL files "
                "correctly?)\n",
                Simple, Path, strerror(errno));
        return nullptr;
    }
    return tessel(Path);
}

int getMethodNumFromInterface(const char *Interface, const char *MethName)
{
    const aidl *Aidl = getAIDLForInterface(Interface);
    if (!Aidl) {
        fprintf(stderr, "%s: Unable to find AIDL interface definition\n", Interface ? Interface : "");
        exit(5);
    }
    for (int I = 0; MethName && I < Aidl->numMethods; ++I)
        if (strcasecmp(Aidl->methods[I].name, MethName) == 0)
            return I + 1;
    return 0;
}

const char *getMethodReturnFromAIDL(const aidl *Aidl, int Meth)
{
    const aidlMethod *Method = methodAt(Aidl, Meth);
    return Method ? Method->returns : nullptr;
}

int getMethodNumArgsFromAIDL(const aidl *Aidl, int Meth)
{
    const aidlMethod *Method = methodAt(Aidl, Meth);
    return Method ? Method->numArgs : 0;
}

const aidlArg *getMethodArgsFromAIDL(const aidl *Aidl, int Meth)
{
    const aidlMethod *Method = methodAt(Aidl, Meth);
    return Method ? Method->args : nullptr;
}

const char *getMethodNameFromAIDL(const aidl *Aidl, int Meth)
{
    const aidlMethod *Method = methodAt(Aidl, Meth);
    return Method ? Method->name : nullptr;
}

void printMethodsOfAIDL(const char *Label, const aidl *Aidl)
{
    printf("%s: Interface %s with %d methods\n", Label, Aidl->name, Aidl->numMethods);
    const listingStyle &Style = getenv("HTML") ? HtmlListing : TextListing;
    if (Style.Html)
        printf("<table class=\"centered\">\n<caption><span class=\"bu\">Table xx-xxx:</span> The "
               "methods exported by <code>%s</code></caption>\n<tr><th>Method</th><th>Purpose</th>\n",
               Style.show(Aidl->name).c_str());
    for (int N = 1; N <= Aidl->numMethods; ++N) {
        const aidlMethod &Method = Aidl->methods[N - 1];
        if (Style.Html)
            printf("<tr><td><code>");
        else
            printf("/* %d */ ", N);
        bool HideReturns = Style.Html && strncmp(Method.returns, "void", 4) == 0;
        printf("%s %s%s%s(", HideReturns ? "" : Style.show(Method.returns).c_str(), Style.NameOn,
               Style.show(Method.name).c_str(), Style.NameOff);
        for (int A = 0; A < Method.numArgs; ++A)
            printf("%s%s%s%s%s", Style.Html ? "" : Method.args[A].type, Style.ArgOn,
                   Style.show(Method.args[A].name).c_str(), Style.ArgOff, A + 1 < Method.numArgs ? ", " : "");
        printf(")%s\n", Style.LineEnd);
    }
    if (Style.Html)
        printf("</table>");
}

void dumpMethodsFromAIDL(const char *AIDL)
{
    if (const aidl *Aidl = getAIDLForInterface(AIDL))
        printMethodsOfAIDL(AIDL, Aidl);
}

char *formatMethodArgsFromAIDLAndParcel(const aidl *Aidl, int Meth, const unsigned char *, size_t ParcelSize)
{
    if (!Aidl)
        return strdup("?");
    const aidlMethod *Method = methodAt(Aidl, Meth);
    if (!Method)
        return strdup("??");
    if (Method->numArgs == 0)
        return strdup("");
    if (ParcelSize < 20)
        return strdup("Parcel too small");
    // Whole names only: a name that would pass the buffer's end is left out with all after it.
    constexpr size_t Capacity = 1024;
    auto *Text = static_cast<char *>(calloc(Capacity, 1));
    size_t Used = 0;
    for (int A = 0; Text && A < Method->numArgs; ++A) {
        size_t Length = strlen(Method->args[A].name);
        if (Used + Length + 1 >= Capacity)
            break;
        memcpy(Text + Used, Method->args[A].name, Length);
        Text[Used + Length] = ',';
        Used += Length + 1;
    }
    return Text;
}
