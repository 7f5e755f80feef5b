// The AIDL file parser: one pass of cleaning, then a scan of the header and of the interface
// body. Every scan works on string views bounded by the text's length.
#include "tessel.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

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
    size_t J = I + 1;
    for (; J < T.size() && T[J] != '\n'; ++J) {
        if (T[J] == T[I])
            return J + 1;
        if (T[J] == '\\' && J + 1 < T.size() && T[J + 1] != '\n')
            ++J;
    }
    return J;
}

// Position of the first character of Stops met outside any group opened by a character of
// Opens, from From on, passing over literals; T.size() when there is none.
size_t findTopLevel(string_view T, size_t From, string_view Stops, string_view Opens, string_view Closes)
{
    int Depth = 0;
    for (size_t I = From; I < T.size(); ++I) {
        if (isQuote(T[I])) {
            I = literalEnd(T, I) - 1;
            continue;
        }
        if (Depth == 0 && Stops.find(T[I]) != None)
            return I;
        if (Opens.find(T[I]) != None)
            ++Depth;
        else if (Depth > 0 && Closes.find(T[I]) != None)
            --Depth;
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
    for (size_t At = T.find(Word); At != None; At = T.find(Word, At + 1))
        if ((At == 0 || ascii::isspace(T[At - 1])) && startsWithWord(T.substr(At), Word))
            return true;
    return false;
}

// Copies T into a fixed field, each run of whitespace as one blank, cut at the field's size.
template <size_t Cap> void setField(char (&Field)[Cap], string_view T)
{
    size_t N = 0;
    for (size_t I = 0; I < T.size() && N + 1 < Cap; ++I) {
        bool Space = ascii::isspace(T[I]);
        if (!Space || I == 0 || !ascii::isspace(T[I - 1]))
            Field[N++] = Space ? ' ' : T[I];
    }
    Field[N] = 0;
}

// Splits "type name" at its last whitespace outside brackets, so that "Map<String, String> m"
// keeps its type whole. False when there is no such whitespace.
bool splitTypeAndName(string_view T, string_view &Type, string_view &Name)
{
    T = trimmed(T);
    size_t Last = None;
    for (size_t I = findTopLevel(T, 0, Whitespace, TypeOpens, TypeCloses); I < T.size();
         I = findTopLevel(T, I + 1, Whitespace, TypeOpens, TypeCloses))
        Last = I;
    if (Last == None)
        return false;
    Type = trimmed(T.substr(0, Last));
    Name = T.substr(Last + 1);
    return true;
}

void *allocate(size_t Count, size_t Size)
{
    void *Block = calloc(Count, Size);
    if (!Block) {
        fprintf(stderr, "tessel: out of memory\n");
        exit(1);
    }
    return Block;
}

// A private NUL-terminated copy of the file; a NUL byte in the file ends the text there.
char *readText(const char *FileName, size_t &Size)
{
    int Fd = open(FileName, O_RDONLY | O_CLOEXEC);
    if (Fd < 0) {
        if (getenv("ZQDEBUG"))
            fprintf(stderr, "%s: %s\n", FileName, strerror(errno));
        return nullptr;
    }
    struct stat Info;
    if (fstat(Fd, &Info) != 0) {
        if (getenv("ZQDEBUG"))
            fprintf(stderr, "stat(%s): %s\n", FileName, strerror(errno));
        close(Fd);
        return nullptr;
    }
    Size = size_t(Info.st_size);
    void *Map = mmap(nullptr, Size, PROT_READ, MAP_PRIVATE, Fd, 0);
    if (Map == MAP_FAILED) {
        fprintf(stderr, "mmap(%s): %s\n", FileName, strerror(errno));
        close(Fd);
        return nullptr;
    }
    auto *Text = static_cast<char *>(allocate(Size + 1, 1));
    memcpy(Text, Map, strnlen(static_cast<const char *>(Map), Size));
    munmap(Map, Size);
    close(Fd);
    return Text;
}

// One entry of an interface body: a declaration up to its ';' (or the body's end), or a nested
// type, which runs to its matching closing brace and takes no method number.
struct declaration {
    string_view Text;
    bool Terminated;
    bool Nested;
};

declaration cutDeclaration(string_view &Body)
{
    size_t End = findTopLevel(Body, 0, ";{", "", "");
    declaration D{trimmed(Body.substr(0, End)), End < Body.size() && Body[End] == ';', false};
    if (End < Body.size() && Body[End] == '{') {
        End = findTopLevel(Body, End + 1, "}", "{", "}");
        D.Nested = true;
    }
    Body.remove_prefix(std::min(End + 1, Body.size()));
    return D;
}

void freeRecord(aidl *Aidl)
{
    for (int I = 0; I < Aidl->numMethods; ++I)
        free(Aidl->methods[I].args);
    free(Aidl);
}

// Fills Method from a declaration without its ';'. False, after the message, when an argument
// has no name; Method then owns nothing.
bool parseMethod(string_view Decl, aidlMethod &Method, int Index, const char *FileName)
{
    Decl = trimmed(Decl);
    if (startsWithWord(Decl, "oneway"))
        Decl = trimmed(Decl.substr(6));
    size_t Open = findTopLevel(Decl, 0, "(", "<[", ">]");
    // A lone word is taken as the name, so that the methods after it keep their numbers.
    string_view Returns, Name = trimmed(Decl.substr(0, Open));
    splitTypeAndName(Name, Returns, Name);
    setField(Method.returns, Returns);
    setField(Method.name, Name);
    if (Open == Decl.size())
        return true;

    string_view Params = Decl.substr(Open + 1);
    Params = Params.substr(0, findTopLevel(Params, 0, ")", TypeOpens, TypeCloses));
    if (trimmed(Params).empty())
        return true;
    int Count = 1;
    for (size_t I = 0; (I = findTopLevel(Params, I, ",", TypeOpens, TypeCloses)) < Params.size(); ++I)
        ++Count;
    auto *Args = static_cast<aidlArg *>(allocate(size_t(Count), sizeof(aidlArg)));
    size_t Start = 0;
    for (int A = 0; A < Count; ++A) {
        size_t Comma = findTopLevel(Params, Start, ",", TypeOpens, TypeCloses);
        string_view Piece = trimmed(Params.substr(Start, Comma - Start)), Type, ArgName;
        if (!splitTypeAndName(Piece, Type, ArgName)) {
            fprintf(stderr, "MALFORMATION in %.*s: method %d in %s\n", int(Piece.size()), Piece.data(), Index,
                    FileName);
            free(Args);
            return false;
        }
        setField(Args[A].type, Type);
        setField(Args[A].name, ArgName);
        Start = Comma + 1;
    }
    Method.numArgs = Count;
    Method.args = Args;
    return true;
}

// The capacity of the method table: the body's top-level ';'s, or NUMMETH when it is valid.
int tableCapacity(string_view Body)
{
    int Counted = 0;
    for (string_view Rest = Body; !Rest.empty();)
        Counted += cutDeclaration(Rest).Terminated;
    const char *Override = getenv("NUMMETH");
    if (!Override)
        return Counted;
    int Value = 0;
    const char *End = Override + strlen(Override);
    auto Read = std::from_chars(Override, End, Value);
    if (Read.ec != std::errc() || Read.ptr != End || Value <= 0) {
        fprintf(stderr, "NUMMETH: \"%s\" is not a positive number, using %d methods\n", Override, Counted);
        return Counted;
    }
    printf("Overriding to %d methods\n", Value);
    return Value;
}

// Refuses a declaration carrying an explicit method number ("= N" after its parameters): a
// method's number here is its position, which such a file does not follow.
bool isExplicitlyNumbered(declaration D, const char *BodyEnd, const char *FileName)
{
    size_t Paren = D.Text.rfind(')'), Equals = D.Text.rfind('=');
    if (Equals == None || (Paren != None && Equals < Paren))
        return false;
    string_view Id = trimmed(D.Text.substr(Equals + 1));
    int Number;
    if (std::from_chars(Id.data(), Id.data() + Id.size(), Number).ec != std::errc())
        fprintf(stderr, "MALFORMATION: method number specified for %.*s, but unable to parse it\n",
                int(BodyEnd - D.Text.data()), D.Text.data());
    else
        fprintf(stderr, "%s: explicitly numbered methods are not supported\n", FileName);
    return true;
}

aidl *parseBody(string_view Body, const char *Package, const char *Name, const char *FileName)
{
    int Capacity = tableCapacity(Body);
    auto *Aidl = static_cast<aidl *>(allocate(1, sizeof(aidl) + size_t(Capacity) * sizeof(aidlMethod)));
    Aidl->methods = reinterpret_cast<aidlMethod *>(Aidl + 1);
    snprintf(Aidl->name, sizeof Aidl->name, "%s%s%s", Package ? Package : "", Package ? "." : "", Name);
    int LeftOut = 0;
    for (string_view Rest = Body; !Rest.empty();) {
        declaration D = cutDeclaration(Rest);
        if (D.Nested || D.Text.empty() || startsWithWord(D.Text, "const"))
            continue;
        if (isExplicitlyNumbered(D, Body.data() + Body.size(), FileName)) {
            freeRecord(Aidl);
            return nullptr;
        }
        if (Aidl->numMethods == Capacity) {
            ++LeftOut;
            continue;
        }
        if (!parseMethod(D.Text, Aidl->methods[Aidl->numMethods], Aidl->numMethods, FileName)) {
            freeRecord(Aidl);
            return nullptr;
        }
        ++Aidl->numMethods;
    }
    if (LeftOut)
        fprintf(stderr, "%s: the method table holds %d methods, %d more declarations left out\n", FileName, Capacity,
                LeftOut);
    return Aidl;
}

// Parses a cleaned text, which is cut in place by the marker extraction.
aidl *parseText(char *Buf, const char *FileName)
{
    const string_view T(Buf);
    // Package and imports lie before the first brace: a later "package " or "import " is not
    // a statement.
    const size_t Brace = findTopLevel(T, 0, "{", "", "");
    size_t Pos = 0;
    const char *Package = getArgOfMarker(Buf, "package ", ';', Brace);
    if (Package)
        Pos = size_t(Package - Buf) + strlen(Package) + 1;
    while (const char *Import = getArgOfMarker(Buf + Pos, "import ", ';', Brace - Pos))
        Pos = size_t(Import - Buf) + strlen(Import) + 1;

    // Only the top-level declaration counts: an interface nested in a parcelable is no interface
    // of this file.
    const char *Name = getArgOfMarker(Buf + Pos, "interface ", '{', Brace + 1 - Pos);
    if (!Name) {
        string_view Head = T.substr(Pos, Brace - Pos);
        bool OtherType = containsWord(Head, "parcelable") || containsWord(Head, "enum") || containsWord(Head, "union");
        if (!OtherType && T.find("interface ", Pos) != None)
            fprintf(stderr, "%s: No interface in file - odd\n", FileName);
        return nullptr;
    }
    size_t BodyStart = size_t(Name - Buf) + strlen(Name) + 1;
    size_t BodyEnd = findTopLevel(T, BodyStart, "}", "{", "}");
    if (BodyEnd == T.size()) {
        fprintf(stderr, "%s - ***MALFORMED!*** %s\n", FileName, Buf + BodyStart);
        return nullptr;
    }
    return parseBody(T.substr(BodyStart, BodyEnd - BodyStart), Package, Name, FileName);
}

} // namespace

void decommentize(char *Buf, size_t Size, int RemoveNewLines)
{
    enum { Code, LineComment, BlockComment } State = Code;
    bool Annotation = false;
    int Depth = 0;
    const string_view T(Buf, Size);
    for (size_t I = 0; I < Size; ++I) {
        char Next = I + 1 < Size ? Buf[I + 1] : 0;
        if (State == Code) {
            if (Buf[I] == '/' && Next == '/') {
                State = LineComment;
            } else if (Buf[I] == '/' && Next == '*') {
                State = BlockComment;
            } else if (isQuote(Buf[I])) {
                // A literal is text, never structure: kept in code, blanked whole in an annotation.
                size_t End = literalEnd(T, I);
                if (Annotation)
                    memset(Buf + I, ' ', End - I);
                I = End - 1;
                continue;
            } else if (!Annotation && Buf[I] == '@') {
                Annotation = true;
            }
        }
        if (Annotation) {
            // Any whitespace ends it, so an annotation on its own line never eats the next line.
            if (Depth == 0 && ascii::isspace(Buf[I])) {
                Annotation = false;
            } else {
                Depth = std::max(0, Depth + (Buf[I] == '(') - (Buf[I] == ')'));
                Buf[I] = ' ';
            }
        }
        if (State == LineComment) {
            if (Buf[I] == '\n')
                State = Code;
            else
                Buf[I] = ' ';
        } else if (State == BlockComment) {
            if (Buf[I] == '*' && Next == '/') {
                Buf[I++] = ' ';
                State = Code;
            }
            Buf[I] = ' ';
        }
        if (RemoveNewLines && Buf[I] == '\n')
            Buf[I] = ' ';
    }
}

char *getArgOfMarker(char *File, const char *Marker, char Delim, size_t Size)
{
    const string_view T(File, strnlen(File, Size));
    size_t At = T.find(Marker);
    if (At == None || (At > 0 && T[At - 1] != '\n' && T[At - 1] != ' '))
        return nullptr;
    size_t Start = At + strlen(Marker), End = Start;
    while (End < T.size() && T[End] != Delim && T[End] != '\n')
        ++End;
    if (End == T.size())
        return nullptr;
    while (Start < End && !ascii::isalpha(T[Start]))
        ++Start;
    File[End] = 0;
    return File + Start;
}

aidl *tessel(const char *FileName)
{
    size_t Size = 0;
    char *Text = readText(FileName, Size);
    if (!Text)
        return nullptr;
    decommentize(Text, Size, 1);
    if (getenv("ZQAIDLDEBUG")) {
        printf("%s", Text);
        exit(0);
    }
    aidl *Aidl = parseText(Text, FileName);
    free(Text);
    return Aidl;
}
