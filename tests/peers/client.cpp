// A small client for trying the peers in the machine without the tool: look names up, list
// them, ping a service or ask its interface, as a client of the given release would.
//
//   peer-client --release RELEASE [--device PATH] [--vendor] list | check NAME |
//               [--oneway] call NAME CODE [i:INT | l:LONG | f:FLOAT | d:DOUBLE | s:TEXT]...
//   peer-client --release RELEASE [--device PATH] [--vendor] [--detach] [--log FILE] hold NAME
// RELEASE is one that peer-servicemanager plays (9, 10, 11, 12, 15, 15r6 or 16); lookups and
// the listing use its numbering of the manager's methods. NAME "manager" is the AIDL manager
// itself, so that "call manager CODE" shows how it answers any of its codes.
// A call prints the reply's words in hexadecimal, then one line for each object in it: what
// a handle answers for its interface, or where a descriptor leads. The code is a method
// number or a builtin such as _PNG; _DMP hands over standard output and sends the remaining
// words as arguments. A one-way call prints only that it went. hold looks NAME up, keeps a
// weak and a strong reference on the handle, as a process that uses a service does, and stays
// until it is killed: a user of the service that the driver's state files show.
//   peer-client --hidl [--device PATH] list
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "peer.h"

namespace {

using namespace peer;

int hidlList(Binder &binder)
{
    ParcelWriter request;
    request.cstring("android.hidl.manager@1.0::IServiceManager");
    auto reply = binder.transact(0, 4, request);
    if (!reply)
        return 1;
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
    for (const std::string &name : *names)
        std::printf("%s\n", name.c_str());
    return 0;
}

class Client {
public:
    Client(Binder &binder, const Release &release, const Partition &partition)
        : binder_(binder), release_(release), partition_(partition)
    {
    }

    std::optional<uint32_t> lookup(const std::string &name)
    {
        Lookup found = lookupService(binder_, release_, partition_, widen(name));
        if (found.reply && found.reply->statusOnly()) {
            std::printf("lookup refused with status %d\n", found.reply->data().i32().value_or(0));
            return std::nullopt;
        }
        if (found.refused)
            std::printf("lookup refused\n");
        if (!found.object || found.object->hdr.type != BINDER_TYPE_HANDLE)
            return std::nullopt;
        // The handle would go with the reply's buffer: keep it.
        binder_.acquire(found.object->handle);
        return found.object->handle;
    }

    [[noreturn]] void hold(const std::string &name, const std::optional<std::string> &log)
    {
        auto handle = lookup(name);
        if (!handle)
            die(name + ": not found");
        // lookup() took the strong reference; a weak one goes with it, as with any proxy.
        binder_.incRefs(*handle);
        std::printf("holding %s as handle %u\n", name.c_str(), *handle);
        ready(log);
        for (;;)
            pause();
    }

    int list()
    {
        if (release_.aidlServiceManager) {
            ParcelWriter request;
            writeInterfaceToken(request, release_, partition_, kServiceManagerDescriptor);
            request.i32(15);
            auto reply = binder_.transact(0, release_.manager.listServices, request);
            if (!reply || reply->statusOnly() || reply->data().i32() != kExNone)
                return 1;
            int32_t count = reply->data().i32().value_or(0);
            for (int32_t i = 0; i < count; ++i)
                std::printf("%s\n", narrow(reply->data().string16().value_or(u"?")).c_str());
            return 0;
        }
        for (uint32_t index = 0;; ++index) {
            ParcelWriter request;
            writeInterfaceToken(request, release_, partition_, kServiceManagerDescriptor);
            request.u32(index);
            request.i32(15);
            auto reply = binder_.transact(0, release_.manager.listServices, request);
            if (!reply)
                return 1;
            if (reply->statusOnly())
                return 0;
            std::printf("%s\n", narrow(reply->data().string16().value_or(u"?")).c_str());
        }
    }

    // words: NAME CODE [i:INT | s:TEXT | b:BOOL]... with CODE a number (a method, sent with
    // the release's header and the interface of the service) or a builtin such as _PNG.
    int call(const std::vector<std::string> &words, bool oneway)
    {
        auto handle = lookup(words[1]);
        if (!handle) {
            std::printf("%s: not found\n", words[1].c_str());
            return 1;
        }
        const std::string &method = words[2];
        uint32_t code = method[0] == '_' && method.size() == 4 ? packChars(method[0], method[1], method[2], method[3])
                                                               : uint32_t(std::strtoul(method.c_str(), nullptr, 0));
        ParcelWriter request;
        if (code == kDumpTransaction) {
            binder_fd_object fd{};
            fd.hdr.type = BINDER_TYPE_FD;
            fd.pad_flags = kObjectFlags;
            fd.fd = 1;
            request.fdObject(fd);
            request.i32(int32_t(words.size() - 3));
        } else if (method[0] != '_') {
            ParcelWriter query;
            auto name = binder_.transact(*handle, kInterfaceTransaction, query);
            if (!name)
                return 1;
            writeInterfaceToken(request, release_, partition_, name->data().string16().value_or(u""));
        }
        for (size_t i = 3; i < words.size(); ++i) {
            const std::string &arg = words[i];
            const char *value = arg.c_str() + std::min<size_t>(arg.size(), 2);
            if (code == kDumpTransaction)
                request.string16(arg);
            else if (arg.rfind("s:", 0) == 0)
                request.string16(arg.substr(2));
            else if (arg.rfind("l:", 0) == 0)
                request.i64(std::strtoll(value, nullptr, 0));
            else if (arg.rfind("f:", 0) == 0)
                request.f32(std::strtof(value, nullptr));
            else if (arg.rfind("d:", 0) == 0)
                request.f64(std::strtod(value, nullptr));
            else
                request.i32(int32_t(std::strtol(value, nullptr, 0)));
        }
        std::fflush(stdout);
        if (oneway) {
            if (!binder_.send(*handle, code, request))
                return 1;
            std::printf("sent one-way\n");
            return 0;
        }
        auto reply = binder_.transact(*handle, code, request);
        if (!reply)
            return 1;
        std::printf("%s%zu bytes:", reply->statusOnly() ? "status only, " : "", reply->data().size());
        std::vector<uint32_t> data;
        while (auto word = reply->data().u32())
            data.push_back(*word), std::printf(" %08x", *word);
        std::printf("\n");
        // The reply (and with it every handle and descriptor it brought) is still ours here.
        for (binder_size_t offset : reply->data().offsets())
            describeObject(data, offset);
        return 0;
    }

private:
    void describeObject(const std::vector<uint32_t> &words, binder_size_t offset)
    {
        size_t at = offset / 4;
        if (offset % 4 != 0 || at + 3 > words.size()) {
            std::printf("object at %llu: out of the data\n", (unsigned long long)offset);
            return;
        }
        uint32_t type = words[at], value = words[at + 2];
        std::printf("object at %llu: ", (unsigned long long)offset);
        if (type == BINDER_TYPE_HANDLE) {
            ParcelWriter query;
            auto answer = binder_.transact(value, kInterfaceTransaction, query);
            std::string name = answer ? narrow(answer->data().string16().value_or(u"?")) : "no answer";
            std::printf("handle %u, interface %s\n", value, name.c_str());
        } else if (type == BINDER_TYPE_FD) {
            char target[256] = {};
            std::string link = "/proc/self/fd/" + std::to_string(value);
            ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            std::printf("descriptor %u, open on %s\n", value, n > 0 ? target : "nothing");
        } else if (type == BINDER_TYPE_BINDER) {
            std::printf("a local binder\n");
        } else {
            std::printf("type %08x\n", type);
        }
    }

    Binder &binder_;
    const Release &release_;
    const Partition &partition_;
};

[[noreturn]] void usage()
{
    die("usage: peer-client --release " + releaseNames() +
        " [--device PATH] [--vendor] "
        "list|check NAME|[--oneway] call NAME CODE [ARG]...|[--detach] [--log FILE] hold NAME\n"
        "       peer-client --hidl [--device PATH] list");
}

} // namespace

int main(int argc, char **argv)
{
    setProgramName(argv[0]);
    Options options(argc, argv);
    const auto &words = options.unknown();
    if (words.empty())
        usage();
    if (options.has("hidl")) {
        if (words[0] != "list")
            usage();
        auto binder = Binder::open(options.get("device").value_or("/dev/hwbinder"));
        return hidlList(*binder);
    }
    const Release *release = options.release();
    if (!release)
        usage();
    bool holding = words[0] == "hold" && words.size() == 2;
    // The binder connection belongs to the process that opens it: the detached one.
    if (holding)
        detachUntilReady(options.has("detach"), 10);
    auto binder = Binder::open(options.get("device").value_or("/dev/binder"));
    Client client(*binder, *release, options.has("vendor") ? kVendor : kSystem);
    if (holding)
        client.hold(words[1], options.get("log"));
    if (words[0] == "list" && words.size() == 1)
        return client.list();
    if (words[0] == "call" && words.size() >= 3)
        return client.call(words, options.has("oneway"));
    if (words.size() != 2)
        usage();
    if (words[0] == "check") {
        bool found = client.lookup(words[1]).has_value();
        std::printf("%s: %s\n", words[1].c_str(), found ? "found" : "not found");
        return found ? 0 : 1;
    }
    usage();
}
