// The hidl manager of hwbinder: services register an instance name, the manager asks each one
// for its interface and lists "interface/instance" in order, with scatter-gather buffers. It
// answers get and getTransport for a name, and refuses a name whose buffers are not exactly
// as the platform's library writes them with BAD_VALUE, as the platform's manager does. One
// name is passthrough, as a device's manifest declares such HALs: not reachable over hwbinder.
//
//   peer-hwservicemanager [--device /dev/hwbinder] [--lie] [--detach] [--log FILE]
//
// It also answers listByInterface and debugDump as the platform's does: the instances of one
// interface, and each service's names and process (no client pids, arch unknown: those the
// platform's own tool finds out for itself).
//
// --lie makes each list answer the next of three lies about its records, in turn: the
// vector's record points at an address where no buffer was sent; the vector counts 1000 more
// names than its records buffer holds; the second name's record counts 4096 more characters
// than its buffer holds. The driver points every record at the buffer sent for it, but it
// never checks the counts. Each get answers the next of three lies too: a buffer where the
// binder belongs; the status word alone; a buffer naming as its parent an object after it,
// which the driver refuses to deliver.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "peer.h"

namespace {

using namespace peer;

const std::string kDescriptor = "android.hidl.manager@1.0::IServiceManager";
const std::string kOwnInstance = "default";

constexpr uint32_t kGet = 1;
constexpr uint32_t kAdd = 2;
constexpr uint32_t kGetTransport = 3;
constexpr uint32_t kList = 4;
constexpr uint32_t kListByInterface = 5;
constexpr uint32_t kDebugDump = 7;
constexpr std::array kAnswered{kGet, kAdd, kGetTransport, kList, kListByInterface, kDebugDump};
enum Transport : int32_t { kEmpty, kHwbinder, kPassthrough };
const std::pair<std::string, std::string> kPassthroughName{"vendor.example.light@1.0::ILight", "default"};

// The 16-byte record of a hidl string or vector: address, count, owns-buffer flag.
struct HidlRecord {
    uint64_t address;
    uint32_t count;
    uint32_t ownsBuffer;
};
constexpr uint64_t kNowhere = 0x1000;
constexpr size_t kInstanceDebugInfoSize = 64; // two names, pid, a vector of client pids, arch

std::string_view bytesOf(const HidlRecord &record) { return {reinterpret_cast<const char *>(&record), sizeof record}; }

// The lie of a get's turn, after the status word.
void writeLyingService(ParcelWriter &out, unsigned turn)
{
    if (turn == 0)
        out.bufferObject(std::string(sizeof(flat_binder_object), '\0'));
    if (turn == 2) {
        out.bufferObject("late\0", 1, 0);
        out.bufferObject(bytesOf(HidlRecord{0, 4, 1}));
    }
}

// The names as a hidl_vec<hidl_string> with the lie of the given turn in its records.
void writeLyingNames(ParcelWriter &out, const std::vector<std::string> &names, unsigned turn)
{
    HidlRecord vector{0, uint32_t(names.size()), 1};
    if (turn == 0) {
        vector.address = kNowhere; // no child buffer, so the driver leaves it as it is
        out.bufferObject(bytesOf(vector));
        return;
    }
    if (turn == 1)
        vector.count += 1000;
    size_t vectorIndex = out.bufferObject(bytesOf(vector));
    std::string records(sizeof(HidlRecord) * names.size(), '\0');
    for (size_t i = 0; i < names.size(); ++i) {
        HidlRecord record{0, uint32_t(names[i].size() + (turn == 2 && i == 1 ? 4096 : 0)), 1};
        std::memcpy(records.data() + sizeof record * i, &record, sizeof record);
    }
    size_t recordsIndex = out.bufferObject(records, vectorIndex, 0);
    for (size_t i = 0; i < names.size(); ++i)
        out.bufferObject(names[i] + '\0', recordsIndex, sizeof(HidlRecord) * i);
}

class HidlManager {
public:
    HidlManager(Binder &binder, bool lie) : binder_(binder), lie_(lie)
    {
        services_[{kDescriptor, kOwnInstance}] = Entry{true, 0, getpid()};
    }

    void handle(Transaction &in, ParcelWriter &reply)
    {
        if (answerHidlBase({kDescriptor, std::string(kHidlBase)}, in, reply))
            return;
        if (std::find(kAnswered.begin(), kAnswered.end(), in.code()) == kAnswered.end())
            return reply.setStatus(kUnknownTransaction);
        if (in.data.cstring() != kDescriptor)
            return reply.setStatus(kBadType);
        switch (in.code()) {
        case kGet:
        case kGetTransport: {
            auto fqName = in.data.hidlString();
            auto instance = fqName ? in.data.hidlString() : std::nullopt;
            if (!instance)
                return reply.setStatus(kBadValue);
            reply.i32(kOk);
            auto found = services_.find({*fqName, *instance});
            if (in.code() == kGetTransport)
                return reply.i32(found != services_.end()                            ? kHwbinder
                                 : std::pair(*fqName, *instance) == kPassthroughName ? kPassthrough
                                                                                     : kEmpty);
            if (lie_)
                writeLyingService(reply, gets_++ % 3);
            else if (found == services_.end())
                reply.localObject(0, 0);
            else if (found->second.local)
                reply.localObject(selfNode(), selfNode());
            else
                reply.handleObject(found->second.handle);
            return;
        }
        case kAdd: return add(in, reply);
        case kList: {
            std::vector<std::string> names;
            for (const auto &[key, entry] : services_)
                names.push_back(key.first + "/" + key.second);
            reply.i32(kOk);
            if (lie_)
                writeLyingNames(reply, names, lists_++ % 3);
            else
                reply.hidlStringVector(names);
            return;
        }
        case kListByInterface: {
            auto fqName = in.data.hidlString();
            if (!fqName)
                return reply.setStatus(kBadValue);
            std::vector<std::string> instances;
            for (const auto &[key, entry] : services_)
                if (key.first == *fqName)
                    instances.push_back(key.second);
            reply.i32(kOk);
            return reply.hidlStringVector(instances);
        }
        case kDebugDump: reply.i32(kOk); return debugDump(reply);
        }
    }

    void died(binder_uintptr_t handle)
    {
        for (auto it = services_.begin(); it != services_.end();) {
            if (!it->second.local && it->second.handle == handle) {
                binder_.release(uint32_t(handle));
                it = services_.erase(it);
            } else {
                ++it;
            }
        }
    }

private:
    struct Entry {
        bool local;
        uint32_t handle;
        int32_t pid;
    };

    // hidl_vec<InstanceDebugInfo>: the vector, its elements, then each element's two names and
    // its empty vector of client pids, children at their offsets in the elements. The driver
    // writes each child's address into its parent.
    void debugDump(ParcelWriter &reply)
    {
        std::string elements(kInstanceDebugInfoSize * services_.size(), '\0');
        size_t i = 0;
        for (const auto &[key, entry] : services_) {
            char *element = elements.data() + kInstanceDebugInfoSize * i++;
            HidlRecord interfaceName{0, uint32_t(key.first.size()), 1}, instanceName{0, uint32_t(key.second.size()), 1};
            std::memcpy(element, &interfaceName, sizeof interfaceName);
            std::memcpy(element + 16, &instanceName, sizeof instanceName);
            std::memcpy(element + 32, &entry.pid, sizeof entry.pid);
            HidlRecord clientPids{0, 0, 1};
            std::memcpy(element + 40, &clientPids, sizeof clientPids);
        }
        size_t vector = reply.bufferObject(bytesOf(HidlRecord{0, uint32_t(services_.size()), 1}));
        size_t array = reply.bufferObject(elements, vector, 0);
        i = 0;
        for (const auto &[key, entry] : services_) {
            size_t at = kInstanceDebugInfoSize * i++;
            reply.bufferObject(key.first + '\0', array, at);
            reply.bufferObject(key.second + '\0', array, at + 16);
            reply.bufferObject("", array, at + 40);
        }
    }

    binder_uintptr_t selfNode() const { return addressOf(this); }

    // The service is asked for its interface while its own call to add waits: the driver
    // brings the question to that waiting thread.
    void add(Transaction &in, ParcelWriter &reply)
    {
        auto instance = in.data.hidlString();
        auto object = instance ? in.data.object() : std::nullopt;
        if (!object)
            return reply.setStatus(kBadType);
        reply.i32(kOk);
        if (object->hdr.type != BINDER_TYPE_HANDLE)
            return reply.i32(0);
        uint32_t handle = object->handle;

        ParcelWriter question;
        question.cstring(kHidlBase);
        auto answer = binder_.transact(handle, kHidlInterfaceDescriptor, question);
        std::optional<std::string> descriptor;
        if (answer && !answer->statusOnly() && answer->data().i32() == kOk)
            descriptor = answer->data().hidlString();
        if (!descriptor)
            return reply.i32(0);

        auto key = std::make_pair(*descriptor, *instance);
        auto existing = services_.find(key);
        if (existing != services_.end() && !existing->second.local)
            binder_.release(existing->second.handle);
        services_[key] = Entry{false, handle, in.txn.sender_pid};
        binder_.acquire(handle);
        binder_.linkToDeath(handle, handle);
        reply.i32(1);
    }

    Binder &binder_;
    bool lie_;
    unsigned lists_ = 0, gets_ = 0;
    std::map<std::pair<std::string, std::string>, Entry> services_;
};

} // namespace

int main(int argc, char **argv)
{
    setProgramName(argv[0]);
    Options options(argc, argv);
    if (!options.unknown().empty())
        die("usage: peer-hwservicemanager [--device PATH] [--lie] [--detach] [--log FILE]");
    detachUntilReady(options.has("detach"), 10);
    auto binder = Binder::open(options.get("device").value_or("/dev/hwbinder"));
    if (!binder->becomeContextManager())
        return 1;
    HidlManager manager(*binder, options.has("lie"));
    binder->onTransaction([&](Transaction &in, ParcelWriter &reply) { manager.handle(in, reply); });
    binder->onDeath([&](binder_uintptr_t cookie) { manager.died(cookie); });
    ready(options.get("log"));
    binder->serve();
}
