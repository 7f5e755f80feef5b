// A sample service: one binder object that registers itself under one or more names with the
// manager of its device and answers as a service of the given release does (the builtin
// transactions, then the methods of its AIDL file in tests/peers/aidl, numbered from 1).
//
//   peer-service --release 9|10|11 [--device /dev/binder] [--vendor] --interface DESCRIPTOR
//                --name NAME[:DUMP_PRIORITY]... [--detach] [--log FILE]
//   peer-service --hidl [--device /dev/hwbinder] --interface FQNAME --name INSTANCE
//                [--detach] [--log FILE]
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "peer.h"

namespace {

using namespace peer;

constexpr uint32_t kAddService = 3;
constexpr uint32_t kHidlAdd = 2;
constexpr int32_t kDefaultDumpPriority = 8;
const std::u16string kServiceManager = u"android.os.IServiceManager";
const std::string kHidlManager = "android.hidl.manager@1.0::IServiceManager";

struct Registration {
    std::string name;
    int32_t dumpPriority;
};

// One call of an AIDL method, read as the generated stubs read it: the first argument that
// cannot be read decides the outcome, and nothing of the reply is written before that.
class Call {
public:
    Call(Transaction &in, ParcelWriter &out, const Release &release, const Partition &partition)
        : in_(in.data), out_(out), release_(release), partition_(partition)
    {
    }

    int32_t readInt()
    {
        auto value = in_.i32();
        if (!value)
            fail(kNotEnoughData);
        return value.value_or(0);
    }
    bool readBool() { return readInt() != 0; }
    std::u16string readString()
    {
        auto value = in_.string16();
        if (!value)
            fail(kUnexpectedNull);
        return value.value_or(u"");
    }
    bool ok() const { return status_ == kOk; }
    int32_t status() const { return status_; }

    void returnVoid() { out_.i32(kExNone); }
    void returnInt(int32_t value) { returnVoid(), out_.i32(value); }
    void returnLong(int64_t value) { returnVoid(), out_.i64(value); }
    void returnFloat(float value) { returnVoid(), out_.f32(value); }
    void returnBool(bool value) { returnInt(value ? 1 : 0); }
    void returnString(std::u16string_view value) { returnVoid(), out_.string16(value); }
    void returnBinder(binder_uintptr_t node)
    {
        returnVoid();
        writeLocalBinder(out_, release_, partition_, node);
    }
    void raise(int32_t exception, std::string_view message, int32_t code = 0)
    {
        writeException(out_, exception, message, code);
    }

private:
    void fail(int32_t status)
    {
        if (status_ == kOk)
            status_ = status;
    }
    ParcelReader &in_;
    ParcelWriter &out_;
    const Release &release_;
    const Partition &partition_;
    int32_t status_ = kOk;
};

class Sample;

struct Method {
    const char *name;
    void (*run)(Sample &, Call &);
};

class Sample {
public:
    Sample(const Release &release, const Partition &partition, std::u16string descriptor,
           std::vector<Registration> names)
        : release_(release), partition_(partition), names_(std::move(names))
    {
        builtin_.descriptor = std::move(descriptor);
        builtin_.dump = [this](int fd, const std::vector<std::u16string> &args) { dump(fd, args); };
    }

    bool knowsInterface() const { return methods() != nullptr; }
    binder_uintptr_t node() const { return reinterpret_cast<binder_uintptr_t>(this); }
    const std::vector<Registration> &names() const { return names_; }

    void handle(Transaction &in, ParcelWriter &reply)
    {
        if (answerBuiltin(release_, builtin_, in, reply))
            return;
        const std::vector<Method> *table = methods();
        if (in.code() < 1 || in.code() > table->size())
            return reply.setStatus(kUnknownTransaction);
        if (!enforceInterface(in.data, release_, partition_, builtin_.descriptor))
            return reply.setStatus(kBadType);
        Call call(in, reply, release_, partition_);
        ++calls_;
        (*table)[in.code() - 1].run(*this, call);
        if (call.status() == kUnexpectedNull)
            writeException(reply, kExNullPointer, "");
        else if (!call.ok())
            reply.setStatus(call.status());
    }

    std::u16string label;
    bool toggled = false;
    int32_t calls() const { return calls_; }

private:
    const std::vector<Method> *methods() const;

    void dump(int fd, const std::vector<std::u16string> &args)
    {
        std::string text = names_.front().name + ": " + std::to_string(names_.size()) +
                           (names_.size() == 1 ? " name, " : " names, ") + std::to_string(calls_) +
                           (calls_ == 1 ? " call\n" : " calls\n");
        for (const std::u16string &arg : args)
            text += "arg: " + narrow(arg) + "\n";
        for (size_t done = 0; fd >= 0 && done < text.size();) {
            ssize_t n = write(fd, text.data() + done, text.size() - done);
            if (n <= 0)
                break;
            done += size_t(n);
        }
    }

    const Release &release_;
    const Partition &partition_;
    std::vector<Registration> names_;
    BuiltinObject builtin_;
    int32_t calls_ = 0;
};

// The methods of ISample.aidl, in its order.
const std::vector<Method> kSampleMethods = {
    {"add",
     [](Sample &, Call &c) {
         int32_t a = c.readInt(), b = c.readInt();
         if (c.ok())
             c.returnInt(int32_t(uint32_t(a) + uint32_t(b)));
     }},
    {"echo",
     [](Sample &, Call &c) {
         auto text = c.readString();
         if (c.ok())
             c.returnString(text);
     }},
    {"isEven",
     [](Sample &, Call &c) {
         int32_t value = c.readInt();
         if (c.ok())
             c.returnBool(value % 2 == 0);
     }},
    {"half",
     [](Sample &, Call &c) {
         int32_t value = c.readInt();
         if (c.ok())
             c.returnFloat(float(value) / 2);
     }},
    {"setLabel",
     [](Sample &s, Call &c) {
         auto text = c.readString();
         if (!c.ok())
             return;
         s.label = text;
         c.returnVoid();
     }},
    {"getLabel", [](Sample &s, Call &c) { c.returnString(s.label); }},
    {"square",
     [](Sample &, Call &c) {
         int64_t value = c.readInt();
         if (c.ok())
             c.returnLong(value * value);
     }},
    {"self", [](Sample &s, Call &c) { c.returnBinder(s.node()); }},
    {"repeat",
     [](Sample &, Call &c) {
         auto word = c.readString();
         int32_t count = c.readInt();
         bool shout = c.readBool();
         if (!c.ok())
             return;
         if (count < 0 || count > 100)
             return c.raise(kExIllegalArgument, "count must be 0 to 100");
         std::u16string text;
         for (int32_t i = 0; i < count; ++i)
             text += word;
         if (shout)
             for (char16_t &unit : text)
                 if (unit >= u'a' && unit <= u'z')
                     unit = char16_t(unit - u'a' + u'A');
         c.returnString(text);
     }},
    {"divide",
     [](Sample &, Call &c) {
         int32_t dividend = c.readInt(), divisor = c.readInt();
         if (!c.ok())
             return;
         if (divisor == 0)
             return c.raise(kExIllegalArgument, "division by zero");
         if (dividend == INT32_MIN && divisor == -1)
             return c.raise(kExIllegalArgument, "overflow");
         c.returnInt(dividend / divisor);
     }},
    {"fail",
     [](Sample &, Call &c) {
         int32_t code = c.readInt();
         if (c.ok())
             c.raise(kExServiceSpecific, "failed on request", code);
     }},
    {"callCount", [](Sample &s, Call &c) { c.returnInt(s.calls()); }},
};

// The methods of IVendorSample.aidl, in its order.
const std::vector<Method> kVendorSampleMethods = {
    {"greet",
     [](Sample &, Call &c) {
         auto name = c.readString();
         if (c.ok())
             c.returnString(u"hello, " + name);
     }},
    {"toggle",
     [](Sample &s, Call &c) {
         s.toggled = !s.toggled;
         c.returnBool(s.toggled);
     }},
    {"add",
     [](Sample &, Call &c) {
         int32_t a = c.readInt(), b = c.readInt();
         if (c.ok())
             c.returnInt(int32_t(uint32_t(a) + uint32_t(b)));
     }},
    {"reset",
     [](Sample &s, Call &c) {
         s.toggled = false;
         c.returnVoid();
     }},
    {"callCount", [](Sample &s, Call &c) { c.returnInt(s.calls()); }},
};

const std::vector<Method> *Sample::methods() const
{
    if (builtin_.descriptor == u"com.example.vorn.ISample")
        return &kSampleMethods;
    if (builtin_.descriptor == u"com.example.vorn.IVendorSample")
        return &kVendorSampleMethods;
    return nullptr;
}

std::vector<Registration> parseNames(const std::vector<std::string> &words)
{
    std::vector<Registration> names;
    for (const std::string &word : words) {
        auto colon = word.find(':');
        Registration r{word.substr(0, colon), kDefaultDumpPriority};
        if (colon != std::string::npos)
            r.dumpPriority = std::atoi(word.c_str() + colon + 1);
        if (r.name.empty())
            die("empty service name in --name " + word);
        names.push_back(r);
    }
    return names;
}

void registerAll(Binder &binder, const Release &release, const Partition &partition, const Sample &sample)
{
    for (const Registration &r : sample.names()) {
        ParcelWriter request;
        writeInterfaceToken(request, release, partition, kServiceManager);
        request.string16(r.name);
        writeLocalBinder(request, release, partition, sample.node());
        request.i32(0); // not for isolated processes
        request.i32(r.dumpPriority);
        auto reply = binder.transact(0, kAddService, request);
        if (!reply)
            die("cannot register " + r.name + " on " + binder.device());
        int32_t status = reply->data().i32().value_or(kNotEnoughData);
        if (reply->statusOnly() || status != 0)
            die("the manager of " + binder.device() + " refused " + r.name + " with status " + std::to_string(status));
    }
}

[[noreturn]] void serveHidl(const Options &options, const std::string &fqName,
                            const std::vector<std::string> &instances)
{
    auto binder = Binder::open(options.get("device").value_or("/dev/hwbinder"));
    std::vector<std::string> chain = {fqName, std::string(kHidlBase)};
    binder->onTransaction([&](Transaction &in, ParcelWriter &reply) {
        if (!answerHidlBase(chain, in, reply))
            reply.setStatus(kUnknownTransaction);
    });
    auto node = reinterpret_cast<binder_uintptr_t>(&chain);
    for (const std::string &instance : instances) {
        ParcelWriter request;
        request.cstring(kHidlManager);
        request.hidlString(instance);
        request.localObject(node, node);
        auto reply = binder->transact(0, kHidlAdd, request);
        if (!reply)
            die("cannot register " + fqName + "/" + instance);
        bool added = !reply->statusOnly() && reply->data().i32() == kOk && reply->data().i32().value_or(0) != 0;
        if (!added)
            die("the hidl manager refused " + fqName + "/" + instance);
    }
    ready(options.get("log"));
    binder->serve();
}

[[noreturn]] void usage()
{
    die("usage: peer-service --release 9|10|11 [--device PATH] [--vendor] --interface DESCRIPTOR "
        "--name NAME[:PRIORITY]... [--detach] [--log FILE]\n"
        "       peer-service --hidl [--device PATH] --interface FQNAME --name INSTANCE... "
        "[--detach] [--log FILE]");
}

} // namespace

int main(int argc, char **argv)
{
    setProgramName(argv[0]);
    Options options(argc, argv);
    auto interface = options.get("interface");
    auto names = parseNames(options.all("name"));
    if (!interface || names.empty() || !options.unknown().empty())
        usage();

    if (options.has("hidl")) {
        std::vector<std::string> instances;
        for (const Registration &r : names)
            instances.push_back(r.name);
        detachUntilReady(options.has("detach"), 10);
        serveHidl(options, *interface, instances);
    }

    auto releaseWord = options.get("release");
    const Release *release = releaseWord ? findRelease(std::atoi(releaseWord->c_str())) : nullptr;
    if (!release)
        usage();
    const Partition &partition = options.has("vendor") ? kVendor : kSystem;
    Sample sample(*release, partition, widen(*interface), names);
    if (!sample.knowsInterface())
        die("no methods known for the interface " + *interface);

    detachUntilReady(options.has("detach"), 10);
    auto binder = Binder::open(options.get("device").value_or("/dev/binder"));
    binder->onTransaction([&](Transaction &in, ParcelWriter &reply) { sample.handle(in, reply); });
    registerAll(*binder, *release, partition, sample);
    ready(options.get("log"));
    binder->serve();
}
