// The AIDL file parser: one pass of cleaning, then a scan of the header and of the interface
// body. Every scan works on string views bounded by the text's length.
#include "tessel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace {

using std::string_view;
constexpr size_t None = string_view::npos;
constexpr string_view Whitespace = " \t\n\v\f\r";
// Brackets that group the text of a type: commas and blanks inside them belong to the type.
constexpr string_view TypeOpens = "<([", TypeCloses = ">)]";

// The module's own character classes, the same whatever the locale says.
namespace ascii {
int isspace(int C) { return Whitespace.find(char(C)) != None; }
int isalpha(int C) { return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z'); }
} // namespace ascii

bool isQuote(char C) { return C == '"' || C == '\''; }

// Index just past the string or character literal whose quote is at I. A literal that is not
// closed ends with its line, so one stray quote cannot swallow the rest of the file.
size_t literalEnd(string_view T, size_t I)
{
    size_t j = I + 1;
    for (; j < T.size() && T[j] != '\n'; ++j) {
        if (T[j] == T[I])
            return j + 1;
        if (T[j] == '\\' && j + 1 < T.size() && T[j + 1] != '\n')
            ++j;
    }
    return j;
}

// Position of the first character of Stops met outside any group opened by a character of
// Opens, from From on, passing over literals; T.size() when there is none.
size_t findTopLevel(string_view T, size_t From, string_view Stops, string_view Opens, string_view Closes)
{
    int depth = 0;
    for (size_t i = From; i < T.size(); ++i) {
        if (isQuote(T[i])) {
            i = literalEnd(T, i) - 1;
            continue;
        }
        if (depth == 0 && Stops.find(T[i]) != None)
            return i;
        if (Opens.find(T[i]) != None)
            ++depth;
        else if (depth > 0 && Closes.find(T[i]) != None)
            --depth;
    }
    return T.size();
}

string_view trimmed(string_view T)
{
    while (!T.empty() && ascii::isspace(T.front()))
        T.remove_prefix(1);
    while (!T.empty() && ascii::isspace(T.back()))
        T.remove_suffix(1);
    return T;
}

bool startsWithWord(string_view T, string_view Word)
{
    return T.starts_with(Word) && (T.size() == Word.size() || ascii::isspace(T[Word.size()]));
}

bool containsWord(string_view T, string_view Word)
{
    for (size_t at = T.find(Word); at != None; at = T.find(Word, at + 1))
        if ((at == 0 || ascii::isspace(T[at - 1])) && startsWithWord(T.substr(at), Word))
            return true;
    return false;
}

// Copies T into a fixed field, each run of whitespace as one blank, cut at the field's size.
template <size_t Cap> void setField(char (&Field)[Cap], string_view T)
{
    size_t n = 0;
    for (size_t i = 0; i < T.size() && n + 1 < Cap; ++i) {
        bool space = ascii::isspace(T[i]);
        if (!space || i == 0 || !ascii::isspace(T[i - 1]))
            Field[n++] = space ? ' ' : T[i];
    }
    Field[n] = 0;
}

// Splits "type name" at its last whitespace outside brackets, so that "Map<String, String> m"
// keeps its type whole. False when there is no such whitespace.
bool splitTypeAndName(string_view T, string_view &Type, string_view &Name)
{
    T = trimmed(T);
    size_t last = None;
    for (size_t i = findTopLevel(T, 0, Whitespace, TypeOpens, TypeCloses); i < T.size();
         i = findTopLevel(T, i + 1, Whitespace, TypeOpens, TypeCloses))
        last = i;
    if (last == None)
        return false;
    Type = trimmed(T.substr(0, last));
    Name = T.substr(last + 1);
    return true;
}

// Zeroed room for Head bytes and then Count blocks of Size bytes; null when that cannot be had,
// a total that does not fit in size_t (as on a 32-bit build) included.
void *tryAllocate(size_t Count, size_t Size, size_t Head = 0)
{
    size_t total;
    if (__builtin_mul_overflow(Count, Size, &total) || __builtin_add_overflow(total, Head, &total))
        return nullptr;
    return calloc(total, 1);
}

[[noreturn]] void outOfMemory()
{
    fprintf(stderr, "tessel: out of memory\n");
    throw TesselExit{1};
}

void *allocate(size_t Count, size_t Size, size_t Head = 0)
{
    void *block = tryAllocate(Count, Size, Head);
    if (!block)
        outOfMemory();
    return block;
}

// A private NUL-terminated copy of the file; a NUL byte in the file ends the text there. The
// name may come from a remote service: the file is opened without waiting and refused unless
// the opened descriptor is a regular file, so a FIFO or a device node is never read.
char *readText(const char *FileName, size_t &Size, bool Debug)
{
    int fd = open(FileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (Debug)
            fprintf(stderr, "%s: %s\n", FileName, strerror(errno));
        return nullptr;
    }
    struct stat info;
    if (fstat(fd, &info) != 0) {
        if (Debug)
            fprintf(stderr, "stat(%s): %s\n", FileName, strerror(errno));
        close(fd);
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        fprintf(stderr, "%s: not a regular file\n", FileName);
        close(fd);
        return nullptr;
    }
    Size = std::in_range<size_t>(info.st_size) ? size_t(info.st_size) : SIZE_MAX;
    if (Size == 0) {
        fprintf(stderr, "%s: empty\n", FileName);
        close(fd);
        return nullptr;
    }
    auto *text = static_cast<char *>(tryAllocate(Size, 1, 1));
    if (!text) {
        close(fd);
        outOfMemory();
    }
    // Read, not mapped: a file cut short while it is read ends the text where it ends.
    size_t got = 0;
    while (got < Size) {
        ssize_t n = read(fd, text + got, Size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fprintf(stderr, "read(%s): %s\n", FileName, strerror(errno));
            free(text);
            close(fd);
            return nullptr;
        }
        if (n == 0)
            break;
        got += size_t(n);
    }
    close(fd);
    size_t length = strnlen(text, got);
    memset(text + length, 0, Size + 1 - length);
    return text;
}

// One entry of an interface body: a declaration up to its ';' (or the body's end), or a nested
// type, which runs to its matching closing brace and takes no method number.
struct Declaration {
    string_view text;
    bool terminated;
    bool nested;
};

Declaration cutDeclaration(string_view &Body)
{
    size_t end = findTopLevel(Body, 0, ";{", "", "");
    Declaration d{trimmed(Body.substr(0, end)), end < Body.size() && Body[end] == ';', false};
    if (end < Body.size() && Body[end] == '{') {
        end = findTopLevel(Body, end + 1, "}", "{", "}");
        d.nested = true;
    }
    Body.remove_prefix(std::min(end + 1, Body.size()));
    return d;
}

// Fills Method from a declaration without its ';'. False, after the message, when an argument
// has no name; Method then owns nothing.
bool parseMethod(string_view Decl, aidlMethod &Method, int Index, const char *FileName)
{
    Decl = trimmed(Decl);
    if (startsWithWord(Decl, "oneway"))
        Decl = trimmed(Decl.substr(6));
    size_t open = findTopLevel(Decl, 0, "(", "<[", ">]");
    // A lone word is taken as the name, so that the methods after it keep their numbers.
    string_view returns, name = trimmed(Decl.substr(0, open));
    splitTypeAndName(name, returns, name);
    setField(Method.returns, returns);
    setField(Method.name, name);
    if (open == Decl.size())
        return true;

    string_view params = Decl.substr(open + 1);
    params = params.substr(0, findTopLevel(params, 0, ")", TypeOpens, TypeCloses));
    if (trimmed(params).empty())
        return true;
    int count = 1;
    for (size_t i = 0; (i = findTopLevel(params, i, ",", TypeOpens, TypeCloses)) < params.size(); ++i)
        ++count;
    auto *args = static_cast<aidlArg *>(allocate(size_t(count), sizeof(aidlArg)));
    size_t start = 0;
    for (int a = 0; a < count; ++a) {
        size_t comma = findTopLevel(params, start, ",", TypeOpens, TypeCloses);
        string_view piece = trimmed(params.substr(start, comma - start)), type, argName;
        if (!splitTypeAndName(piece, type, argName)) {
            fprintf(stderr, "MALFORMATION in %.*s: method %d in %s\n", int(piece.size()), piece.data(), Index,
                    FileName);
            free(args);
            return false;
        }
        setField(args[a].type, type);
        setField(args[a].name, argName);
        start = comma + 1;
    }
    Method.numArgs = count;
    Method.args = args;
    return true;
}

// NUMMETH above this is refused: the table it asks for could not be allocated (or its size
// would wrap on a 32-bit build).
constexpr unsigned long long MaxMethods = 100000;

// The capacity of the method table: the body's top-level ';'s, or NUMMETH when it is valid.
int tableCapacity(string_view Body, const char *Setting)
{
    size_t counted = 0;
    for (string_view rest = Body; !rest.empty();)
        counted += cutDeclaration(rest).terminated;
    const int capacity = int(std::min<size_t>(counted, INT_MAX));
    if (!Setting)
        return capacity;
    unsigned long long value = 0;
    const char *end = Setting + strlen(Setting);
    auto read = std::from_chars(Setting, end, value);
    if (read.ptr == end &&
        (read.ec == std::errc::result_out_of_range || (read.ec == std::errc() && value > MaxMethods))) {
        fprintf(stderr, "NUMMETH: \"%s\" is more than %llu, using %d methods\n", Setting, MaxMethods, capacity);
        return capacity;
    }
    if (read.ec != std::errc() || read.ptr != end || value == 0) {
        fprintf(stderr, "NUMMETH: \"%s\" is not a positive number, using %d methods\n", Setting, capacity);
        return capacity;
    }
    printf("Overriding to %llu methods\n", value);
    return int(value);
}

// Refuses a declaration carrying an explicit method number ("= N" after its parameters): a
// method's number here is its position, which such a file does not follow.
bool isExplicitlyNumbered(Declaration D, const char *BodyEnd, const char *FileName)
{
    size_t paren = D.text.rfind(')'), equals = D.text.rfind('=');
    if (equals == None || (paren != None && equals < paren))
        return false;
    string_view id = trimmed(D.text.substr(equals + 1));
    int number;
    if (std::from_chars(id.data(), id.data() + id.size(), number).ec != std::errc())
        fprintf(stderr, "MALFORMATION: method number specified for %.*s, but unable to parse it\n",
                int(BodyEnd - D.text.data()), D.text.data());
    else
        fprintf(stderr, "%s: explicitly numbered methods are not supported\n", FileName);
    return true;
}

aidl *parseBody(string_view Body, const char *Package, const char *Name, const char *FileName,
                const TesselOptions &Options)
{
    const int capacity = tableCapacity(Body, Options.methodCount);
    std::unique_ptr<aidl, void (*)(aidl *)> record(
        static_cast<aidl *>(allocate(size_t(capacity), sizeof(aidlMethod), sizeof(aidl))), freeAIDL);
    aidl &table = *record;
    table.methods = reinterpret_cast<aidlMethod *>(record.get() + 1);
    snprintf(table.name, sizeof table.name, "%s%s%s", Package ? Package : "", Package ? "." : "", Name);
    int leftOut = 0;
    for (string_view rest = Body; !rest.empty();) {
        Declaration d = cutDeclaration(rest);
        if (d.nested || d.text.empty() || startsWithWord(d.text, "const"))
            continue;
        if (isExplicitlyNumbered(d, Body.data() + Body.size(), FileName))
            return nullptr;
        if (table.numMethods == capacity) {
            ++leftOut;
            continue;
        }
        if (!parseMethod(d.text, table.methods[table.numMethods], table.numMethods, FileName))
            return nullptr;
        ++table.numMethods;
    }
    if (leftOut)
        fprintf(stderr, "%s: the method table holds %d methods, %d more declarations left out\n", FileName, capacity,
                leftOut);
    return record.release();
}

// Parses a cleaned text, which is cut in place by the marker extraction.
aidl *parseText(char *Buf, const char *FileName, const TesselOptions &Options)
{
    const string_view t(Buf);
    // Package and imports lie before the first brace: a later "package " or "import " is not
    // a statement.
    const size_t brace = findTopLevel(t, 0, "{", "", "");
    size_t pos = 0;
    const char *package = getArgOfMarker(Buf, "package ", ';', brace);
    if (package)
        pos = size_t(package - Buf) + strlen(package) + 1;
    while (const char *import = getArgOfMarker(Buf + pos, "import ", ';', brace - pos))
        pos = size_t(import - Buf) + strlen(import) + 1;

    // Only the top-level declaration counts: an interface nested in a parcelable is no interface
    // of this file.
    const char *name = getArgOfMarker(Buf + pos, "interface ", '{', brace + 1 - pos);
    if (!name) {
        string_view head = t.substr(pos, brace - pos);
        bool otherType = containsWord(head, "parcelable") || containsWord(head, "enum") || containsWord(head, "union");
        if (!otherType && t.find("interface ", pos) != None)
            fprintf(stderr, "%s: No interface in file - odd\n", FileName);
        return nullptr;
    }
    size_t bodyStart = size_t(name - Buf) + strlen(name) + 1;
    size_t bodyEnd = findTopLevel(t, bodyStart, "}", "{", "}");
    if (bodyEnd == t.size()) {
        fprintf(stderr, "%s - ***MALFORMED!*** %s\n", FileName, Buf + bodyStart);
        return nullptr;
    }
    return parseBody(t.substr(bodyStart, bodyEnd - bodyStart), package, name, FileName, Options);
}

} // namespace

void decommentize(char *Buf, size_t Size, int RemoveNewLines)
{
    enum { Code, LineComment, BlockComment } state = Code;
    bool annotation = false;
    int depth = 0;
    const string_view t(Buf, Size);
    for (size_t i = 0; i < Size; ++i) {
        char next = i + 1 < Size ? Buf[i + 1] : 0;
        if (state == Code) {
            if (Buf[i] == '/' && next == '/') {
                state = LineComment;
            } else if (Buf[i] == '/' && next == '*') {
                state = BlockComment;
            } else if (isQuote(Buf[i])) {
                // A literal is text, never structure: kept in code, blanked whole in an annotation.
                size_t end = literalEnd(t, i);
                if (annotation)
                    memset(Buf + i, ' ', end - i);
                i = end - 1;
                continue;
            } else if (!annotation && Buf[i] == '@') {
                annotation = true;
            }
        }
        if (annotation) {
            // Any whitespace ends it, so an annotation on its own line never eats the next line.
            if (depth == 0 && ascii::isspace(Buf[i])) {
                annotation = false;
            } else {
                depth = std::max(0, depth + (Buf[i] == '(') - (Buf[i] == ')'));
                Buf[i] = ' ';
            }
        }
        if (state == LineComment) {
            if (Buf[i] == '\n')
                state = Code;
            else
                Buf[i] = ' ';
        } else if (state == BlockComment) {
            if (Buf[i] == '*' && next == '/') {
                Buf[i++] = ' ';
                state = Code;
            }
            Buf[i] = ' ';
        }
        if (RemoveNewLines && Buf[i] == '\n')
            Buf[i] = ' ';
    }
}

char *getArgOfMarker(char *File, const char *Marker, char Delim, size_t Size)
{
    const string_view t(File, strnlen(File, Size));
    size_t at = t.find(Marker);
    if (at == None || (at > 0 && t[at - 1] != '\n' && t[at - 1] != ' '))
        return nullptr;
    size_t start = at + strlen(Marker), end = start;
    while (end < t.size() && t[end] != Delim && t[end] != '\n')
        ++end;
    if (end == t.size())
        return nullptr;
    while (start < end && !ascii::isalpha(t[start]))
        ++start;
    File[end] = 0;
    return File + start;
}

void freeAIDL(aidl *Aidl)
{
    if (!Aidl)
        return;
    for (int i = 0; i < Aidl->numMethods; ++i)
        free(Aidl->methods[i].args);
    free(Aidl);
}

aidl *tessel(const char *FileName, const TesselOptions &Options)
{
    size_t size = 0;
    std::unique_ptr<char, decltype(&free)> text(readText(FileName, size, Options.debug), free);
    if (!text)
        return nullptr;
    decommentize(text.get(), size, 1);
    if (Options.showText) {
        printf("%s", text.get());
        throw TesselExit{0};
    }
    return parseText(text.get(), FileName, Options);
}
