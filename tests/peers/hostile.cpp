// Hostile services: binder objects that answer with what no honest service sends, so that a
// client can be seen to survive them. They register with the manager of their device as the
// sample services do.
//
//   peer-hostile --release 9|10|11|12|15|15r6|16 [--device /dev/binder] --name NAME...
//                [--detach] [--log FILE]
//     One object of com.example.vorn.IHostile under every NAME. Its methods, by number (it has
//     no AIDL file):
//       1 outside      an object whose offsets entry lies past the end of the data
//       2 overlap      a second offsets entry in the middle of the first object
//       3 forged       a handle (to the manager) and a descriptor in the data that no offsets
//                      entry lists
//       4 descriptors  300 descriptors open on /dev/null
//       5 handles      300 copies of its own binder
//       6 die          the process exits in the middle of the call, without a reply
//       7 slow         the int 7 after a second: a caller stopped and continued meanwhile
//                      must still get it
//     The driver checks the objects of a reply before it passes it on: it refuses 1 and 2 itself.
//
//   peer-hostile --release ... [--device /dev/binder] --evil [--detach] [--log FILE]
//     One object per name of kEvilNames, each answering the interface query with a descriptor
//     no honest service has: a path, "..", control characters, 5000 characters. Method 1 adds
//     two ints, should a client get as far as calling it.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "peer.h"

namespace {

using namespace peer;

constexpr int32_t kDumpPriority = 8;
constexpr int kMany = 300;

enum HostileMethod : uint32_t { kOutside = 1, kOverlap, kForged, kDescriptors, kHandles, kDie, kSlow };

struct Node {
    std::vector<std::string> names;
    BuiltinObject builtin;
    binder_uintptr_t id() const { return addressOf(this); }
};

// The names of --evil, each with the interface its object claims.
struct EvilName {
    const char *name;
    std::string descriptor;
};
const std::vector<EvilName> kEvilNames = {
    {"evil.passwd", "/etc/passwd"},
    // Relative to the client's working directory (/data/local/tmp on a device and the machine).
    {"evil.climb", "../../../../etc/passwd"},
    {"evil.dots", "com.example.vorn.IEvil/../../../../etc/passwd"},
    // A terminal escape, a bell, and a newline that would start a listing line of its own.
    {"evil.control", "\x1b[31mcom.example.vorn.IEvil\x07\x1b[0m]\n99\tforged [com.example.vorn.IForged"},
    {"evil.long", "com.example.vorn.I" + std::string(5000 - 18, 'x')},
};

void hostileReply(const Release &release, const Partition &partition, const Node &node, Transaction &in,
                  ParcelWriter &out)
{
    switch (in.code()) {
    case kOutside:
        out.i32(kExNone);
        out.localObject(node.id(), node.id());
        out.forgedOffset(out.data().size() + 64);
        return;
    case kOverlap:
        out.i32(kExNone);
        out.localObject(node.id(), node.id());
        out.forgedOffset(out.offsets().back() + 8); // the first object's binder field
        out.i32(0);
        out.i32(0);
        return;
    case kForged: {
        out.i32(kExNone);
        // Laid out as the driver would deliver them, but in no offsets entry: plain bytes.
        out.u32(BINDER_TYPE_HANDLE);
        out.u32(kObjectFlags);
        out.i64(0); // handle 0: the context manager
        out.i64(0);
        out.u32(BINDER_TYPE_FD);
        out.u32(0);
        out.i64(0); // descriptor 0
        out.i64(0);
        return;
    }
    case kDescriptors: {
        std::vector<int> fds;
        for (int i = 0; i < kMany; ++i) {
            int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
            if (fd < 0) {
                for (int opened : fds)
                    close(opened);
                return writeException(out, kExIllegalArgument, "cannot open /dev/null");
            }
            fds.push_back(fd);
        }
        out.i32(kExNone);
        out.i32(kMany);
        for (int fd : fds)
            out.ownedFdObject(fd);
        return;
    }
    case kHandles:
        out.i32(kExNone);
        out.i32(kMany);
        for (int i = 0; i < kMany; ++i)
            writeLocalBinder(out, release, partition, node.id());
        return;
    case kDie: _exit(0); // the driver tells the caller that its call died with us
    case kSlow:
        std::this_thread::sleep_for(std::chrono::seconds(1));
        out.i32(kExNone);
        out.i32(7);
        return;
    default: out.setStatus(kUnknownTransaction);
    }
}

// As a generated stub of "int add(int a, int b)" would answer, behind the header of its claimed
// interface.
void evilReply(const Release &release, const Partition &partition, const Node &node, Transaction &in, ParcelWriter &out)
{
    if (in.code() != 1)
        return out.setStatus(kUnknownTransaction);
    if (!enforceInterface(in.data, release, partition, node.builtin.descriptor))
        return out.setStatus(kBadType);
    auto a = in.data.i32();
    auto b = in.data.i32();
    if (!a || !b)
        return out.setStatus(kNotEnoughData);
    out.i32(kExNone);
    out.i32(int32_t(uint32_t(*a) + uint32_t(*b)));
}

[[noreturn]] void usage()
{
    die("usage: peer-hostile --release " + releaseNames() +
        " [--device PATH] (--name NAME... | --evil) [--detach] [--log FILE]");
}

} // namespace

int main(int argc, char **argv)
{
    setProgramName(argv[0]);
    Options options(argc, argv);
    const Release *release = options.release();
    bool evil = options.has("evil");
    auto names = options.all("name");
    if (!release || !options.unknown().empty() || evil == !names.empty())
        usage();
    const Partition &partition = kSystem;

    std::list<Node> nodes; // never moved: their addresses are their binder ids
    if (evil) {
        for (const EvilName &e : kEvilNames)
            nodes.push_back(Node{{e.name}, {widen(e.descriptor), nullptr}});
    } else {
        nodes.push_back(Node{names, {u"com.example.vorn.IHostile", nullptr}});
    }

    detachUntilReady(options.has("detach"), 10);
    auto binder = Binder::open(options.get("device").value_or("/dev/binder"));
    binder->onTransaction([&](Transaction &in, ParcelWriter &reply) {
        for (const Node &node : nodes) {
            if (in.txn.target.ptr != node.id())
                continue;
            if (answerBuiltin(*release, node.builtin, in, reply))
                return;
            return evil ? evilReply(*release, partition, node, in, reply)
                        : hostileReply(*release, partition, node, in, reply);
        }
        reply.setStatus(kUnknownTransaction);
    });
    for (const Node &node : nodes)
        for (const std::string &name : node.names)
            registerService(*binder, *release, partition, name, node.id(), kDumpPriority);
    ready(options.get("log"));
    binder->serve();
}
