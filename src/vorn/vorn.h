// The tool's rooms, each using only those above it: settings and the session over the device
// seam, the parcel writer and reader, the driver loop, the protocol of each release, the
// interface description, and the commands.
#pragma once

#include "kernel.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn {

// ---- Settings: the environment, read once -----------------------------------------------
struct Settings {
    bool color = false, debug = false, argTrace = false, noManagers = false, noExit = false, html = false;
    bool outTerminal = false, errTerminal = false; // standard output and error
    const char *aidlDir = nullptr;                 // null for the default directory
    const char *methodCount = nullptr;             // the AIDL parser's method table size (NUMMETH)
    bool aidlText = false;                         // the AIDL parser prints the cleaned text and ends
    std::vector<std::string> dexFiles;             // where methods are looked for when no AIDL file has them
    int forcedRelease = 0;                         // the class the environment forces, 0 when none
    const char *timeoutText = nullptr;             // ZQTIMEOUT as given
    double timeout = 0;                            // its seconds, 0 when not a positive number
    // The escape when colour is on, else the empty string.
    const char *paint(const char *Escape) const { return color ? Escape : ""; }
};
Settings readSettings();

// Ends the command with a status; caught by vornMain so the tool stays testable in process.
struct Quit {
    int status;
};
[[noreturn]] void endProcess(int Status);

// ---- Namespaces -------------------------------------------------------------------------
// The two four-character values double as the header word of release-11 request parcels.
constexpr int NS_BINDER = 0x53595354;    // "SYST"
constexpr int NS_VNDBINDER = 0x564e4452; // "VNDR"
constexpr int NS_HWBINDER = 1;           // a selector only
struct Namespace {
    const char *word;
    int value;
    const char *device;
    bool hidl;      // requests start with a C-string token and go out scatter-gather
    uint32_t level; // the stability of the binders a process of this side makes
};
constexpr std::array<Namespace, 3> NAMESPACES{{
    {"binder", NS_BINDER, "/dev/binder", false, 0x0c},
    {"vndbinder", NS_VNDBINDER, "/dev/vndbinder", false, 0x03},
    {"hwbinder", NS_HWBINDER, "/dev/hwbinder", true, 0},
}};

// ---- Releases ---------------------------------------------------------------------------
// Everything that differs between Android releases lives in this one table.
enum class ListStyle { PerIndex, Vector };
// The word that follows each flattened binder: none, the plain level, or the level in the
// versioned form (level << 24 | version 1) that a receiver refuses below version 1.
enum class Stability { None, Level, Versioned };
struct Release {
    int cls;
    uint32_t strictPolicy;
    bool workSourceWord;
    bool namespaceWord;
    ListStyle list;
    uint32_t lookupCode, listCode; // the service manager's checkService and listServices
    bool serviceUnion;             // checkService answers a Service union around the binder
    Stability stability;
    uint32_t binderFlags, fdFlags; // of a null or received binder and of a descriptor, as libbinder writes them
};
constexpr std::array<Release, 8> RELEASES{{
    {9, 0x00400000, false, false, ListStyle::PerIndex, 2, 4, false, Stability::None, 0x113, 0x17f},
    {10, 0x80000000, true, false, ListStyle::PerIndex, 2, 4, false, Stability::None, 0x113, 0x17f},
    {11, 0x80000000, true, true, ListStyle::Vector, 2, 4, false, Stability::Level, 0x113, 0x17f},
    {12, 0x80000000, true, true, ListStyle::Vector, 2, 4, false, Stability::Versioned, 0x113, 0x17f},
    {13, 0x80000000, true, true, ListStyle::Vector, 2, 4, false, Stability::Level, 0x13, 0x17f},
    {14, 0x80000000, true, true, ListStyle::Vector, 2, 4, false, Stability::Level, 0x13, 0}, // and 15 before r6
    {15, 0x80000000, true, true, ListStyle::Vector, 3, 5, true, Stability::Level, 0x13, 0},  // getService2 came in at 2
    {16, 0x80000000, true, true, ListStyle::Vector, 3, 6, false, Stability::Level, 0x13, 0}, // checkService2 at 4
}};
// SDK 35 covers two numberings of the service manager; a probe tells them apart.
constexpr int CLASS_PROBED = 35;
const Release &releaseOf(int Class);

// ---- Device seam ------------------------------------------------------------------------
// The only way the tool reaches the binder device and the system properties.
struct Device {
    virtual ~Device() = default;
    virtual int open(const char *Path) = 0;                          // fd, or -1 with errno
    virtual int ioctl(int Fd, unsigned long Request, void *Arg) = 0; // -1 with errno on failure
    virtual const void *map(int Fd, size_t Length) = 0;              // nullptr with errno on failure
    virtual std::string property(const char *Name) = 0;              // empty when missing
    virtual int poll(int Fd, int Milliseconds) = 0; // 1 when there is work to read, 0 when the time ran out
};
Device &device();
void setDevice(Device *D); // nullptr restores the real device
constexpr size_t RECV_AREA_SIZE = 0xfe000;

// ---- Session: one open namespace --------------------------------------------------------
// Everything a transaction needs, passed along rather than kept in globals: a second thread
// runs transactions with a session of its own over the same descriptor.
struct Session {
    const Settings &settings;
    int fd = -1;
    std::span<const uint8_t> area; // the driver's receive area, mapped read-only
    int ns = NS_BINDER;
    int cls = 9; // the release class of this namespace's peers
    // Whether the service manager has accepted a request of ours: only then is a refusal not
    // a sign of a request header built for another release.
    bool headerProven = false;
    const Release &release() const { return releaseOf(cls); }
    const Namespace &space() const
    {
        return *std::find_if(NAMESPACES.begin(), NAMESPACES.end(), [&](auto &N) { return N.value == ns; });
    }
    bool hidl() const { return space().hidl; }
};
// The class for the environment and the system properties; may print the detection warning.
int detectRelease(const Settings &S, const std::string &Sdk);

// ---- Output -----------------------------------------------------------------------------
constexpr const char *RESET = "\033[0;0m";
constexpr const char *BOLD = "\033[1;1m";
constexpr const char *ITALIC = "\033[0;3m";
constexpr const char *RED = "\033[31;1m";
constexpr const char *GREEN = "\033[32;1m";
constexpr const char *YELLOW = "\033[33;1m";
constexpr const char *BLUE = "\033[34;1m";
constexpr const char *CYAN = "\033[36;1m";
constexpr const char *WARNING_SIGN = "\xe2\x9a\xa0\xef\xb8\x8f"; // U+26A0 U+FE0F
void hexDump(const void *Buf, size_t Size, uint64_t Addr);
bool isprint(int C);
// Text that another process chose, made safe to print: its control characters as \xHH, so
// that it can neither drive the terminal nor start a line of its own.
std::string printable(std::string_view Text);
// Text another process chose, for Stream: printable on a terminal, else the exact bytes, which
// a pipe or a file asked for.
std::string shown(const Settings &S, FILE *Stream, std::string_view Text);

// ---- Parcels ----------------------------------------------------------------------------
std::u16string UTF16(std::string_view UTF8);
std::string UTF16ToUTF8(std::u16string_view UTF16);
uint32_t ntohl(uint32_t Net);

// A descriptor of ours, closed when it goes.
struct Owned {
    explicit Owned(int Fd) : fd(Fd) {}
    Owned(Owned &&Other) noexcept : fd(std::exchange(Other.fd, -1)) {}
    Owned &operator=(Owned &&) = delete;
    ~Owned();
    int fd;
};

// Builds a parcel, recording where each object lies, as the driver must be told.
class Writer {
public:
    Writer() = default;
    Writer(Writer &&) = default;
    Writer &operator=(Writer &&) = default;
    Writer(const Writer &) = delete; // the buffer objects point into storage of this writer
    template <class T> Writer &put(T Value)
    {
        auto at = bytes.size();
        bytes.resize(at + sizeof Value);
        std::memcpy(bytes.data() + at, &Value, sizeof Value);
        return *this;
    }
    Writer &u32(uint32_t V) { return put(V); }
    Writer &string16(std::string_view UTF8); // count, units, a 0 unit, padded to 4
    Writer &cstring(std::string_view Text);  // the characters and a NUL, padded to 4
    // A hidl_string: its 16-byte record, then its characters and NUL as the record's child,
    // the record pointing at them.
    Writer &hidlString(std::string_view Text);
    // A hidl_vec<hidl_string>: its record, the array of string records, then each string.
    Writer &hidlStrings(std::span<char *const> Texts);
    // A native handle of one descriptor, as hwbinder writes one it does not own: the handle's
    // size, the handle as a buffer, and the descriptor array object that points into it.
    Writer &nativeHandle(int Fd);
    // A flat object: its offset goes into the offsets list.
    template <class T> Writer &object(const T &Object)
    {
        objects.push_back(bytes.size());
        return put(Object);
    }
    // A scatter-gather buffer object over a copy of Data, flags 1 with a parent: its index
    // among the objects, for children to name it as their parent.
    size_t buffer(std::span<const uint8_t> Data, std::optional<std::pair<size_t, uint64_t>> Parent = {});
    // Takes a descriptor that the parcel's object names, to close it with the parcel.
    void own(int Fd) { descriptors.emplace_back(Fd); }
    // The bytes and objects of a writer without buffers, after ours.
    Writer &append(Writer &&Tail);
    std::span<const uint8_t> data() const { return bytes; }
    std::span<const uint64_t> offsets() const { return objects; }
    uint64_t buffersSize() const { return buffersBytes; } // every buffer rounded up to 8

private:
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> objects;
    std::deque<std::vector<uint8_t>> buffers; // never moved while the writer lives
    uint64_t buffersBytes = 0;
    std::vector<Owned> descriptors;
};

// A reply, copied out of the receive area: its buffer goes back to the driver at once, so no
// command holds the receive area and the copy lives as long as the command wants it.
struct Received {
    struct Buffer {
        uint64_t address; // where the driver delivered it, as the objects that point at it say
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> data;
    std::vector<uint64_t> offsets;
    std::vector<Buffer> buffers;              // the scatter-gather buffers its PTR objects point at
    uint64_t address = 0, offsetsAddress = 0; // where they lay, for the debug report
    uint32_t code = 0, flags = 0;
    int32_t pid = 0;
    uint32_t euid = 0;
    std::vector<uint8_t> stream; // the return stream from BR_REPLY on, for the debug report
};
// The Size bytes at Addr, when they lie wholly inside the Area that starts at Base.
std::optional<std::span<const uint8_t>> bytesAt(std::span<const uint8_t> Area, uint64_t Base, uint64_t Addr,
                                                uint64_t Size);
// The flat object that offsets entry Index points at; after saying how the entry lies outside
// the data, the status -5 (it starts past the end) or -6 (it ends past it).
struct Located {
    int error;
    flat_binder_object object;
};
Located objectAt(const Received &Reply, size_t Index);
// Length bytes at Addr, provided they lie inside one of the reply's buffers.
std::optional<std::span<const uint8_t>> delivered(const Received &Reply, uint64_t Addr, uint64_t Length);

class Reader;
// The hidl_string, or hidl_vec<hidl_string>, whose buffer object is next in R: the record and
// the characters read only inside the buffers the driver delivered, each string with its NUL;
// nullopt after saying what is wrong.
std::optional<std::string> hidlString(const Received &Reply, Reader &R);
std::optional<std::vector<std::string>> hidlStrings(const Received &Reply, Reader &R);
// The Length bytes of the buffer object next in R, inside what the driver delivered; nullopt
// after saying that the reply holds no What record.
std::optional<std::span<const uint8_t>> hidlBuffer(const Received &Reply, Reader &R, uint64_t Length, const char *What);
// The word size that a HIDL DebugInfo record's arch stands for.
const char *archName(int32_t Arch);

// Reads a parcel front to back and refuses to go past its end: every read that does not
// fit yields nullopt and leaves the reader at the end, so a chain of reads stops at once.
class Reader {
public:
    // A start past the end leaves the reader at the end.
    explicit Reader(std::span<const uint8_t> Data, size_t Pos = 0) : data(Data), pos(std::min(Pos, Data.size())) {}
    std::optional<uint32_t> u32() { return record<uint32_t>(); }
    std::optional<uint64_t> u64() { return record<uint64_t>(); }
    std::optional<std::u16string> string16(); // a null string (count -1) reads as empty
    template <class T> std::optional<T> record();
    size_t position() const { return pos; }

private:
    std::optional<std::span<const uint8_t>> take(uint64_t N);
    std::span<const uint8_t> data;
    size_t pos;
};

template <class T> std::optional<T> Reader::record()
{
    auto bytes = take(sizeof(T));
    if (!bytes)
        return std::nullopt;
    T value;
    std::memcpy(&value, bytes->data(), sizeof(T)); // copied out, never cast in place
    return value;
}

// The String16 at Pos, cut at the end of Data rather than read past it; empty when absent.
std::string string16Cut(std::span<const uint8_t> Data, size_t Pos);
// Whether the reply is the status of a failure, printed as such when it is.
bool isErrorParcel(const Settings &S, std::span<const uint8_t> Data);
// A decimal integer at the start of Word, as scanf reads it (blanks and a sign first, the
// rest ignored), and whether it lies within Min and Max.
struct Scanned {
    enum { NUMBER, NOT_A_NUMBER, OUT_OF_RANGE } kind;
    long long value;
};
Scanned scanInteger(const char *Word, long long Min, long long Max);

// ---- Driver loop ------------------------------------------------------------------------
// What became of a transaction: the one place that tells a reply, a status-only reply and
// the driver's refusals apart.
struct Outcome {
    enum Kind { REPLY, STATUS, FAILED, DEAD, FROZEN, BROKEN, TIMEOUT } kind;
    Received reply;     // REPLY and STATUS; for a call awaited, the call
    int32_t status = 0; // STATUS
    std::string why;    // FAILED: the words for it, for the caller to place
    bool answered() const { return kind == REPLY || kind == STATUS; }
};
// Sends one transaction and walks what the driver returns until its reply: acknowledges
// reference counts, refuses incoming transactions, frees every buffer it is given, and
// retries an interrupted exchange. Interface names the request in messages only.
Outcome transact(Session &S, int Handle, uint32_t Code, const Writer &Parcel, const char *Interface);
// Waits as a looper, at most Seconds, for a one-way call to our node Node, refusing any other;
// REPLY with the call, or TIMEOUT.
Outcome awaitCall(Session &S, uint64_t Node, double Seconds);
// Says why a transaction has no reply where the driver's refusal was left to its caller.
void sayWhy(const Outcome &O);
// Drops the strong reference only: the tool never takes a weak one.
void releaseHandle(Session &S, int Handle);
std::string codeToText(uint32_t Code);
// Reports a reply as the driver delivered it (in debug mode) and an empty one; the reply.
const Received &report(const Session &S, const Received &Reply);

// ---- Protocol ---------------------------------------------------------------------------
constexpr uint32_t INTERFACE_TRANSACTION = 0x5f4e5446;     // _NTF
constexpr uint32_t PING_TRANSACTION = 0x5f504e47;          // _PNG
constexpr uint32_t SHELL_COMMAND_TRANSACTION = 0x5f434d44; // _CMD
constexpr uint32_t DUMP_TRANSACTION = 0x5f444d50;          // _DMP
constexpr uint32_t SYSPROPS_TRANSACTION = 0x5f535052;      // _SPR
constexpr uint32_t EXTENSION_TRANSACTION = 0x5f455854;     // _EXT
constexpr uint32_t DEBUG_PID_TRANSACTION = 0x5f504944;     // _PID

constexpr uint32_t HW_SVC_MGR_GET = 1, HW_SVC_MGR_GET_TRANSPORT = 3, HW_SVC_MGR_LIST_SERVICES = 4;
constexpr const char *SM_INTERFACE = "android.os.IServiceManager";
constexpr const char *HW_SM_INTERFACE = "android.hidl.manager@1.0::IServiceManager";
constexpr const char *HIDL_BASE = "android.hidl.base@1.0::IBase"; // the token of every interface's own codes
constexpr uint32_t HIDL_GET_DEBUG_INFO = 0x0f524546, HIDL_DEBUG = 0x0f444247, HIDL_INTERFACE_CHAIN = 0x0f43484e,
                   HIDL_INTERFACE_DESCRIPTOR = 0x0f445343;

// A request parcel that starts with the release's header and the interface token.
Writer request(const Session &S, const char *Interface);
// Objects as the release's libbinder flattens them, each followed by the stability word where
// the release writes one: a null binder, a handle received with the word Stability, a binder
// of our own at Address, and a descriptor of ours.
void nullBinder(const Session &S, Writer &W);
void handleObject(const Session &S, Writer &W, uint32_t Handle, std::optional<uint32_t> Stability);
void localBinder(const Session &S, Writer &W, uint64_t Address);
void descriptorObject(const Session &S, Writer &W, int Fd);
// The class of an SDK 35 device, from the manager's answer to its last read-only code.
int probeNumbering(Session &S);
using serviceFunc = int (*)(Session &, const char *);
constexpr int LOOKUP_NO_REPLY = -2; // the manager gave no reply at all
// The handle of a service, or a negative value; Stability, when given, receives the word the
// manager wrote after the handle, where its release writes one.
int getService(Session &S, const char *ServiceName, std::optional<uint32_t> *Stability = nullptr);
// The handle of a hwbinder service (FQNAME/INSTANCE, or FQNAME for the default instance; any
// other form ends the command with status 2), or a negative value; Missing, when given,
// receives a note on the name's transport when it has no service over hwbinder.
int getHidlService(Session &S, const char *ServiceName, std::string *Missing = nullptr);
// The interface a handle names; nullopt after saying why not, or with the driver's refusal
// in Why when Why is given.
std::optional<std::string> getInterfaceOfDesc(Session &S, int Desc, std::string *Why = nullptr);
// Every registered name, in the manager's order, handing each to Each as it comes; the
// command's status.
int listServices(Session &S, serviceFunc Each);
// The registered names alone, in the manager's order, as many as it gave; the status of the listing.
int serviceNames(Session &S, std::vector<std::string> &Names);

// ---- Interface description --------------------------------------------------------------
struct Argument {
    std::string type, name; // the type with its direction keyword: "in String"
};
struct Method {
    std::string name;
    uint32_t code;
    std::vector<Argument> args;
    std::string returns;
    bool strict = false; // an argument of a type that cannot be encoded is refused, not sent as null
};
struct Interface {
    std::string name;
    std::vector<Method> methods;
    const Method *byName(std::string_view Name) const; // case ignored
    const Method *byCode(uint32_t Code) const;
};
// The methods of an interface a service named, from its AIDL file, else from the framework's dex
// files; nullopt after saying why there are none.
std::optional<Interface> describe(const Settings &S, const char *Descriptor);
void printMethods(const Settings &S, const char *Label, const Interface &I);
// The argument bytes of a method from the command-line words, by declared type.
void encodeArguments(const Settings &S, Writer &Out, std::span<char *const> Words, const Method &M);
// The words after a method number or builtin, as TYPE VALUE pairs (i32, i64, f, d, s16, b, fd,
// nfd, handle; s16null and null alone); a word that is not of its type ends the command with
// status 3, a handle of no service with status 1.
void encodeWords(Session &S, Writer &Out, std::span<char *const> Words);

// ---- Binder state inspection ------------------------------------------------------------
// One node or reference line of a process's state text, in the order of the file.
struct StateEntry {
    bool owned;       // a node of the process, else a handle it holds
    int desc;         // the handle of a reference
    uint32_t node;    // UINT32_MAX when a reference's node cannot be read
    int strong, weak; // references others hold on a node; the counts of a reference
};
std::optional<std::string> readProcFile(int Fd); // to the end, however long; nullopt with errno
std::vector<StateEntry> parseState(std::string_view Text);
int readState(int Pid, std::string &Text); // 0, or the negated errno after its report
int dumpNodesAndRefsForPid(int Pid);
int getNodeForDesc(int Pid, int Desc);

// ---- Commands ---------------------------------------------------------------------------
// A command: its word, its usage line, how many words it takes (the command word included)
// and what a wrong number gets, and its work.
struct Command {
    const char *word;
    // The usage line: %n the tool's name, %g green, %i italic, %r reset, %c the comment.
    const char *usage;
    bool always; // shown in the usage under any program name
    int minWords, maxWords;
    const char *misuse;
    int misuseStatus;
    int (*run)(Session &S, int Words, char **Args);
};
constexpr int ANY = 1 << 30;
// Each room's commands, in the order of the usage.
extern const Command LIST, CHECK, METHODS, CALL, DUMP, CMD, USERS, OWNER;

void help(const Settings &S, const char *progname);
int vornMain(int argc, char **argv);

} // namespace vorn
