// The small binder runtime shared by the peers: one connection to a binder device with its
// server loop, the release table, the replies every object gives, and the start-up handshake
// with start-peers.sh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parcel.h"

namespace peer {

constexpr uint32_t packChars(char a, char b, char c, char d)
{
    return uint32_t(uint8_t(a)) << 24 | uint32_t(uint8_t(b)) << 16 | uint32_t(uint8_t(c)) << 8 | uint32_t(uint8_t(d));
}

// Codes every binder object understands.
constexpr uint32_t kPingTransaction = packChars('_', 'P', 'N', 'G');
constexpr uint32_t kDumpTransaction = packChars('_', 'D', 'M', 'P');
constexpr uint32_t kShellCommandTransaction = packChars('_', 'C', 'M', 'D');
constexpr uint32_t kInterfaceTransaction = packChars('_', 'N', 'T', 'F');
constexpr uint32_t kSyspropsTransaction = packChars('_', 'S', 'P', 'R');
constexpr uint32_t kExtensionTransaction = packChars('_', 'E', 'X', 'T');
constexpr uint32_t kDebugPidTransaction = packChars('_', 'P', 'I', 'D');

// Status values of the platform's native binder library.
constexpr int32_t kOk = 0;
constexpr int32_t kBadType = INT32_MIN + 1;
constexpr int32_t kBadValue = -22;
constexpr int32_t kNotEnoughData = -61;
constexpr int32_t kUnknownTransaction = -74;
constexpr int32_t kUnexpectedNull = INT32_MIN + 8; // the AIDL stubs turn it into kExNullPointer

// Exception codes written at the head of AIDL replies.
constexpr int32_t kExNone = 0;
constexpr int32_t kExIllegalArgument = -3;
constexpr int32_t kExNullPointer = -4;
constexpr int32_t kExServiceSpecific = -8;

// The service manager's method codes in a release (0: the release has no such method). Each
// release's AIDL file numbers its methods in order, and new ones did not always come last.
struct ManagerCodes {
    uint32_t getService;
    uint32_t getService2; // answers the Service union
    uint32_t checkService;
    uint32_t checkService2; // answers the Service union
    uint32_t addService;
    uint32_t listServices;
    uint32_t isDeclared;
    uint32_t getServiceDebugInfo;
    bool checkServiceUnion; // checkService itself answers the Service union

    // What the release's own clients look a name up with, and whether the answer is the union.
    uint32_t lookup() const { return checkService2 ? checkService2 : checkService; }
    bool lookupUnion() const { return checkService2 ? true : checkServiceUnion; }
};

// What differs between the releases the peers play. One row per release.
struct Release {
    std::string_view name;   // as --release and start-peers.sh take it: 9 ... 15r6, 16
    uint32_t strictModeWord; // what this release's own clients put first
    bool workSourceWord;     // a work-source word follows the strict-mode word
    bool namespaceWord;      // "SYST" or "VNDR" follows, before the interface token
    bool stabilityWords;     // every binder object in a parcel is followed by a stability word
    bool aidlServiceManager; // the manager is the AIDL one (exception words, vector listing)
    bool pingStatusWord;     // a ping is answered with a 32-bit status rather than nothing
    bool debugBuiltins;      // DEBUG_PID and EXTENSION transactions are answered
    ManagerCodes manager;
    bool versionedStability;  // 12: the stability word is level << 24 | version, version at least 1
    uint32_t binderFlags;     // what the release's writer puts on a null or passed-on binder
    uint32_t descriptorFlags; // and on a descriptor
};
const Release *findRelease(std::string_view name);
// The names findRelease knows, for usage messages: "9|10|...".
std::string releaseNames();

// The two halves of a device: the system one (binder) and the vendor one (vndbinder).
struct Partition {
    uint32_t headerWord; // the namespace word of the request header
    int32_t stability;   // the stability level of the objects made on this side
};
constexpr Partition kSystem{packChars('S', 'Y', 'S', 'T'), 0x0c};
constexpr Partition kVendor{packChars('V', 'N', 'D', 'R'), 0x03};

class Binder;

struct Transaction {
    binder_transaction_data txn;
    ParcelReader data;
    uint32_t code() const { return txn.code; }
    bool oneway() const { return txn.flags & TF_ONE_WAY; }
};

// A reply to a transaction of ours; its buffer goes back to the driver with it.
class Reply {
public:
    Reply(Binder *owner, const binder_transaction_data &txn, ParcelReader data);
    Reply(Reply &&other) noexcept;
    Reply &operator=(Reply &&) = delete;
    ~Reply();
    bool statusOnly() const { return txn_.flags & TF_STATUS_CODE; }
    ParcelReader &data() { return data_; }

private:
    Binder *owner_;
    binder_transaction_data txn_;
    ParcelReader data_;
};

// One open binder device, its receive area and the single thread that serves it.
class Binder {
public:
    using Handler = std::function<void(Transaction &, ParcelWriter &)>;
    using DeathHandler = std::function<void(binder_uintptr_t cookie)>;

    static std::unique_ptr<Binder> open(const std::string &device);
    ~Binder();
    const std::string &device() const { return device_; }

    bool becomeContextManager();
    void onTransaction(Handler handler) { handler_ = std::move(handler); }
    void onDeath(DeathHandler handler) { deathHandler_ = std::move(handler); }

    // A two-way call; incoming transactions that arrive meanwhile (calls back into this
    // process) are served. nullopt with a message on standard error when no reply came.
    std::optional<Reply> transact(uint32_t handle, uint32_t code, const ParcelWriter &data);
    // A one-way call: true once the driver has taken it.
    bool send(uint32_t handle, uint32_t code, const ParcelWriter &data);
    void incRefs(uint32_t handle);
    void acquire(uint32_t handle);
    void release(uint32_t handle);
    void linkToDeath(uint32_t handle, binder_uintptr_t cookie);
    void freeBuffer(binder_uintptr_t buffer);
    [[noreturn]] void serve();

private:
    enum class Step { More, Complete, Reply, Dead, Failed };
    Binder() = default;
    bool write(const void *bytes, size_t size);
    std::optional<uint32_t> nextCommand(const uint8_t **payload);
    Step step(std::optional<Reply> *reply);
    void dispatch(const binder_transaction_data &txn);
    bool writeTransaction(uint32_t handle, uint32_t code, const ParcelWriter &data, uint32_t flags);

    std::string device_;
    int fd_ = -1;
    uint8_t *map_ = nullptr;
    size_t mapSize_ = 0;
    uint8_t readBuffer_[4096];
    size_t readSize_ = 0;
    size_t readPos_ = 0;
    Handler handler_;
    DeathHandler deathHandler_;
};

// The request header of a release, as its clients write it and its objects check it.
void writeInterfaceToken(ParcelWriter &out, const Release &release, const Partition &partition,
                         std::u16string_view descriptor);
bool enforceInterface(ParcelReader &in, const Release &release, const Partition &partition,
                      std::u16string_view descriptor);
// A binder object as written by a release that may follow it with its stability word.
void writeLocalBinder(ParcelWriter &out, const Release &release, const Partition &partition, binder_uintptr_t binder);
void writeNullBinder(ParcelWriter &out, const Release &release);
// The stability word of a level as the release writes it, and whether the release's reader
// takes a word (12 refuses a versioned word below version 1, null binders included).
int32_t stabilityWord(const Release &release, int32_t level);
bool stabilityAccepted(const Release &release, int32_t word);

constexpr std::u16string_view kServiceManagerDescriptor = u"android.os.IServiceManager";
// The tags of the Service union: the service with what the manager knows of it, or the
// binder of an accessor that hands the service out.
constexpr int32_t kServiceWithMetadata = 0;
constexpr int32_t kServiceAccessor = 1;

// A lookup of name with the manager of the binder's device, as the release's own client
// makes it and reads the answer. A handle in it stays valid while the reply is kept.
struct Lookup {
    std::optional<Reply> reply;               // nullopt: no reply at all
    std::optional<flat_binder_object> object; // nullopt: the manager refused or has none
    int32_t stability = 0;
    bool refused = false; // a status-only answer, an exception or a malformed reply
};
Lookup lookupService(Binder &binder, const Release &release, const Partition &partition, std::u16string_view name);

// Registers node under name with the manager of the binder's device, as a service of the
// release does; dies with a message when the manager does not take it.
void registerService(Binder &binder, const Release &release, const Partition &partition, const std::string &name,
                     binder_uintptr_t node, int32_t dumpPriority);

// An AIDL error reply: the exception, its message, an empty remote stack trace and, for a
// service-specific error, its code.
void writeException(ParcelWriter &out, int32_t exception, std::string_view message, int32_t serviceSpecific = 0);

// What every binder object answers before its own methods: ping, interface, dump and the rest.
struct BuiltinObject {
    std::u16string descriptor;
    std::function<void(int fd, const std::vector<std::u16string> &args)> dump;
};
// true when the code was a builtin one and the reply is written.
bool answerBuiltin(const Release &release, const BuiltinObject &object, Transaction &in, ParcelWriter &reply);

// hwbinder: the methods every hidl object answers, for an object whose interface chain (most
// derived first) is given. true when the code was one of them and the reply is written.
constexpr uint32_t kHidlInterfaceChain = packChars(0x0f, 'C', 'H', 'N');
constexpr uint32_t kHidlInterfaceDescriptor = packChars(0x0f, 'D', 'S', 'C');
constexpr uint32_t kHidlPing = packChars(0x0f, 'P', 'N', 'G');
constexpr uint32_t kHidlGetDebugInfo = packChars(0x0f, 'R', 'E', 'F');
constexpr uint32_t kHidlGetHashChain = packChars(0x0f, 'H', 'S', 'H');
constexpr uint32_t kHidlDebug = packChars(0x0f, 'D', 'B', 'G');
constexpr std::string_view kHidlBase = "android.hidl.base@1.0::IBase";
bool answerHidlBase(const std::vector<std::string> &chain, Transaction &in, ParcelWriter &reply);

// Command line: --key value pairs and the bare flags --vendor, --detach, --hidl, --oneway,
// --lie and --evil; repeated keys keep every value; other words are left in unknown().
class Options {
public:
    Options(int argc, char **argv);
    std::optional<std::string> get(const std::string &key) const;
    std::vector<std::string> all(const std::string &key) const;
    bool has(const std::string &key) const { return values_.count(key) != 0; }
    const std::vector<std::string> &unknown() const { return unknown_; }

    // The release that --release names; null when it is missing or unknown.
    const Release *release() const;

private:
    std::multimap<std::string, std::string> values_;
    std::vector<std::string> unknown_;
};

// The program's name for messages, set from argv[0].
void setProgramName(const char *argv0);
[[noreturn]] void die(const std::string &message);
void warn(const std::string &message);

// Start-up handshake: the launching command returns once the peer is ready (status 0) or has
// failed (status 1 with its message), so the next peer never meets a missing manager. Without
// detaching, the peer stays in the foreground and ready() only moves its output to the log.
void detachUntilReady(bool detach, int timeoutSeconds);
void ready(const std::optional<std::string> &logPath);

} // namespace peer
