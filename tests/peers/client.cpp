// A small client for trying the peers in the machine without the tool: look names up, list
// them, ping a service or ask its interface, as a client of the given release would.
//
//   peer-client --release 9|10|11 [--device PATH] [--vendor] list | check NAME | ping NAME |
//               interface NAME
//   peer-client --hidl [--device PATH] list
#include <cstdio>
#include <cstdlib>
#include <string>

#include "peer.h"

namespace {

using namespace peer;

const std::u16string kServiceManager = u"android.os.IServiceManager";

int hidlList(Binder& binder) {
    ParcelWriter request;
    request.cstring("android.hidl.manager@1.0::IServiceManager");
    auto reply = binder.transact(0, 4, request);
    if (!reply) return 1;
    auto status = reply->data().i32();
    if (reply->statusOnly() || status != kOk) {
        std::printf("status %d\n", status.value_or(0));
        return 1;
    }
    auto names = reply->data().hidlStringVector();
    if (!names) {
        std::printf("malformed list\n");
        return 1;
    }
    for (const std::string& name : *names) std::printf("%s\n", name.c_str());
    return 0;
}

class Client {
public:
    Client(Binder& binder, const Release& release, const Partition& partition)
        : binder_(binder), release_(release), partition_(partition) {}

    std::optional<uint32_t> lookup(const std::string& name) {
        ParcelWriter request;
        writeInterfaceToken(request, release_, partition_, kServiceManager);
        request.string16(name);
        auto reply = binder_.transact(0, 2, request);
        if (!reply) return std::nullopt;
        if (reply->statusOnly()) {
            std::printf("lookup refused with status %d\n", reply->data().i32().value_or(0));
            return std::nullopt;
        }
        if (release_.aidlServiceManager && reply->data().i32() != kExNone) return std::nullopt;
        auto object = reply->data().object();
        if (!object || object->hdr.type != BINDER_TYPE_HANDLE) return std::nullopt;
        return object->handle;
    }

    int list() {
        if (release_.aidlServiceManager) {
            ParcelWriter request;
            writeInterfaceToken(request, release_, partition_, kServiceManager);
            request.i32(15);
            auto reply = binder_.transact(0, 4, request);
            if (!reply || reply->statusOnly() || reply->data().i32() != kExNone) return 1;
            int32_t count = reply->data().i32().value_or(0);
            for (int32_t i = 0; i < count; ++i)
                std::printf("%s\n", narrow(reply->data().string16().value_or(u"?")).c_str());
            return 0;
        }
        for (uint32_t index = 0;; ++index) {
            ParcelWriter request;
            writeInterfaceToken(request, release_, partition_, kServiceManager);
            request.u32(index);
            request.i32(15);
            auto reply = binder_.transact(0, 4, request);
            if (!reply) return 1;
            if (reply->statusOnly()) return 0;
            std::printf("%s\n", narrow(reply->data().string16().value_or(u"?")).c_str());
        }
    }

    int call(const std::string& name, uint32_t code) {
        auto handle = lookup(name);
        if (!handle) {
            std::printf("%s: not found\n", name.c_str());
            return 1;
        }
        ParcelWriter request;
        auto reply = binder_.transact(*handle, code, request);
        if (!reply) return 1;
        if (code == kInterfaceTransaction) {
            std::printf("%s\n", narrow(reply->data().string16().value_or(u"?")).c_str());
        } else {
            std::printf("%zu bytes%s\n", reply->data().size(),
                        reply->statusOnly() ? " (status only)" : "");
        }
        return 0;
    }

private:
    Binder& binder_;
    const Release& release_;
    const Partition& partition_;
};

[[noreturn]] void usage() {
    die("usage: peer-client --release 9|10|11 [--device PATH] [--vendor] "
        "list|check NAME|ping NAME|interface NAME\n"
        "       peer-client --hidl [--device PATH] list");
}

}  // namespace

int main(int argc, char** argv) {
    setProgramName(argv[0]);
    Options options(argc, argv);
    const auto& words = options.unknown();
    if (words.empty()) usage();
    if (options.has("hidl")) {
        if (words[0] != "list") usage();
        auto binder = Binder::open(options.get("device").value_or("/dev/hwbinder"));
        return hidlList(*binder);
    }
    auto releaseWord = options.get("release");
    const Release* release = releaseWord ? findRelease(std::atoi(releaseWord->c_str())) : nullptr;
    if (!release) usage();
    auto binder = Binder::open(options.get("device").value_or("/dev/binder"));
    Client client(*binder, *release, options.has("vendor") ? kVendor : kSystem);
    if (words[0] == "list" && words.size() == 1) return client.list();
    if (words.size() != 2) usage();
    if (words[0] == "check") {
        bool found = client.lookup(words[1]).has_value();
        std::printf("%s: %s\n", words[1].c_str(), found ? "found" : "not found");
        return found ? 0 : 1;
    }
    if (words[0] == "ping") return client.call(words[1], kPingTransaction);
    if (words[0] == "interface") return client.call(words[1], kInterfaceTransaction);
    usage();
}
