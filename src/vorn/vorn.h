// Shared declarations of the vorn tool: switches and globals, the namespace values, the
// transaction codes, the kernel's binder records, the device seam and the parcel reader.
#pragma once

#include "kernel.h"

#include <tessel.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

// ---- Namespaces -------------------------------------------------------------------------
// The two four-character values double as the header word of release-11 request parcels.
constexpr int NS_BINDER = 0x53595354;    // "SYST"
constexpr int NS_VNDBINDER = 0x564e4452; // "VNDR"
constexpr int NS_HWBINDER = 1;           // a selector only
void setNs(int N);
int getNs();

// ---- Switches and process-wide state ----------------------------------------------------
extern int g_Color;
extern int g_Debug;
extern int androidVer; // release class: 9, 10, 11, 15 (15 from r6) or 16
extern int g_BinderFd;
extern const uint8_t *g_RecvArea; // the driver's receive area, mapped read-only
constexpr size_t RECV_AREA_SIZE = 0xfe000;
extern char safeWords[1024]; // failure text of the last failed reply
// Whether the service manager has accepted a request of ours in this run: only then is a
// refusal not a sign of a request header built for another release.
extern bool g_HeaderProven;

// Ends the command with a status; caught by vornMain so the tool stays testable in process.
struct Quit {
    int status;
};
[[noreturn]] void endProcess(int Status);

// ---- Releases ---------------------------------------------------------------------------
// Everything that differs between Android releases lives in this one table.
enum class ListStyle { PerIndex, Vector };
struct Release {
    int cls;
    uint32_t strictPolicy;
    bool workSourceWord;
    bool namespaceWord;
    ListStyle list;
    uint32_t lookupCode, listCode; // the service manager's checkService and listServices
    bool serviceUnion;             // checkService answers a Service union around the binder
};
constexpr std::array<Release, 5> RELEASES{{
    {9, 0x00400000, false, false, ListStyle::PerIndex, 2, 4, false},
    {10, 0x80000000, true, false, ListStyle::PerIndex, 2, 4, false},
    {11, 0x80000000, true, true, ListStyle::Vector, 2, 4, false}, // up to 15 before r6
    {15, 0x80000000, true, true, ListStyle::Vector, 3, 5, true},  // getService2 came in at 2
    {16, 0x80000000, true, true, ListStyle::Vector, 3, 6, false}, // checkService2 came in at 4
}};
// SDK 35 covers two numberings of the service manager; a probe tells them apart.
constexpr int CLASS_PROBED = 35;
const Release &currentRelease();
// The class for the environment and the system properties; may print the detection warning.
int detectRelease(const std::string &Sdk);
// The class of an SDK 35 device, from the manager's answer to its last read-only code.
int probeNumbering();

// ---- Device seam ------------------------------------------------------------------------
// The only way the tool reaches the binder device and the system properties.
struct Device {
    virtual ~Device() = default;
    virtual int open(const char *Path) = 0;                          // fd, or -1 with errno
    virtual int ioctl(int Fd, unsigned long Request, void *Arg) = 0; // -1 with errno on failure
    virtual const void *map(int Fd, size_t Length) = 0;              // nullptr with errno on failure
    virtual std::string property(const char *Name) = 0;              // empty when missing
};
Device &device();
void setDevice(Device *D); // nullptr restores the real device

// ---- Transaction codes ------------------------------------------------------------------
constexpr uint32_t INTERFACE_TRANSACTION = 0x5f4e5446;     // _NTF
constexpr uint32_t PING_TRANSACTION = 0x5f504e47;          // _PNG
constexpr uint32_t SHELL_COMMAND_TRANSACTION = 0x5f434d44; // _CMD
constexpr uint32_t DUMP_TRANSACTION = 0x5f444d50;          // _DMP
constexpr uint32_t SYSPROPS_TRANSACTION = 0x5f535052;      // _SPR
constexpr uint32_t EXTENSION_TRANSACTION = 0x5f455854;     // _EXT
constexpr uint32_t DEBUG_PID_TRANSACTION = 0x5f504944;     // _PID

constexpr uint32_t HW_SVC_MGR_LIST_SERVICES = 4;
constexpr const char *SM_INTERFACE = "android.os.IServiceManager";
constexpr const char *HW_SM_INTERFACE = "android.hidl.manager@1.0::IServiceManager";

// ---- Palette ----------------------------------------------------------------------------
constexpr const char *RESET = "\033[0;0m";
constexpr const char *BOLD = "\033[1;1m";
constexpr const char *ITALIC = "\033[0;3m";
constexpr const char *RED = "\033[31;1m";
constexpr const char *GREEN = "\033[32;1m";
constexpr const char *YELLOW = "\033[33;1m";
constexpr const char *BLUE = "\033[34;1m";
constexpr const char *CYAN = "\033[36;1m";
constexpr const char *WARNING_SIGN = "\xe2\x9a\xa0\xef\xb8\x8f"; // U+26A0 U+FE0F
// The escape when colour is on, else the empty string.
const char *color(const char *Escape);
void hexDump(const void *Buf, size_t Size, uint64_t Addr);
bool isprint(int C);

// ---- Parcel primitives ------------------------------------------------------------------
using Parcel = std::vector<uint8_t>;
void putU32(Parcel &Buf, uint32_t V);
int serializeUTF8(std::string_view UTF8s, Parcel &Buf);
std::u16string UTF16(std::string_view UTF8);
std::string UTF16ToUTF8(std::u16string_view UTF16);
// Text that another process chose, made safe to print: its control characters as \xHH, so
// that it can neither drive the terminal nor start a line of its own.
std::string printable(std::string_view Text);
Parcel serializeFD(int WhichFd);
int isErrorParcel(std::span<const uint8_t> Data);
// The String16 at Pos, cut at the end of Data rather than read past it; empty when absent.
std::string string16Cut(std::span<const uint8_t> Data, size_t Pos);
uint32_t ntohl(uint32_t Net);
// A decimal integer at the start of Word, as scanf reads it (blanks and a sign first, the
// rest ignored), and whether it lies within Min and Max.
struct Scanned {
    enum { NUMBER, NOT_A_NUMBER, OUT_OF_RANGE } kind;
    long long value;
};
Scanned scanInteger(const char *Word, long long Min, long long Max);

// Reads a parcel front to back and refuses to go past its end: every read that does not
// fit yields nullopt and leaves the reader at the end, so a chain of reads stops at once.
class Reader {
public:
    // A start past the end leaves the reader at the end.
    explicit Reader(std::span<const uint8_t> Data, size_t Pos = 0) : data(Data), pos(std::min(Pos, Data.size())) {}
    std::optional<uint32_t> u32();
    std::optional<uint64_t> u64();
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

// ---- Transport --------------------------------------------------------------------------
int bwr(const void *Write, size_t WriteLen, void *Read, size_t *ReadLen);
const char *codeToText(uint32_t Code);
const char *methodToText(uint32_t Method);
int releaseDesc(int Desc);
// Sends one transaction and waits for its reply; the reply record is copied out.
std::optional<binder_transaction_data> sendMethodToServiceTarget(int Desc, uint32_t Method, const char *Interface,
                                                                 std::span<const uint8_t> Args);

// A reply parcel as the driver placed it in the receive area.
struct ReceivedParcel {
    std::span<const uint8_t> data;
    std::span<const uint8_t> offsets; // 8 bytes per object
};
// The Size bytes at Addr, when they lie wholly inside Area.
std::optional<std::span<const uint8_t>> bytesAt(std::span<const uint8_t> Area, uint64_t Addr, uint64_t Size);
std::span<const uint8_t> receiveArea();

// The reply's data and offsets, checked to lie inside the receive area. With Report, the
// "No data" notice and, in debug mode, the report of the reply as the driver delivered it.
std::optional<ReceivedParcel> getReplyParcelBuf(const binder_transaction_data &Reply, bool Report = true);
// The status of a reply that holds only a status (TF_STATUS_CODE set), else nullopt.
std::optional<int32_t> statusOnly(const binder_transaction_data &Reply);

// ---- Service manager --------------------------------------------------------------------
using serviceFunc = int (*)(const char *);
constexpr int LOOKUP_NO_REPLY = -2; // the manager gave no reply at all
int getService(const char *ServiceName);
int checkService(int argc, char **argv);
std::optional<std::string> getInterfaceOfDesc(int Desc);
std::optional<std::string> getInterfaceOfService(const char *Name);
int listServices(serviceFunc S);
int listServicesHW(serviceFunc S);

// ---- Service commands -------------------------------------------------------------------
int dumpService(int argc, char **argv);
int dumpMethods(const char *ServiceName);
int callService(int argc, char **argv);
// The argument bytes of method Meth of Aidl from the command-line words, by declared type.
Parcel serializeArgumentsFromCommandLine(std::span<char *const> Words, const aidl *Aidl, int Meth);

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
int findOwnerOfService(const char *ServiceName);
int findUsersOfService(const char *ServiceName);

// ---- Front end --------------------------------------------------------------------------
void help(const char *progname);
int vornMain(int argc, char **argv);

} // namespace vorn
