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
    std::string out;
    for (; *Text; ++Text) {
        switch (*Text) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        default: out += *Text;
        }
    }
    return out;
}

struct ListingStyle {
    bool html;
    const char *nameOn, *nameOff, *argOn, *argOff, *lineEnd;
    std::string show(const char *Text) const { return html ? escapedForHtml(Text) : Text; }
};
// The text listing is coloured whatever the tool's colour switch says.
constexpr ListingStyle TextListing{false, "\033[34;1m", "\033[0;0m", " \033[33;1m", "\033[0;0m", ";"};
constexpr ListingStyle HtmlListing{true,   "<span class=\"funcName\">", "</span>", "<i>",
                                   "</i>", "</code></td><td></td></tr>"};

} // namespace

aidl *getAIDLForInterface(const char *Interface)
{
    if (!Interface)
        return nullptr;
    // A name given as a path is taken only when it is a regular file; tessel refuses any other
    // kind of file itself, on the descriptor it opens.
    struct stat info;
    if (stat(Interface, &info) == 0 && S_ISREG(info.st_mode))
        return tessel(Interface);

    const char *dir = getenv("ZQAIDL_DIR");
    const bool defaultDir = !dir;
    if (defaultDir)
        dir = "/data/local/tmp/aidl";
    if (access(dir, F_OK) != 0) {
        fprintf(stderr, "tessel error: Can't get AIDL directory: %s %s%s\n", dir, strerror(errno),
                defaultDir ? "\ntip: set ZQAIDL_DIR to point to where I can find AIDLs?" : "");
        return nullptr;
    }
    const char *dot = strrchr(Interface, '.');
    const char *simple = dot ? dot + 1 : Interface;
    char path[256];
    int length = snprintf(path, sizeof path, "%s/%s.aidl", dir, simple);
    if (length < 0 || size_t(length) >= sizeof path) {
        fprintf(stderr, "tessel error: AIDL path for %s in %s is too long (at most %zu characters)\n", simple, dir,
                sizeof path - 1);
        return nullptr;
    }
    if (access(path, F_OK) != 0) {
        fprintf(stderr,
                "tessel error: Can't get AIDL for %s - %s: %s (did you install the AIDL files "
                "correctly?)\n",
                simple, path, strerror(errno));
        return nullptr;
    }
    return tessel(path);
}

int getMethodNumFromAIDL(const aidl *Aidl, const char *MethName)
{
    for (int i = 0; Aidl && MethName && i < Aidl->numMethods; ++i)
        if (strcasecmp(Aidl->methods[i].name, MethName) == 0)
            return i + 1;
    return 0;
}

int getMethodNumFromInterface(const char *Interface, const char *MethName)
{
    aidl *record = getAIDLForInterface(Interface);
    if (!record) {
        fprintf(stderr, "%s: Unable to find AIDL interface definition\n", Interface ? Interface : "");
        throw TesselExit{5};
    }
    int meth = getMethodNumFromAIDL(record, MethName);
    freeAIDL(record);
    return meth;
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

void printMethodsOfAIDL(const char *Label, const aidl *Aidl)
{
    printf("%s: Interface %s with %d methods\n", Label, Aidl->name, Aidl->numMethods);
    const ListingStyle &style = getenv("HTML") ? HtmlListing : TextListing;
    if (style.html)
        printf("<table class=\"centered\">\n<caption><span class=\"bu\">Table xx-xxx:</span> The "
               "methods exported by <code>%s</code></caption>\n<tr><th>Method</th><th>Purpose</th>\n",
               style.show(Aidl->name).c_str());
    for (int n = 1; n <= Aidl->numMethods; ++n) {
        const aidlMethod &method = Aidl->methods[n - 1];
        if (style.html)
            printf("<tr><td><code>");
        else
            printf("/* %d */ ", n);
        bool hideReturns = style.html && strncmp(method.returns, "void", 4) == 0;
        printf("%s %s%s%s(", hideReturns ? "" : style.show(method.returns).c_str(), style.nameOn,
               style.show(method.name).c_str(), style.nameOff);
        for (int a = 0; a < method.numArgs; ++a)
            printf("%s%s%s%s%s", style.html ? "" : method.args[a].type, style.argOn,
                   style.show(method.args[a].name).c_str(), style.argOff, a + 1 < method.numArgs ? ", " : "");
        printf(")%s\n", style.lineEnd);
    }
    if (style.html)
        printf("</table>");
}

bool dumpMethodsFromAIDL(const char *AIDL)
{
    aidl *record = getAIDLForInterface(AIDL);
    if (!record)
        return false;
    printMethodsOfAIDL(AIDL, record);
    freeAIDL(record);
    return true;
}

char *formatMethodArgsFromAIDLAndParcel(const aidl *Aidl, int Meth, const unsigned char *, size_t ParcelSize)
{
    if (!Aidl)
        return strdup("?");
    const aidlMethod *method = methodAt(Aidl, Meth);
    if (!method)
        return strdup("??");
    if (method->numArgs == 0)
        return strdup("");
    if (ParcelSize < 20)
        return strdup("Parcel too small");
    // Whole names only: a name that would pass the buffer's end is left out with all after it.
    constexpr size_t capacity = 1024;
    auto *text = static_cast<char *>(calloc(capacity, 1));
    size_t used = 0;
    for (int a = 0; text && a < method->numArgs; ++a) {
        size_t length = strlen(method->args[a].name);
        if (used + length + 1 >= capacity)
            break;
        memcpy(text + used, method->args[a].name, length);
        text[used + length] = ',';
        used += length + 1;
    }
    return text;
}
