#pragma once
// tessel: reads AIDL interface files into method tables and finds an interface's file by its
// name; a method's transaction code is its 1-based position in the table.
// Depends on nothing but the C++ standard library and POSIX file calls.
#include <cstddef>
#include <string>

struct aidlArg {
    char name[32];
    char type[64]; // everything before the name, direction keyword included: "in String"
};

struct aidlMethod {
    char name[64];
    int numArgs;
    char returns[64];
    aidlArg *args; // numArgs entries, null when there are none
};

struct aidl {
    char name[128]; // package, '.', interface text (which keeps the blank before its '{')
    int numMethods;
    aidlMethod *methods; // method n (its transaction code) is methods[n-1]; same allocation
};

// Thrown, after its message, where the command must end with status: the module never ends
// the process itself. Every caller of the functions below must catch it (a program's main at
// the latest) and end with status.
struct TesselExit {
    int status;
};

// What the caller asks of the parser; the module reads no environment of its own.
struct TesselOptions {
    const char *dir = nullptr;         // the AIDL directory; null for /data/local/tmp/aidl
    bool debug = false;                // say why a file cannot be opened
    bool showText = false;             // print the cleaned text, then end with status 0
    const char *methodCount = nullptr; // the method table's size, instead of the declarations'
    std::string *missing = nullptr;    // when given, why no file was found goes here, not to stderr
};

// Parses one AIDL file; null when it cannot be read, is not a regular file or holds no usable
// top-level interface. Free the record with freeAIDL.
aidl *tessel(const char *FileName, const TesselOptions &Options = {});

// Frees a record and its argument tables; null is ignored.
void freeAIDL(aidl *Aidl);

// Blanks comments and annotations in the first Size characters of Buf, in place; with
// RemoveNewLines newlines become blanks too. String and character literals are left as they are.
void decommentize(char *Buf, size_t Size, int RemoveNewLines);

// Finds Marker (at the text's start or after a blank or newline) and returns the text from the
// first letter after it up to Delim or a newline, which is overwritten with NUL. Reads at most
// Size characters of File.
char *getArgOfMarker(char *File, const char *Marker, char Delim, size_t Size);

// Parses the AIDL of an interface: Interface itself when it names a regular file, otherwise
// <the options' dir>/<simple name>.aidl.
aidl *getAIDLForInterface(const char *Interface, const TesselOptions &Options = {});

// Accessors by 1-based method number; null or 0 for a null record or a number out of range.
const char *getMethodReturnFromAIDL(const aidl *Aidl, int Meth);
int getMethodNumArgsFromAIDL(const aidl *Aidl, int Meth);
const aidlArg *getMethodArgsFromAIDL(const aidl *Aidl, int Meth);
const char *getMethodNameFromAIDL(const aidl *Aidl, int Meth);
