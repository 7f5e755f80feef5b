// The service manager of one binder device, as the given Android release has it: the classic
// one of 9 and 10 (answers one name per index, newest registration first) or the AIDL one of
// 11 on (exception words, stability words, the whole sorted list at once, itself as "manager"),
// with the method numbering of its release (see ManagerCodes in peer.h).
//
//   peer-servicemanager --release 9|10|11|12|15|15r6|16 [--device /dev/binder] [--vendor]
//                       [--crowd N] [--lie] [--detach] [--log FILE]
//
// --vendor makes it the vendor side's manager (the "VNDR" header word and vendor stability).
// Two hostile listings, for clients that must not believe them: --crowd N lists N more names
// after the registered ones (crowd.0 on), which no lookup finds; --lie announces three names
// more than the vector listing holds, or, per index, answers the index after the last name
// with a name whose length word promises more characters than the reply has.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "peer.h"

namespace {

using namespace peer;

const std::u16string kDescriptor(kServiceManagerDescriptor);

constexpr int32_t kClassicFailure = -1;
constexpr size_t kMaxNameLength = 127;

// What a hostile listing adds to the registered names.
struct Listing {
    uint32_t crowd = 0;
    bool lie = false;
    std::string crowdName(uint32_t i) const { return "crowd." + std::to_string(i); }
};

// The classic manager, a loop over raw requests: every failure is the status -1, a lookup
// miss is the word 0, and a dead service stays listed with no handle.
class ClassicManager {
public:
    ClassicManager(Binder &binder, const Release &release, const Partition &partition, const Listing &listing)
        : binder_(binder), release_(release), partition_(partition), listing_(listing)
    {
    }

    void handle(Transaction &in, ParcelWriter &reply)
    {
        if (in.txn.target.ptr != 0)
            return reply.setStatus(kClassicFailure);
        if (in.code() == kPingTransaction)
            return;
        if (!enforceInterface(in.data, release_, partition_, kDescriptor))
            return reply.setStatus(kClassicFailure);
        const ManagerCodes &codes = release_.manager;
        uint32_t code = in.code();
        if (code == codes.getService || code == codes.checkService) {
            auto name = in.data.string16();
            if (!name)
                return reply.setStatus(kClassicFailure);
            const Entry *entry = find(*name);
            if (entry && entry->handle != 0)
                reply.handleObject(entry->handle);
            else
                reply.u32(0);
            return;
        }
        if (code == codes.addService) {
            auto name = in.data.string16();
            if (!name)
                return reply.setStatus(kClassicFailure);
            auto object = in.data.object();
            uint32_t handle = object && object->hdr.type == BINDER_TYPE_HANDLE ? object->handle : 0;
            bool allowIsolated = in.data.u32().value_or(0) != 0;
            int32_t dumpPriority = in.data.i32().value_or(0);
            if (handle == 0 || name->empty() || name->size() > kMaxNameLength)
                return reply.setStatus(kClassicFailure);
            add(*name, handle, allowIsolated, dumpPriority);
            reply.u32(0);
            return;
        }
        if (code == codes.listServices) {
            uint32_t index = in.data.u32().value_or(0);
            int32_t dumpPriority = in.data.i32().value_or(0);
            for (const Entry &entry : services_) {
                if (!(entry.dumpPriority & dumpPriority))
                    continue;
                if (index-- == 0)
                    return reply.string16(entry.name);
            }
            if (index < listing_.crowd)
                return reply.string16(listing_.crowdName(index));
            if (listing_.lie && index == listing_.crowd) {
                reply.u32(100); // the length of a name that is not there
                reply.u32(0);
                return;
            }
            return reply.setStatus(kClassicFailure);
        }
        reply.setStatus(kClassicFailure);
    }

    void died(binder_uintptr_t cookie)
    {
        for (Entry &entry : services_)
            if (entry.deathCookie == cookie && entry.handle != 0)
                forget(entry);
    }

private:
    struct Entry {
        std::u16string name;
        uint32_t handle;
        bool allowIsolated;
        int32_t dumpPriority;
        binder_uintptr_t deathCookie;
    };

    Entry *find(const std::u16string &name)
    {
        auto found =
            std::find_if(services_.begin(), services_.end(), [&](const Entry &entry) { return entry.name == name; });
        return found == services_.end() ? nullptr : &*found;
    }

    void forget(Entry &entry)
    {
        binder_.release(entry.handle);
        entry.handle = 0;
    }

    void add(const std::u16string &name, uint32_t handle, bool allowIsolated, int32_t dumpPriority)
    {
        Entry *entry = find(name);
        if (entry) {
            // Registered again: the old handle goes, the first registration's priority stays.
            if (entry->handle != 0)
                forget(*entry);
            entry->handle = handle;
        } else {
            services_.push_front(Entry{name, handle, allowIsolated, dumpPriority, 0});
            entry = &services_.front();
        }
        // Keep the handle beyond the request's buffer, and hear of its death.
        entry->deathCookie = ++lastCookie_ << 32 | handle;
        binder_.acquire(handle);
        binder_.linkToDeath(handle, entry->deathCookie);
    }

    Binder &binder_;
    const Release &release_;
    const Partition &partition_;
    const Listing &listing_;
    std::list<Entry> services_; // newest registration first
    binder_uintptr_t lastCookie_ = 0;
};

bool isValidServiceName(const std::string &name)
{
    if (name.empty() || name.size() > kMaxNameLength)
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
               c == '.' || c == '/';
    });
}

// The AIDL manager: header and token checked per method, replies led by an exception word,
// services kept in name order, dead ones dropped. It also answers as an ordinary binder
// object, on the context node and on the node it hands out for itself.
class AidlManager {
public:
    AidlManager(Binder &binder, const Release &release, const Partition &partition, const Listing &listing)
        : binder_(binder), release_(release), partition_(partition), listing_(listing)
    {
        builtin_.descriptor = kDescriptor;
        services_["manager"] = Entry{true, 0, false, 8, stabilityWord(release, partition.stability), int32_t(getpid())};
    }

    void handle(Transaction &in, ParcelWriter &reply)
    {
        if (answerBuiltin(release_, builtin_, in, reply))
            return;
        auto method = methodOf(in.code());
        if (!method)
            return reply.setStatus(kUnknownTransaction);
        if (!enforceInterface(in.data, release_, partition_, kDescriptor))
            return reply.setStatus(kBadType);
        switch (*method) {
        case Method::GetService:
        case Method::GetService2:
        case Method::CheckService:
        case Method::CheckService2: {
            auto name = in.data.string16();
            if (!name)
                return writeException(reply, kExNullPointer, "");
            auto found = services_.find(narrow(*name));
            const Entry *entry = found == services_.end() ? nullptr : &found->second;
            reply.i32(kExNone);
            bool asUnion = *method == Method::GetService2 || *method == Method::CheckService2 ||
                           (*method == Method::CheckService && release_.manager.checkServiceUnion);
            if (asUnion)
                writeServiceUnion(reply, entry);
            else
                writeBinder(reply, entry);
            return;
        }
        case Method::AddService: return addService(in, reply);
        case Method::ListServices: {
            auto dumpPriority = in.data.i32();
            if (!dumpPriority)
                return reply.setStatus(kNotEnoughData);
            std::vector<std::string> names;
            for (const auto &[name, entry] : services_)
                if (entry.dumpPriority & *dumpPriority)
                    names.push_back(name);
            for (uint32_t i = 0; i < listing_.crowd; ++i)
                names.push_back(listing_.crowdName(i));
            reply.i32(kExNone);
            reply.i32(int32_t(names.size() + (listing_.lie ? 3 : 0)));
            for (const std::string &name : names)
                reply.string16(name);
            return;
        }
        case Method::IsDeclared: {
            // No interface manifest on this machine: nothing is declared.
            if (!in.data.string16())
                return writeException(reply, kExNullPointer, "");
            reply.i32(kExNone);
            reply.i32(0);
            return;
        }
        case Method::GetServiceDebugInfo: {
            // Every registration with the process that made it, each a parcelable.
            reply.i32(kExNone);
            reply.i32(int32_t(services_.size()));
            for (const auto &[name, entry] : services_) {
                reply.i32(1); // not null
                size_t start = reply.beginSized();
                reply.string16(name);
                reply.i32(entry.debugPid);
                reply.endSized(start);
            }
            return;
        }
        }
    }

    void died(binder_uintptr_t handle)
    {
        for (auto it = services_.begin(); it != services_.end();) {
            if (!it->second.local && it->second.handle == handle) {
                binder_.release(handle);
                it = services_.erase(it);
            } else {
                ++it;
            }
        }
    }

private:
    struct Entry {
        bool local; // this manager itself
        uint32_t handle;
        bool allowIsolated;
        int32_t dumpPriority;
        int32_t stability;
        int32_t debugPid; // the process that registered it
    };

    enum class Method {
        GetService,
        GetService2,
        CheckService,
        CheckService2,
        AddService,
        ListServices,
        IsDeclared,
        GetServiceDebugInfo
    };

    // The method a code stands for in this release: nullopt past its last method, and for the
    // methods in between that no peer needs.
    std::optional<Method> methodOf(uint32_t code) const
    {
        const ManagerCodes &c = release_.manager;
        const std::pair<uint32_t, Method> table[] = {
            {c.getService, Method::GetService},     {c.getService2, Method::GetService2},
            {c.checkService, Method::CheckService}, {c.checkService2, Method::CheckService2},
            {c.addService, Method::AddService},     {c.listServices, Method::ListServices},
            {c.isDeclared, Method::IsDeclared},     {c.getServiceDebugInfo, Method::GetServiceDebugInfo},
        };
        for (auto [number, method] : table)
            if (number != 0 && number == code)
                return method;
        return std::nullopt;
    }

    // The registered binder, or the null one for a name nobody registered.
    void writeBinder(ParcelWriter &reply, const Entry *entry)
    {
        if (!entry)
            return writeNullBinder(reply, release_);
        if (entry->local)
            return writeLocalBinder(reply, release_, partition_, selfNode());
        reply.handleObject(entry->handle);
        reply.i32(entry->stability);
    }

    // The Service union, always the service with its metadata here: no accessors and no lazy
    // services on this machine. A miss is the null binder inside it.
    void writeServiceUnion(ParcelWriter &reply, const Entry *entry)
    {
        reply.i32(1); // the union is not null
        reply.i32(kServiceWithMetadata);
        reply.i32(1); // nor is the parcelable in it
        size_t start = reply.beginSized();
        writeBinder(reply, entry);
        reply.i32(0); // isLazyService
        reply.endSized(start);
    }

    binder_uintptr_t selfNode() const { return addressOf(this); }

    void addService(Transaction &in, ParcelWriter &reply)
    {
        auto name = in.data.string16();
        if (!name)
            return writeException(reply, kExNullPointer, "");
        auto object = in.data.object();
        if (!object)
            return reply.setStatus(kBadType);
        auto stability = in.data.i32();
        auto allowIsolated = in.data.i32();
        auto dumpPriority = in.data.i32();
        if (!stability || !allowIsolated || !dumpPriority)
            return reply.setStatus(kNotEnoughData);
        if (!stabilityAccepted(release_, *stability))
            return reply.setStatus(kBadType);
        if (object->binder == 0 && object->cookie == 0)
            return writeException(reply, kExNullPointer, "");
        std::string key = narrow(*name);
        if (!isValidServiceName(key))
            return writeException(reply, kExIllegalArgument, "");

        Entry entry{false, 0, *allowIsolated != 0, *dumpPriority, *stability, in.txn.sender_pid};
        if (object->hdr.type == BINDER_TYPE_HANDLE) {
            entry.handle = object->handle;
            binder_.acquire(entry.handle);
            binder_.linkToDeath(entry.handle, entry.handle);
        } else if (object->hdr.type == BINDER_TYPE_BINDER && object->binder == selfNode()) {
            entry.local = true;
        } else {
            return writeException(reply, kExIllegalArgument, "");
        }
        auto existing = services_.find(key);
        if (existing != services_.end() && !existing->second.local)
            binder_.release(existing->second.handle);
        services_[key] = entry;
        reply.i32(kExNone);
    }

    Binder &binder_;
    const Release &release_;
    const Partition &partition_;
    const Listing &listing_;
    BuiltinObject builtin_;
    std::map<std::string, Entry> services_; // name order
};

[[noreturn]] void usage()
{
    die("usage: peer-servicemanager --release " + releaseNames() +
        " [--device PATH] [--vendor] [--crowd N] [--lie] [--detach] [--log FILE]");
}

} // namespace

int main(int argc, char **argv)
{
    setProgramName(argv[0]);
    Options options(argc, argv);
    const Release *release = options.release();
    if (!release || !options.unknown().empty())
        usage();
    std::string device = options.get("device").value_or("/dev/binder");
    const Partition &partition = options.has("vendor") ? kVendor : kSystem;
    Listing listing;
    listing.lie = options.has("lie");
    if (auto crowd = options.get("crowd"))
        listing.crowd = uint32_t(std::strtoul(crowd->c_str(), nullptr, 10));

    detachUntilReady(options.has("detach"), 10);
    auto binder = Binder::open(device);
    if (!binder->becomeContextManager())
        return 1;

    ClassicManager classic(*binder, *release, partition, listing);
    AidlManager aidl(*binder, *release, partition, listing);
    if (release->aidlServiceManager) {
        binder->onTransaction([&](Transaction &in, ParcelWriter &reply) { aidl.handle(in, reply); });
        binder->onDeath([&](binder_uintptr_t cookie) { aidl.died(cookie); });
    } else {
        binder->onTransaction([&](Transaction &in, ParcelWriter &reply) { classic.handle(in, reply); });
        binder->onDeath([&](binder_uintptr_t cookie) { classic.died(cookie); });
    }
    ready(options.get("log"));
    binder->serve();
}
