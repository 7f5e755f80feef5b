// The interface description: an interface's methods from its AIDL file (through tessel, the
// only room that uses it), the methods listing, and the encoding of typed arguments.
#include "vorn.h"

#include <dex.h>
#include <tessel.h>

#include <fcntl.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace vorn {
namespace {

// Text for an HTML page: a type such as List<String> must not read as a tag.
std::string escapedForHtml(std::string_view Text)
{
    std::string out;
    for (char c : Text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        default: out += c;
        }
    }
    return out;
}

struct ListingStyle {
    bool html;
    const char *nameOn, *nameOff, *argOn, *argOff, *lineEnd;
    std::string show(std::string_view Text) const { return html ? escapedForHtml(Text) : std::string(Text); }
};
// The text listing is coloured whatever the tool's colour switch says.
constexpr ListingStyle TextListing{false, "\033[34;1m", "\033[0;0m", " \033[33;1m", "\033[0;0m", ";"};
constexpr ListingStyle HtmlListing{true,   "<span class=\"funcName\">", "</span>", "<i>",
                                   "</i>", "</code></td><td></td></tr>"};

[[noreturn]] void notA(const char *What, const Argument &Arg, const char *Word)
{
    fprintf(stderr, "Expected argument for '%s' to be %s.. You supplied '%s'\n", Arg.name.c_str(), What, Word);
    endProcess(3);
}

[[noreturn]] void outOfRange(const Argument &Arg, const char *Word)
{
    fprintf(stderr, "Argument for '%s' is out of range for its type: '%s'\n", Arg.name.c_str(), Word);
    endProcess(3);
}

// The integer a word gives for an argument of a type whose values lie within Min and Max.
long long integerArgument(const char *Word, const Argument &Arg, const char *What, long long Min, long long Max)
{
    Scanned n = scanInteger(Word, Min, Max);
    if (n.kind == Scanned::NOT_A_NUMBER)
        notA(What, Arg, Word);
    if (n.kind == Scanned::OUT_OF_RANGE)
        outOfRange(Arg, Word);
    return n.value;
}

} // namespace

const Method *Interface::byName(std::string_view Name) const
{
    for (const Method &m : methods)
        if (m.name.size() == Name.size() && strncasecmp(m.name.c_str(), Name.data(), Name.size()) == 0)
            return &m;
    return nullptr;
}

const Method *Interface::byCode(uint32_t Code) const
{
    for (const Method &m : methods)
        if (m.code == Code)
            return &m;
    return nullptr;
}

std::optional<Interface> describe(const Settings &S, const char *Descriptor)
{
    // A name with a '/' or a control character is no interface name, and a service must not
    // make vorn read a file of its choosing outside the AIDL directory.
    if (Descriptor && (strchr(Descriptor, '/') || printable(Descriptor) != Descriptor)) {
        fprintf(stderr, "%s: not an interface name, so no AIDL file is looked for\n", printable(Descriptor).c_str());
        return std::nullopt;
    }
    std::unique_ptr<aidl, void (*)(aidl *)> parsed(nullptr, freeAIDL);
    std::string missing;
    try {
        parsed.reset(getAIDLForInterface(Descriptor, {S.aidlDir, S.debug, S.aidlText, S.methodCount, &missing}));
    } catch (const TesselExit &e) {
        endProcess(e.status);
    }
    if (!parsed) {
        // The user's AIDL file wins; without one, the framework's compiled interface will do.
        auto found = Descriptor ? dex::find(Descriptor, S.dexFiles,
                                            [&](const std::string &Why) {
                                                if (S.debug)
                                                    fprintf(stderr, "dex: %s\n", printable(Why).c_str());
                                            })
                                : std::nullopt;
        if (!found) {
            fputs(missing.c_str(), stderr);
            return std::nullopt;
        }
        if (S.debug)
            fprintf(stderr, "dex: %s from %s\n", Descriptor, printable(found->source).c_str());
        Interface described{Descriptor, {}};
        for (const dex::Method &m : found->methods) {
            Method method{m.name, m.code, {}, m.returns, true};
            for (const dex::Param &p : m.params)
                method.args.push_back({p.type, p.name});
            if (!m.typed) // a constant with no method: its types are unknown
                method.args.push_back({"?", "..."});
            described.methods.push_back(std::move(method));
        }
        return described;
    }
    Interface described{parsed->name, {}};
    for (int n = 1; n <= parsed->numMethods; ++n) {
        Method method{
            getMethodNameFromAIDL(parsed.get(), n), uint32_t(n), {}, getMethodReturnFromAIDL(parsed.get(), n)};
        const aidlArg *args = getMethodArgsFromAIDL(parsed.get(), n);
        for (int a = 0; a < getMethodNumArgsFromAIDL(parsed.get(), n); ++a)
            method.args.push_back({args[a].type, args[a].name});
        described.methods.push_back(std::move(method));
    }
    return described;
}

void printMethods(const Settings &S, const char *Label, const Interface &I)
{
    printf("%s: Interface %s with %d methods\n", Label, I.name.c_str(), int(I.methods.size()));
    const ListingStyle &style = S.html ? HtmlListing : TextListing;
    if (style.html)
        printf("<table class=\"centered\">\n<caption><span class=\"bu\">Table xx-xxx:</span> The "
               "methods exported by <code>%s</code></caption>\n<tr><th>Method</th><th>Purpose</th>\n",
               style.show(I.name).c_str());
    for (const Method &method : I.methods) {
        if (style.html)
            printf("<tr><td><code>");
        else
            printf("/* %u */ ", method.code);
        bool hideReturns = style.html && method.returns.starts_with("void");
        printf("%s %s%s%s(", hideReturns ? "" : style.show(method.returns).c_str(), style.nameOn,
               style.show(method.name).c_str(), style.nameOff);
        for (size_t a = 0; a < method.args.size(); ++a)
            printf("%s%s%s%s%s", style.html ? "" : method.args[a].type.c_str(), style.argOn,
                   style.show(method.args[a].name).c_str(), style.argOff, a + 1 < method.args.size() ? ", " : "");
        printf(")%s\n", style.lineEnd);
    }
    if (style.html)
        printf("</table>");
}

void encodeArguments(const Settings &S, Writer &Out, std::span<char *const> Words, const Method &M)
{
    for (size_t k = 0; M.strict && k < M.args.size(); ++k) {
        std::string_view type = M.args[k].type;
        bool known = false;
        for (std::string_view t : {"int", "long", "boolean", "byte", "char", "float", "double", "String"})
            known = known || type == t;
        if (!known) {
            fprintf(stderr, "%s: argument %d (%s) is of type %s, which cannot be given on the command line\n",
                    M.name.c_str(), int(k), M.args[k].name.c_str(), M.args[k].type.c_str());
            endProcess(3);
        }
    }
    if (M.args.size() != Words.size()) {
        fprintf(stderr, "Method expects %d args, you supplied %d\n", int(M.args.size()), int(Words.size()));
        endProcess(1);
    }
    bool trace = S.argTrace;
    for (size_t k = 0; k < M.args.size(); ++k) {
        const Argument &arg = M.args[k];
        const char *word = Words[k];
        std::string_view type = arg.type;
        if (type.starts_with("in ")) // an in argument is encoded as its type is
            type.remove_prefix(3);
        if (trace)
            printf("CLI arg %d: %s, AIDL arg %d: %s, %s - ", int(k), word, int(k), arg.type.c_str(), arg.name.c_str());
        if (strcmp(word, "null") == 0) {
            Out.u32(type == "String" ? 0xffffffff : 0); // a null String has the length -1
            if (trace)
                printf(" null\n");
        } else if (type == "float" || type == "double") {
            char *end;
            errno = 0;
            double value = strtod(word, &end);
            if (end == word)
                notA(type == "float" ? "a float" : "a double", arg, word);
            if (errno == ERANGE || (type == "float" && std::isfinite(value) && std::fabs(value) > FLT_MAX))
                outOfRange(arg, word);
            type == "float" ? Out.put(float(value)) : Out.put(value);
            if (trace)
                printf("Serialized %s: %f\n", type.data(), value);
        } else if (type == "String") {
            Out.string16(word);
            if (trace)
                printf("Serialized string: %s\n", word);
        } else if (type == "long") {
            long long value = integerArgument(word, arg, "a long", INT64_MIN, INT64_MAX);
            Out.put(int64_t(value));
            if (trace)
                printf("Serialized long: %lld\n", value);
        } else if (type == "boolean" || type == "int" || type == "byte" || type == "char") {
            const char *number = word;
            if (type == "boolean") {
                number = strcmp(word, "true") == 0 ? "1" : strcmp(word, "false") == 0 ? "0" : word;
                if (trace)
                    printf("Serialized bool: %s\n", number);
            }
            std::u16string units = UTF16(word);
            bool oneCharacter = units.size() == 1 || (units.size() == 2 && units[0] >= 0xd800 && units[0] < 0xdc00);
            int value;
            if (type == "char" && oneCharacter) { // a char is given as itself, one UTF-16 unit
                if (units.size() != 1)
                    outOfRange(arg, word);
                value = units[0];
            } else {
                auto [min, max] = type == "byte"   ? std::pair(-128, 127)
                                  : type == "char" ? std::pair(0, 65535)
                                                   : std::pair(INT32_MIN, INT32_MAX);
                value = int(integerArgument(number, arg, "an integer", min, max));
            }
            Out.u32(uint32_t(value));
            if (trace)
                printf("Serialized int: %d\n", value);
        } else {
            fprintf(stderr, "Arg %d:I don't know how to serialize type '%s' yet - assuming NULL\n", int(k),
                    arg.type.c_str());
            Out.u32(0);
        }
    }
}

} // namespace vorn

namespace vorn {
namespace {

// One line naming the word and its type, and status 3: nothing is sent.
[[noreturn]] void badWord(const char *Why, const char *Type, const char *Word)
{
    fprintf(stderr, "Argument '%s' %s %s\n", Word, Why, Type);
    endProcess(3);
}

// A whole word that is a whole number within Min and Max.
long long wholeNumber(const char *Type, const char *Word, long long Min, long long Max)
{
    char *end;
    errno = 0;
    long long value = strtoll(Word, &end, 10);
    if (end == Word || *end || isspace(uint8_t(*Word)))
        badWord("is not a whole number of type", Type, Word);
    if (errno == ERANGE || value < Min || value > Max)
        badWord("is out of range for type", Type, Word);
    return value;
}

// A file opened read-only without waiting for a writer, as a pipe's reader would; the receiver
// gets it blocking, as the platform's opens it.
int openForReading(const char *Path)
{
    int fd = open(Path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "Argument '%s' cannot be opened for type fd: %s\n", Path, strerror(errno));
        endProcess(3);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

double finiteNumber(const char *Type, const char *Word, double Max)
{
    char *end;
    double value = strtod(Word, &end);
    if (end == Word || *end || isspace(uint8_t(*Word)) || !std::isfinite(value))
        badWord("is not a finite number of type", Type, Word);
    if (std::fabs(value) > Max)
        badWord("is out of range for type", Type, Word);
    return value;
}

} // namespace

void encodeWords(Session &S, Writer &Out, std::span<char *const> Words)
{
    // hwbinder's scalars are binder's; its strings are hidl strings, and objects are not given.
    bool hidl = S.hidl();
    for (size_t k = 0; k < Words.size(); ++k) {
        std::string_view type = Words[k];
        bool alone = !hidl && (type == "s16null" || type == "null");
        bool known = alone || type == "i32" || type == "i64" || type == "f" || type == "d" || type == "b" ||
                     (hidl ? type == "s" : type == "s16" || type == "fd" || type == "nfd" || type == "handle");
        if (!known) {
            fprintf(stderr, "Unknown argument type '%s': %s\n", Words[k],
                    hidl ? "i32, i64, f, d, b or s" : "i32, i64, f, d, s16, s16null, b, null, fd, nfd or handle");
            endProcess(3);
        }
        if (!alone && k + 1 == Words.size()) {
            fprintf(stderr, "Argument type '%s' needs a value\n", Words[k]);
            endProcess(3);
        }
        const char *word = alone ? "" : Words[++k];
        if (S.settings.argTrace)
            printf("CLI arg %d: %s%s%s - ", int(alone ? k : k - 1), type.data(), alone ? "" : " ", word);
        if (type == "s16null") {
            Out.u32(0xffffffff);
            if (S.settings.argTrace)
                printf("Serialized null string\n");
        } else if (type == "null") {
            nullBinder(S, Out);
            if (S.settings.argTrace)
                printf("Serialized null binder\n");
        } else if (type == "i32" || type == "b") {
            bool flag = type == "b" && (strcmp(word, "true") == 0 || strcmp(word, "false") == 0);
            int32_t value =
                flag ? strcmp(word, "true") == 0 : int32_t(wholeNumber(type.data(), word, INT32_MIN, INT32_MAX));
            if (type == "b")
                value = value != 0;
            Out.put(value);
            if (S.settings.argTrace)
                printf(type == "b" ? "Serialized bool: %d\n" : "Serialized int: %d\n", value);
        } else if (type == "i64") {
            long long value = wholeNumber("i64", word, INT64_MIN, INT64_MAX);
            Out.put(int64_t(value));
            if (S.settings.argTrace)
                printf("Serialized long: %lld\n", value);
        } else if (type == "f" || type == "d") {
            double value = finiteNumber(type.data(), word, type == "f" ? FLT_MAX : DBL_MAX);
            type == "f" ? Out.put(float(value)) : Out.put(value);
            if (S.settings.argTrace)
                printf("Serialized %s: %f\n", type == "f" ? "float" : "double", value);
        } else if (type == "fd" || type == "nfd") {
            int fd = type == "nfd" ? int(wholeNumber("nfd", word, 0, INT32_MAX)) : openForReading(word);
            if (type == "nfd" && fcntl(fd, F_GETFD) < 0)
                badWord("is not an open descriptor for type", "nfd", word);
            if (type == "fd")
                Out.own(fd);
            descriptorObject(S, Out, fd);
            if (S.settings.argTrace)
                printf("Serialized descriptor: %d\n", fd);
        } else if (type == "handle") {
            std::optional<uint32_t> stability;
            int desc = getService(S, word, &stability);
            if (desc < 0) {
                if (desc != LOOKUP_NO_REPLY) // no reply has been reported already
                    fprintf(stderr, "Unable to find service '%s'\n", word);
                endProcess(1);
            }
            handleObject(S, Out, uint32_t(desc), stability);
            if (S.settings.argTrace)
                printf("Serialized handle: %d\n", desc);
        } else {
            hidl ? Out.hidlString(word) : Out.string16(word);
            if (S.settings.argTrace)
                printf("Serialized string: %s\n", word);
        }
    }
}

} // namespace vorn
