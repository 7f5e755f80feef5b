// The hidl manager of hwbinder: services register an instance name, the manager asks each one
// for its interface and lists "interface/instance" in order, with scatter-gather buffers.
//
//   peer-hwservicemanager [--device /dev/hwbinder] [--detach] [--log FILE]
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
constexpr uint32_t kList = 4;

class HidlManager {
public:
    explicit HidlManager(Binder &binder) : binder_(binder) { services_[{kDescriptor, kOwnInstance}] = Entry{true, 0}; }

    void handle(Transaction &in, ParcelWriter &reply)
    {
        if (answerHidlBase({kDescriptor, std::string(kHidlBase)}, in, reply))
            return;
        if (in.code() != kGet && in.code() != kAdd && in.code() != kList)
            return reply.setStatus(kUnknownTransaction);
        if (in.data.cstring() != kDescriptor)
            return reply.setStatus(kBadType);
        switch (in.code()) {
        case kGet: {
            auto fqName = in.data.hidlString();
            auto instance = fqName ? in.data.hidlString() : std::nullopt;
            if (!instance)
                return reply.setStatus(kBadType);
            reply.i32(kOk);
            auto found = services_.find({*fqName, *instance});
            if (found == services_.end())
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
            reply.hidlStringVector(names);
            return;
        }
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
    };

    binder_uintptr_t selfNode() const { return reinterpret_cast<binder_uintptr_t>(this); }

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
        services_[key] = Entry{false, handle};
        binder_.acquire(handle);
        binder_.linkToDeath(handle, handle);
        reply.i32(1);
    }

    Binder &binder_;
    std::map<std::pair<std::string, std::string>, Entry> services_;
};

} // namespace

int main(int argc, char **argv)
{
    setProgramName(argv[0]);
    Options options(argc, argv);
    if (!options.unknown().empty())
        die("usage: peer-hwservicemanager [--device PATH] [--detach] [--log FILE]");
    detachUntilReady(options.has("detach"), 10);
    auto binder = Binder::open(options.get("device").value_or("/dev/hwbinder"));
    if (!binder->becomeContextManager())
        return 1;
    HidlManager manager(*binder);
    binder->onTransaction([&](Transaction &in, ParcelWriter &reply) { manager.handle(in, reply); });
    binder->onDeath([&](binder_uintptr_t cookie) { manager.died(cookie); });
    ready(options.get("log"));
    binder->serve();
}
