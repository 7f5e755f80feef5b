// A sample service: one binder object that registers itself under one or more names with the
// manager of its device and answers as a service of the given release does (the builtin
// transactions, then the methods of its interface, numbered from 1 in the order of its AIDL
// file in tests/peers/aidl; IHidden, IMortal and IGrim have no file there, on purpose; nor has
// android.app.IActivityManager, whose every method succeeds with the int 0, for scripts/bench).
//
//   peer-service --release 9|10|11|12|15|15r6|16 [--device /dev/binder] [--vendor]
//                --interface DESCRIPTOR --name NAME[:DUMP_PRIORITY]... [--reap NAME]
//                [--dump block|hold|mib|slow] [--detach] [--log FILE]
//
// --reap NAME sets a trap for clients that list and then look up: the first time the service
// is asked for its interface, it makes the IMortal service NAME quit and waits (3 seconds at
// most) until the manager no longer hands out a live handle for it, and only then answers.
// --dump makes its dumps hard to wait for: block never answers, hold answers but keeps the
// descriptor open and writes nothing, mib writes 1 MiB (byte k is 'a' + k * 7 % 26, with a
// newline as every 64th), slow answers after 300 ms.
//   peer-service --hidl [--device /dev/hwbinder] --interface FQNAME --name INSTANCE
//                [--lie] [--detach] [--log FILE]
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "peer.h"

namespace {

using namespace peer;

constexpr uint32_t kMortalQuit = 1;
constexpr int32_t kExIllegalState = -5;
constexpr int32_t kInvalidOperation = -38;
constexpr uint32_t kHidlAdd = 2;
constexpr int32_t kDefaultDumpPriority = 8;
const std::u16string kMortal = u"com.example.vorn.IMortal";
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
    int64_t readLong() { return need(in_.i64()); }
    float readFloat() { return need(in_.f32()); }
    double readDouble() { return need(in_.f64()); }
    // byte and char travel as whole words; the stubs keep the low 8 or 16 bits.
    int8_t readByte() { return int8_t(readInt()); }
    char16_t readChar() { return char16_t(readInt()); }
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
    void returnDouble(double value) { returnVoid(), out_.f64(value); }
    void returnByte(int8_t value) { returnInt(value); }
    void returnChar(char16_t value) { returnInt(value); }
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
    ParcelWriter &out() { return out_; }
    ParcelReader &in() { return in_; }
    void refuse(int32_t status) { fail(status); }

private:
    void fail(int32_t status)
    {
        if (status_ == kOk)
            status_ = status;
    }
    template <typename T> T need(std::optional<T> value)
    {
        if (!value)
            fail(kNotEnoughData);
        return value.value_or(T{});
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
    binder_uintptr_t node() const { return addressOf(this); }
    const std::vector<Registration> &names() const { return names_; }
    void attach(Binder &binder) { binder_ = &binder; }
    void setVictim(std::optional<std::string> name) { victim_ = std::move(name); }
    void setDumpMode(std::optional<std::string> mode) { dumpMode_ = std::move(mode); }

    void handle(Transaction &in, ParcelWriter &reply)
    {
        if (in.code() == kInterfaceTransaction && victim_) {
            reap(widen(*victim_));
            victim_.reset();
        }
        if (in.code() == kShellCommandTransaction)
            return shellCommand(in, reply);
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

    // Passes on what the manager hands out for name, as an AIDL method returning IBinder does.
    void find(const std::u16string &name, Call &c)
    {
        Lookup found = lookupService(*binder_, release_, partition_, name);
        c.returnVoid();
        ParcelWriter &out = c.out();
        if (found.object && found.object->hdr.type == BINDER_TYPE_HANDLE) {
            // The reply's buffer holds the only reference: keep one of ours until the answer
            // (which makes the caller's own) has gone out.
            binder_->acquire(found.object->handle);
            out.keepHandle(found.object->handle);
            out.handleObject(found.object->handle);
            if (release_.stabilityWords)
                out.i32(found.stability);
        } else if (found.object && found.object->hdr.type == BINDER_TYPE_BINDER && found.object->binder == node()) {
            writeLocalBinder(out, release_, partition_, node()); // the driver turned our own name back into us
        } else {
            writeNullBinder(out, release_);
        }
    }

    // The rest of the call word by word, objects by what they are; where an object is not as
    // this release writes it, what it was and what was wanted.
    std::u16string inspect(Call &c)
    {
        ParcelReader &in = c.in();
        std::string text;
        while (in.remaining() >= 4) {
            ParcelReader peek = in;
            uint32_t type = peek.u32().value_or(0);
            bool isObject = type == BINDER_TYPE_BINDER || type == BINDER_TYPE_HANDLE || type == BINDER_TYPE_FD;
            std::optional<flat_binder_object> object = isObject ? in.object() : std::nullopt;
            text += text.empty() ? "" : " ";
            if (!object) {
                char word[16];
                snprintf(word, sizeof word, "0x%08x", in.u32().value_or(0));
                text += word;
                continue;
            }
            bool fd = type == BINDER_TYPE_FD;
            text += fd ? "fd" : type == BINDER_TYPE_HANDLE ? "handle" : object->binder ? "binder" : "null";
            text += unlike("flags", object->flags, fd ? release_.descriptorFlags : release_.binderFlags);
            if (fd) {
                char link[64], target[256] = "";
                snprintf(link, sizeof link, "/proc/self/fd/%d", int(object->handle));
                text.append(" ").append(target, size_t(std::max<ssize_t>(0, readlink(link, target, 255))));
                continue;
            }
            if (release_.stabilityWords) {
                auto word = in.i32();
                if (!word || !stabilityAccepted(release_, *word)) {
                    c.refuse(kBadType); // as the release's reader refuses it
                    return u"";
                }
                // A proxy goes back with the word its manager gave it; ours are all of this side.
                text +=
                    unlike("stability", uint32_t(*word),
                           uint32_t(stabilityWord(release_, type == BINDER_TYPE_HANDLE ? partition_.stability : 0)));
            }
            if (type == BINDER_TYPE_HANDLE) {
                auto pong = binder_->transact(object->handle, kPingTransaction, ParcelWriter());
                text += pong && !pong->statusOnly() ? " alive" : " dead";
            }
        }
        return widen(text);
    }

    std::u16string label;
    bool toggled = false;
    int32_t poked = 0;
    int32_t calls() const { return calls_; }

private:
    const std::vector<Method> *methods() const;

    static std::string unlike(const char *what, uint32_t got, uint32_t want)
    {
        char text[64] = "";
        if (got != want)
            snprintf(text, sizeof text, " (%s 0x%x, not 0x%x)", what, got, want);
        return text;
    }

    // A shell command as a Java service runs it for ISample and IVendorSample (echo WORDS,
    // fail N, read, and drop, which loses the receiver and sends nothing), its result sent through the receiver before
    // the reply; as a native object for the others: nothing written, INVALID_OPERATION to a receiver.
    void shellCommand(Transaction &in, ParcelWriter &reply)
    {
        int fds[3];
        for (int &fd : fds)
            fd = in.data.fileDescriptor().value_or(-1);
        std::vector<std::string> args;
        for (int32_t n = in.data.i32().value_or(0); n > 0 && in.data.remaining() > 0; --n)
            args.push_back(narrow(in.data.string16().value_or(u"")));
        std::optional<flat_binder_object> binders[2]; // the shell callback, the result receiver
        for (auto &object : binders) {
            object = in.data.object();
            auto word = release_.stabilityWords ? in.data.i32() : std::optional<int32_t>(0);
            if (!object || !word || !stabilityAccepted(release_, *word))
                return reply.setStatus(kBadType);
        }
        bool java = builtin_.descriptor == u"com.example.vorn.ISample" ||
                    builtin_.descriptor == u"com.example.vorn.IVendorSample";
        std::optional<int32_t> result = java ? runCommand(fds, args) : kInvalidOperation;
        if (result && binders[1]->hdr.type == BINDER_TYPE_HANDLE) {
            ParcelWriter send;
            writeInterfaceToken(send, release_, partition_, u"com.android.internal.os.IResultReceiver");
            send.i32(*result);
            if (java)
                send.i32(0); // no Bundle
            binder_->send(binders[1]->handle, 1, send);
        }
        if (java)
            reply.i32(0);
    }

    static std::optional<int32_t> runCommand(const int (&fds)[3], const std::vector<std::string> &args)
    {
        auto put = [](int fd, const std::string &text) {
            for (size_t done = 0; fd >= 0 && done < text.size();) {
                ssize_t n = write(fd, text.data() + done, text.size() - done);
                if (n <= 0)
                    break;
                done += size_t(n);
            }
        };
        std::string verb = args.empty() ? "" : args[0];
        if (verb == "echo") {
            std::string line;
            for (size_t i = 1; i < args.size(); ++i)
                line.append(i > 1 ? " " : "").append(args[i]);
            put(fds[1], line.append("\n"));
            return 0;
        }
        if (verb == "fail" && args.size() == 2) {
            put(fds[2], std::string("failing with ").append(args[1]).append("\n"));
            return std::atoi(args[1].c_str());
        }
        if (verb == "read") {
            char chunk[4096];
            ssize_t n;
            while (fds[0] >= 0 && (n = read(fds[0], chunk, sizeof chunk)) > 0)
                put(fds[1], std::string(chunk, size_t(n)));
            return 0;
        }
        if (verb == "drop")
            return std::nullopt;
        put(fds[2], std::string("Unknown command: ").append(verb).append("\n"));
        return -1;
    }

    void reap(const std::u16string &name)
    {
        {
            Lookup victim = lookupService(*binder_, release_, partition_, name);
            if (!victim.object || victim.object->hdr.type != BINDER_TYPE_HANDLE)
                return warn("nothing to reap: no " + narrow(name));
            ParcelWriter request;
            writeInterfaceToken(request, release_, partition_, kMortal);
            binder_->send(victim.object->handle, kMortalQuit, request);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < deadline) {
            Lookup victim = lookupService(*binder_, release_, partition_, name);
            if (!victim.object)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        warn("the manager still hands out " + narrow(name) + " after 3 seconds");
    }

    void dump(int fd, const std::vector<std::u16string> &args)
    {
        if (dumpMode_ == "block")
            for (;;)
                pause();
        if (dumpMode_ == "hold") {
            held_.push_back(dup(fd));
            return;
        }
        if (dumpMode_ == "slow")
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::string text = names_.front().name + ": " + std::to_string(names_.size()) +
                           (names_.size() == 1 ? " name, " : " names, ") + std::to_string(calls_) +
                           (calls_ == 1 ? " call\n" : " calls\n");
        for (const std::u16string &arg : args)
            text += "arg: " + narrow(arg) + "\n";
        if (dumpMode_ == "mib") {
            text.resize(1 << 20);
            for (size_t k = 0; k < text.size(); ++k)
                text[k] = k % 64 == 63 ? '\n' : char('a' + k * 7 % 26);
        }
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
    Binder *binder_ = nullptr;
    std::optional<std::string> victim_;
    std::optional<std::string> dumpMode_;
    std::vector<int> held_;
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
    {"addLong",
     [](Sample &, Call &c) {
         int64_t a = c.readLong(), b = c.readLong();
         if (c.ok())
             c.returnLong(int64_t(uint64_t(a) + uint64_t(b)));
     }},
    {"scale",
     [](Sample &, Call &c) {
         double value = c.readDouble();
         float factor = c.readFloat();
         if (c.ok())
             c.returnDouble(value * factor);
     }},
    {"nextByte",
     [](Sample &, Call &c) {
         int8_t value = c.readByte();
         if (c.ok())
             c.returnByte(int8_t(uint8_t(value) + 1));
     }},
    {"upper",
     [](Sample &, Call &c) {
         char16_t ch = c.readChar();
         if (!c.ok())
             return;
         c.returnChar(ch >= u'a' && ch <= u'z' ? char16_t(ch - u'a' + u'A') : ch);
     }},
    {"find",
     [](Sample &s, Call &c) {
         auto name = c.readString();
         if (c.ok())
             s.find(name, c);
     }},
    {"openNull",
     [](Sample &, Call &c) {
         int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
         if (fd < 0)
             return c.raise(kExIllegalState, "cannot open /dev/null");
         c.returnVoid();
         c.out().i32(1); // not null
         // A parcel file descriptor: first whether a comm channel follows (none), then the
         // descriptor, as the platform's writer lays it out.
         c.out().i32(0);
         c.out().ownedFdObject(fd);
     }},
    // One-way: nothing is written, so a two-way caller gets an empty reply.
    {"poke",
     [](Sample &s, Call &c) {
         int32_t value = c.readInt();
         if (c.ok())
             s.poked = value;
     }},
    {"inspect",
     [](Sample &s, Call &c) {
         std::u16string text = s.inspect(c);
         if (c.ok())
             c.returnString(text);
     }},
};

// IHidden: its AIDL file is nowhere on the machine, so only numbers reach these.
const std::vector<Method> kHiddenMethods = {
    {"ping", [](Sample &, Call &c) { c.returnInt(1); }},
    {"name", [](Sample &s, Call &c) { c.returnString(widen(s.names().front().name)); }},
};

// IMortal: "oneway void quit();" ends the process, and the manager hears of its death.
const std::vector<Method> kMortalMethods = {
    {"quit", [](Sample &, Call &) { std::exit(0); }},
};

// IGrim has no methods; its trap is set with --reap.
const std::vector<Method> kNoMethods;

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

// android.app.IActivityManager's 225 methods, all alike: a large interface to call by name.
const std::vector<Method> kActivityMethods(225, {"any", [](Sample &, Call &c) { c.returnInt(0); }});

const std::vector<Method> *Sample::methods() const
{
    if (builtin_.descriptor == u"com.example.vorn.ISample")
        return &kSampleMethods;
    if (builtin_.descriptor == u"com.example.vorn.IVendorSample")
        return &kVendorSampleMethods;
    if (builtin_.descriptor == u"com.example.vorn.IHidden")
        return &kHiddenMethods;
    if (builtin_.descriptor == kMortal)
        return &kMortalMethods;
    if (builtin_.descriptor == u"com.example.vorn.IGrim")
        return &kNoMethods;
    if (builtin_.descriptor == u"android.app.IActivityManager")
        return &kActivityMethods;
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
    for (const Registration &r : sample.names())
        registerService(binder, release, partition, r.name, sample.node(), r.dumpPriority);
}

// The user methods of vendor.example.sample@1.0::ISample, numbered from 1 (1.1 adds 5), each
// taking the token of the interface that declares it, as the generated code checks it:
//   1 add(int32, int32) generates (int32)     2 echo(string) generates (string)
//   3 sum(int64, int64) generates (int64)     4 isEven(int32) generates (bool)
//   5 shout(string) generates (string), in capitals
const std::string kHidlSample10 = "vendor.example.sample@1.0::ISample";

bool answerHidlSample(const std::vector<std::string> &chain, Transaction &in, ParcelWriter &reply)
{
    uint32_t code = in.code();
    bool has11 = chain.front() != kHidlSample10;
    if (code < 1 || code > (has11 ? 5u : 4u))
        return false;
    if (in.data.cstring() != (code == 5 ? chain.front() : kHidlSample10)) {
        reply.setStatus(kBadType);
        return true;
    }
    auto &d = in.data;
    std::optional<int32_t> a, b;
    std::optional<int64_t> x, y;
    std::optional<std::string> text;
    bool read = code == 1   ? (a = d.i32()) && (b = d.i32())
                : code == 3 ? (x = d.i64()) && (y = d.i64())
                : code == 4 ? bool(a = d.i32())
                            : bool(text = d.hidlString());
    if (!read)
        return reply.setStatus(kBadValue), true;
    reply.i32(kOk);
    if (code == 1)
        reply.i32(*a + *b);
    if (code == 3)
        reply.i64(*x + *y);
    if (code == 4)
        reply.i32(*a % 2 == 0);
    if (code == 5)
        for (char &c : *text)
            c = char(std::toupper(uint8_t(c)));
    if (code == 2 || code == 5)
        reply.hidlString(*text);
    return true;
}

// What a lying HIDL service answers once it is registered (it tells its manager the truth):
// a descriptor whose characters lack their NUL, a chain whose record points where no buffer
// was sent, a hash chain counting 1000 hashes more than it holds, a DebugInfo of 8 bytes, and
// to a ping a string whose characters name as their parent an object after them, which the
// driver refuses to deliver.
bool lie(Transaction &in, ParcelWriter &reply)
{
    struct Record {
        uint64_t address;
        uint32_t count, owns;
    };
    auto bytes = [](const Record &R) { return std::string_view(reinterpret_cast<const char *>(&R), sizeof R); };
    reply.i32(kOk);
    switch (in.code()) {
    case kHidlInterfaceDescriptor: {
        size_t parent = reply.bufferObject(bytes(Record{0, 3, 1}));
        reply.bufferObject("abcd", parent, 0); // 3 characters and, where the NUL belongs, a 'd'
        return true;
    }
    case kHidlInterfaceChain: reply.bufferObject(bytes(Record{0x1000, 2, 1})); return true;
    case kHidlGetHashChain: {
        size_t parent = reply.bufferObject(bytes(Record{0, 1001, 1}));
        reply.bufferObject(std::string(32, '\x11'), parent, 0);
        return true;
    }
    case kHidlGetDebugInfo: reply.bufferObject(std::string(8, '\0')); return true;
    case kHidlPing:
        reply.bufferObject("late\0", 1, 0);
        reply.bufferObject(bytes(Record{0, 4, 1}));
        return true;
    }
    return false;
}

[[noreturn]] void serveHidl(const Options &options, const std::string &fqName,
                            const std::vector<std::string> &instances)
{
    auto binder = Binder::open(options.get("device").value_or("/dev/hwbinder"));
    std::vector<std::string> chain = {fqName, std::string(kHidlBase)};
    if (fqName == "vendor.example.sample@1.1::ISample")
        chain.insert(chain.begin() + 1, kHidlSample10);
    bool lying = false; // from the end of the registration on, with --lie
    binder->onTransaction([&](Transaction &in, ParcelWriter &reply) {
        if (lying && lie(in, reply))
            return;
        if (!answerHidlBase(chain, in, reply) && !answerHidlSample(chain, in, reply))
            reply.setStatus(kUnknownTransaction);
    });
    auto node = addressOf(&chain);
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
    lying = options.has("lie");
    ready(options.get("log"));
    binder->serve();
}

[[noreturn]] void usage()
{
    die("usage: peer-service --release " + releaseNames() +
        " [--device PATH] [--vendor] --interface DESCRIPTOR "
        "--name NAME[:PRIORITY]... [--reap NAME] [--dump block|hold|mib|slow] [--detach] [--log FILE]\n"
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

    const Release *release = options.release();
    if (!release)
        usage();
    const Partition &partition = options.has("vendor") ? kVendor : kSystem;
    Sample sample(*release, partition, widen(*interface), names);
    if (!sample.knowsInterface())
        die("no methods known for the interface " + *interface);
    sample.setVictim(options.get("reap"));
    sample.setDumpMode(options.get("dump"));

    detachUntilReady(options.has("detach"), 10);
    auto binder = Binder::open(options.get("device").value_or("/dev/binder"));
    sample.attach(*binder);
    binder->onTransaction([&](Transaction &in, ParcelWriter &reply) { sample.handle(in, reply); });
    registerAll(*binder, *release, partition, sample);
    ready(options.get("log"));
    binder->serve();
}
