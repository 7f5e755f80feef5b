// The service commands: dump, methods, and call with arguments typed from the interface.
#include "vorn.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <future>
#include <memory>
#include <thread>

namespace vorn {
namespace {

// The service's handle, or a negative value after saying why there is none.
int lookUp(Session &S, const char *ServiceName)
{
    int desc = S.hidl() ? getHidlService(S, ServiceName) : getService(S, ServiceName);
    if (desc < 0 && desc != LOOKUP_NO_REPLY) // no reply has been reported already
        fprintf(stderr, "Unable to find service '%s'\n", ServiceName);
    return desc;
}

void tooShort(const char *What, size_t Size)
{
    fprintf(stderr, "The reply (%zu bytes) is too short for %s\n", Size, What);
}

// The system's text for a status, negated in 64 bits so that INT_MIN has one too.
std::string errorText(int32_t Status)
{
    int64_t error = -int64_t(Status);
    if (error <= INT_MAX)
        return strerror(int(error));
    return "Unknown error " + std::to_string(error);
}

// The text of a descriptor's target, for the report of a returned descriptor.
std::string fdTarget(int Fd)
{
    char link[64], target[1024];
    snprintf(link, sizeof link, "/proc/self/fd/%d", Fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    return n < 0 ? link : std::string(target, size_t(n));
}

// The reply shown as it is, then every object it carries; -5 or -6 for an object entry that
// points outside the data.
int dumpReply(Session &S, const Received &Reply)
{
    std::span<const uint8_t> data = Reply.data;
    fputs(S.settings.paint(BOLD), stderr);
    hexDump(data.data(), data.size(), 0);
    fputs(S.settings.paint(RESET), stderr);
    for (size_t d = 0; d + 12 <= data.size(); d += 4) {
        Reader words(data, d);
        if (words.u32() == BINDER_TYPE_BINDER && words.u32())
            fprintf(stderr, "Got Binder  - %d\n", int32_t(*words.u32()));
    }
    for (size_t o = 0; o < Reply.offsets.size(); ++o) {
        Located located = objectAt(Reply, o);
        if (located.error)
            return located.error;
        int value = int(uint32_t(located.object.handle));
        if (located.object.type == BINDER_TYPE_FD) {
            printf("Object %d is a filedescriptor (%d = %s)!\n", int(o), value, fdTarget(value).c_str());
        } else if (located.object.type == BINDER_TYPE_HANDLE) {
            std::string why;
            auto iface = getInterfaceOfDesc(S, value, &why);
            printf("Object %d (desc %d) is a handle to %s!\n", int(o), value,
                   iface          ? printable(*iface).c_str()
                   : !why.empty() ? why.c_str()
                                  : "(no interface)");
        } else {
            printf("Object %d is type 0x%x\n", int(o), located.object.type);
        }
    }
    return 0;
}

// The value of a typed return after the status word; false when the reply is too short.
bool printReturned(const Settings &S, std::string_view Returns, Reader Value)
{
    if (Returns == "String") {
        auto units = Value.string16();
        if (units)
            printf("Returned String: %s\n", shown(S, stdout, UTF16ToUTF8(*units)).c_str());
        return units.has_value();
    }
    if (Returns == "long" || Returns == "double") {
        auto word = Value.u64();
        if (!word)
            return false;
        double real;
        std::memcpy(&real, &*word, sizeof real);
        if (Returns == "long")
            printf("Returned Long (int64_t): %lld (0x%llx)\n", (long long)*word, (unsigned long long)*word);
        else
            printf("Returned double: %f\n", real);
        return true;
    }
    auto word = Value.u32();
    if (!word)
        return false;
    if (Returns == "float") {
        float real;
        std::memcpy(&real, &*word, sizeof real);
        printf("Returned float: %f\n", real);
    } else if (Returns == "boolean") {
        printf("Returned boolean: %s (0x%x)\n", *word ? "true" : "false", *word);
    } else {
        printf("Returned Integer (int32_t): %d (0x%x)\n", int32_t(*word), *word);
    }
    return true;
}

bool isDecoded(std::string_view Returns)
{
    for (std::string_view type : {"String", "float", "boolean", "int", "long", "double"})
        if (Returns == type)
            return true;
    return false;
}

// The transaction code of a builtin word: its first four bytes, most significant first.
std::optional<uint32_t> builtinCode(const char *Word)
{
    size_t len = strlen(Word);
    if (len < 3) {
        fprintf(stderr, "Builtin method '%s' is too short: a builtin is four characters, such as _PNG\n", Word);
        return std::nullopt;
    }
    uint32_t word = 0;
    std::memcpy(&word, Word, std::min<size_t>(len + 1, 4)); // a three-character word ends in its zero
    return ntohl(word);
}

// Writes all of Data to standard output, whatever the pipe behind it takes at a time.
void copyOut(const char *Data, size_t Size)
{
    for (size_t done = 0; done < Size;) {
        ssize_t n = write(1, Data + done, Size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

// The dump of a service through a pipe, copied to standard output until the pipe's end and
// the reply, within the time limit (10 s unless ZQTIMEOUT says otherwise). The transaction
// blocks, so it runs on a thread of its own that keeps everything it uses: when the time is up
// the thread is left behind, and the kernel drops the transaction as the process ends.
int dumpOne(Session &S, const char *Name, int Desc, std::span<char *const> Words)
{
    using namespace std::chrono;
    double seconds = S.settings.timeout > 0 ? S.settings.timeout : 10;
    auto deadline = steady_clock::now() + duration_cast<nanoseconds>(duration<double>(seconds));
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        fprintf(stderr, "Cannot make a pipe for the dump of %s: %s\n", Name, strerror(errno));
        return 1;
    }
    Owned reading(ends[0]);
    // On hwbinder the dump is IBase's debug: a native handle and the words as options.
    Writer args = S.hidl() ? request(S, HIDL_BASE) : Writer();
    args.own(ends[1]); // our copy of the write end closes with the request
    if (S.hidl()) {
        args.nativeHandle(ends[1]).hidlStrings(Words);
    } else {
        descriptorObject(S, args, ends[1]);
        if (!Words.empty()) { // further words are the dump's own arguments
            args.u32(uint32_t(Words.size()));
            for (const char *word : Words)
                args.string16(word);
        }
    }
    auto settings = std::make_shared<const Settings>(S.settings);
    auto outcome = std::make_shared<std::promise<Outcome>>();
    std::future<Outcome> replied = outcome->get_future();
    std::thread([settings, outcome, Desc, session = Session{*settings, S.fd, S.area, S.ns, S.cls, S.headerProven},
                 args = std::move(args)]() mutable {
        Outcome o = transact(session, Desc, session.hidl() ? HIDL_DEBUG : DUMP_TRANSACTION, args, nullptr);
        args = Writer(); // the service's copy is then the only one left
        outcome->set_value(std::move(o));
    }).detach();

    fflush(stdout);
    bool ended = false;
    for (;;) {
        auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            break;
        if (ended) {
            if (replied.wait_for(milliseconds(left)) != std::future_status::ready)
                continue;
            Outcome o = replied.get();
            if (o.kind == Outcome::TIMEOUT)
                break;
            if (!o.answered()) {
                sayWhy(o);
                fprintf(stderr, "No reply to the dump of %s\n", Name);
                return 1;
            }
            std::span<const uint8_t> data = report(S, o.reply).data;
            if (o.kind == Outcome::STATUS && o.status != 0) {
                fprintf(stderr, "The dump of %s was refused with status %d (%s)\n", Name, o.status,
                        errorText(o.status).c_str());
                return 1;
            }
            // An exception or an error status is a failure, whatever is printed of it.
            return data.size() >= 4 && (isErrorParcel(S.settings, data) || int32_t(*Reader(data).u32()) < 0) ? 1 : 0;
        }
        pollfd ready{reading.fd, POLLIN, 0};
        if (poll(&ready, 1, int(std::min<int64_t>(left, INT32_MAX))) <= 0)
            continue;
        char chunk[65536];
        ssize_t n = read(reading.fd, chunk, sizeof chunk);
        if (n > 0)
            copyOut(chunk, size_t(n));
        else if (n == 0 || errno != EINTR)
            ended = true;
    }
    printf("\n*** SERVICE '%s' DUMP TIMEOUT (%lldms) EXPIRED ***\n", printable(Name).c_str(), llround(seconds * 1000));
    fflush(stdout);
    return 1;
}

// Every service of the listing, each framed as the platform's dump tool frames it, each with
// its own time limit; a service that fails is passed over after its line.
int dumpAll(Session &S, std::span<char *const> Words)
{
    std::vector<std::string> names;
    int status = serviceNames(S, names);
    for (const std::string &name : names) {
        int desc = lookUp(S, name.c_str());
        if (desc < 0) {
            status = 1;
            continue;
        }
        printf("%s\nDUMP OF SERVICE %s:\n", std::string(79, '-').c_str(), printable(name).c_str());
        auto start = std::chrono::steady_clock::now();
        if (dumpOne(S, name.c_str(), desc, Words) != 0)
            status = 1;
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        time_t now = time(nullptr);
        tm local{};
        char ending[32] = "";
        if (localtime_r(&now, &local))
            strftime(ending, sizeof ending, "%Y-%m-%d %H:%M:%S", &local);
        printf("--------- %.3fs was the duration of the dump of %s, ending at: %s\n", took.count(),
               printable(name).c_str(), ending);
        fflush(stdout);
    }
    return status;
}

int dumpService(Session &S, int argc, char **argv)
{
    std::span<char *const> words(argv + 2, size_t(argc - 2));
    if (strcmp(argv[1], "all") == 0)
        return dumpAll(S, words);
    int desc = lookUp(S, argv[1]);
    return desc < 0 ? 1 : dumpOne(S, argv[1], desc, words);
}

// What IBase's builtins return, decoded: each prints its reply after the status word that R
// has passed, and returns the status.
int printNothing(const Received &, Reader &) { return 0; } // the status says it all

int printString(const Received &Reply, Reader &R)
{
    auto text = hidlString(Reply, R);
    if (text)
        printf("%s\n", printable(*text).c_str());
    return text ? 0 : 1;
}

int printStrings(const Received &Reply, Reader &R)
{
    auto texts = hidlStrings(Reply, R);
    for (const std::string &text : texts.value_or(std::vector<std::string>()))
        printf("%s\n", printable(text).c_str());
    return texts ? 0 : 1;
}

int printDebugInfo(const Received &Reply, Reader &R)
{
    auto info = hidlBuffer(Reply, R, 24, "DebugInfo");
    if (!info)
        return 1;
    int32_t arch = int32_t(*Reader(*info, 16).u32());
    printf("PID %d, %s\n", int32_t(*Reader(*info).u32()), archName(arch));
    return 0;
}

int printHashes(const Received &Reply, Reader &R)
{
    auto record = hidlBuffer(Reply, R, sizeof(hidl_array), "hidl");
    auto vector = record ? Reader(*record).record<hidl_array>() : std::nullopt;
    auto hashes = vector ? delivered(Reply, vector->arrayPayload, uint64_t(vector->arrayEntries) * 32) : std::nullopt;
    for (size_t k = 0; hashes && k < hashes->size(); k += 32) {
        for (size_t b = 0; b < 32; ++b)
            printf("%02x", (*hashes)[k + b]);
        printf("\n");
    }
    return hashes ? 0 : 1;
}

// The builtins of hwbinder: IBase's own codes, each 0x0f and three letters.
struct HidlBuiltin {
    const char *word;
    uint32_t code;
    const char *method; // as methods lists it
    int (*print)(const Received &, Reader &);
};
constexpr std::array<HidlBuiltin, 6> HIDL_BUILTINS{{
    {"_PNG", 0x0f504e47, "void ping()", printNothing},
    {"_NTF", HIDL_INTERFACE_DESCRIPTOR, "string interfaceDescriptor()", printString},
    {"_CHN", HIDL_INTERFACE_CHAIN, "vec<string> interfaceChain()", printStrings},
    {"_PID", HIDL_GET_DEBUG_INFO, "DebugInfo getDebugInfo()", printDebugInfo},
    {"_HSH", 0x0f485348, "vec<uint8_t[32]> getHashChain()", printHashes},
    {"_DMP", HIDL_DEBUG, "void debug(handle fd, vec<string> options)", printNothing},
}};
constexpr int32_t BAD_TYPE = INT32_MIN + 1; // a token the interface does not take

// The descriptors of a HIDL service's interface, its own first and IBase last; nullopt after
// saying why not.
std::optional<std::vector<std::string>> hidlChain(Session &S, const char *ServiceName, int Desc)
{
    Outcome chain = transact(S, Desc, HIDL_INTERFACE_CHAIN, request(S, HIDL_BASE), HIDL_BASE);
    Reader reader(chain.reply.data, 4);
    auto names = chain.kind == Outcome::REPLY ? hidlStrings(chain.reply, reader) : std::nullopt;
    if (!names || names->empty()) {
        sayWhy(chain);
        fprintf(stderr, "The interface chain of %s cannot be read\n", printable(ServiceName).c_str());
        return std::nullopt;
    }
    return names;
}

// A HIDL service's methods: with no .hal file to name them, its interface chain, which numbers
// them, and the builtins.
int hidlMethods(Session &S, const char *ServiceName, int Desc)
{
    auto chain = hidlChain(S, ServiceName, Desc);
    if (!chain)
        return 1;
    printf("%s: HIDL interface, its methods numbered from 1 over its chain, parents first:\n",
           printable(chain->front()).c_str());
    for (const std::string &name : *chain)
        printf("\t%s\n", printable(name).c_str());
    for (const HidlBuiltin &builtin : HIDL_BUILTINS)
        printf("/* %s */ %s;\n", builtin.word, builtin.method);
    return 0;
}

int dumpMethods(Session &S, const char *ServiceName)
{
    int desc = lookUp(S, ServiceName);
    if (desc < 0)
        return 1;
    if (S.hidl())
        return hidlMethods(S, ServiceName, desc);
    auto iface = getInterfaceOfDesc(S, desc);
    if (!iface) {
        fprintf(stderr, "Interface?\n");
        return 5;
    }
    auto described = describe(S.settings, iface->c_str());
    if (!described)
        return 5;
    printMethods(S.settings, iface->c_str(), *described);
    return 0;
}

// The reply of a HIDL method: its data, then every object in it, a buffer with its bytes, or
// as text when they are a string's characters and its NUL.
int dumpHidlReply(const Received &Reply)
{
    hexDump(Reply.data.data(), Reply.data.size(), 0);
    for (size_t o = 0; o < Reply.offsets.size(); ++o) {
        auto object = Reader(Reply.data, size_t(Reply.offsets[o])).record<binder_buffer_object>();
        Located located = objectAt(Reply, o);
        if (located.error)
            return located.error;
        int value = int(uint32_t(located.object.handle));
        if (located.object.type == BINDER_TYPE_HANDLE)
            printf("Object %d (desc %d) is a handle\n", int(o), value);
        else if (located.object.type == BINDER_TYPE_FD)
            printf("Object %d is a filedescriptor (%d = %s)!\n", int(o), value, fdTarget(value).c_str());
        else if (!object || object->type != BINDER_TYPE_PTR)
            printf("Object %d is type 0x%x\n", int(o), located.object.type);
        if (!object || object->type != BINDER_TYPE_PTR)
            continue;
        printf("Object %d is a buffer of %llu bytes", int(o), (unsigned long long)object->length);
        if (object->flags & 1)
            printf(" at %llu in object %llu", (unsigned long long)object->parent_offset,
                   (unsigned long long)object->parent);
        auto bytes = delivered(Reply, object->buffer, object->length);
        if (!bytes)
            return 1;
        std::string_view text(reinterpret_cast<const char *>(bytes->data()), bytes->size());
        if (!text.empty() && text.back() == 0 &&
            printable(text.substr(0, text.size() - 1)) == text.substr(0, text.size() - 1)) {
            printf(": \"%.*s\"\n", int(text.size() - 1), text.data());
            continue;
        }
        printf(":\n");
        fflush(stdout);
        hexDump(bytes->data(), bytes->size(), 0);
    }
    return 0;
}

// call on hwbinder: a builtin with IBase's token, or a method by number with the token of the
// interface that declares it, tried along the interface's chain.
int callHidl(Session &S, int argc, char **argv)
{
    const char *word = argv[2];
    std::span<char *const> rest(argv + 3, size_t(argc - 3));
    auto builtin = std::find_if(HIDL_BUILTINS.begin(), HIDL_BUILTINS.end(),
                                [&](const HidlBuiltin &B) { return strcmp(B.word, word) == 0; });
    Scanned number = scanInteger(word, 1, UINT32_MAX);
    if (builtin == HIDL_BUILTINS.end() && (number.kind != Scanned::NUMBER || !isdigit(uint8_t(word[0])))) {
        fprintf(stderr, "%s: a hwbinder method is a number from 1, or _PNG, _NTF, _CHN, _PID, _HSH or _DMP\n", word);
        return 3;
    }
    // debug takes vorn's standard output and the words as they are, as its options.
    bool debug = builtin != HIDL_BUILTINS.end() && builtin->code == HIDL_DEBUG;
    auto encode = [&](Writer &Out) { debug ? (void)Out.nativeHandle(1).hidlStrings(rest) : encodeWords(S, Out, rest); };
    Writer checked; // a bad word ends the call before anything is sent
    encode(checked);
    int desc = lookUp(S, argv[1]);
    if (desc < 0)
        return 1;
    std::vector<std::string> tokens{HIDL_BASE};
    if (builtin == HIDL_BUILTINS.end()) {
        // The interface's own descriptor, then each ancestor's: a method declared by an
        // ancestor takes its token, and a refused token runs nothing.
        auto names = hidlChain(S, argv[1], desc);
        if (!names)
            return 1;
        tokens.assign(names->begin(), names->end() - (names->back() == HIDL_BASE));
    }
    uint32_t code = builtin == HIDL_BUILTINS.end() ? uint32_t(number.value) : builtin->code;
    for (const std::string &token : tokens) {
        Writer args = request(S, token.c_str());
        encode(args);
        Outcome o = transact(S, desc, code, args, token.c_str());
        if (o.kind == Outcome::TIMEOUT) {
            fprintf(stderr, "%s %s: no reply within %g s\n", printable(argv[1]).c_str(), word, S.settings.timeout);
            return 1;
        }
        if (!o.answered()) {
            sayWhy(o);
            fprintf(stderr, "No reply\n");
            return 1;
        }
        const Received &reply = report(S, o.reply);
        if (o.kind == Outcome::STATUS && o.status == BAD_TYPE && &token != &tokens.back())
            continue;
        int32_t status = o.kind == Outcome::STATUS ? o.status : int32_t(Reader(reply.data).u32().value_or(0));
        if (status != 0) {
            if (o.kind == Outcome::STATUS || reply.data.size() <= 4)
                fprintf(stderr, "Transaction returned %d (%s)\n", status, errorText(status).c_str());
            else
                printf("Transaction returned %d - %s\n", status, printable(string16Cut(reply.data, 4)).c_str());
            return 1;
        }
        Reader results(reply.data, 4);
        return builtin == HIDL_BUILTINS.end() ? dumpHidlReply(reply) : builtin->print(reply, results);
    }
    return 1;
}

int callService(Session &S, int argc, char **argv)
{
    if (S.hidl())
        return callHidl(S, argc, argv);
    const char *word = argv[2];
    std::span<char *const> rest(argv + 3, size_t(argc - 3));
    // Typed words follow a number or a builtin; a bad one ends the call before anything is sent.
    Scanned number = scanInteger(word, INT32_MIN, UINT32_MAX);
    bool typed = word[0] == '_' || (number.kind == Scanned::NUMBER && number.value != 0);
    Writer words;
    if (typed)
        encodeWords(S, words, rest);
    int desc = lookUp(S, argv[1]);
    if (desc < 0)
        return 1;
    uint32_t meth;
    std::optional<std::string> iface;
    std::optional<Interface> described;
    Writer args;
    if (word[0] == '_') {
        auto code = builtinCode(word);
        if (!code)
            return 3;
        meth = *code;
        args = request(S, nullptr);
    } else {
        if (number.kind == Scanned::OUT_OF_RANGE) {
            fprintf(stderr, "Method number %s is out of range: transaction codes have 32 bits\n", word);
            return 3;
        }
        meth = uint32_t(number.value); // 0 when the word is a name
        iface = getInterfaceOfDesc(S, desc);
        args = request(S, iface ? iface->c_str() : nullptr);
        if (meth == 0) {
            std::string name = printable(iface.value_or(""));
            described = describe(S.settings, iface ? iface->c_str() : nullptr);
            if (!described) {
                fprintf(stderr, "%s: Unable to find AIDL interface definition\n", name.c_str());
                return 5;
            }
            const Method *method = described->byName(word);
            if (!method) {
                fprintf(stderr, "%s: No such method in interface %s\n", word, name.c_str());
                return 1;
            }
            meth = method->code;
            if (S.settings.debug)
                printf("%s is method %d\n", word, int(meth));
            encodeArguments(S.settings, args, rest, *method);
        }
    }
    if (typed)
        args.append(std::move(words));
    if (meth == DUMP_TRANSACTION) {
        args = Writer();
        descriptorObject(S, args, 1);
        fprintf(stderr, "Serializing my stdout\n");
    }

    Outcome o = transact(S, desc, meth, args, iface ? iface->c_str() : nullptr);
    if (o.kind == Outcome::TIMEOUT) {
        fprintf(stderr, "%s %s: no reply within %g s\n", printable(argv[1]).c_str(), printable(word).c_str(),
                S.settings.timeout);
        return 1;
    }
    if (!o.answered()) {
        sayWhy(o);
        fprintf(stderr, "No reply\n");
        return -5;
    }
    const Received &reply = report(S, o.reply);
    if (reply.code != 0) {
        fprintf(stderr, "Transaction returned code %d\n", int(reply.code));
        return 0;
    }
    std::span<const uint8_t> data = reply.data;
    if (S.settings.debug) {
        printf("%sData size: %zu@0x%llx\n", S.settings.paint(CYAN), data.size(), (unsigned long long)reply.address);
        fflush(stdout);
        hexDump(data.data(), data.size(), 0);
        printf("%s", S.settings.paint(RESET));
    }

    Reader reader(data);
    int32_t status = int32_t(reader.u32().value_or(0));
    if (status < 0) {
        // An exception or a failure: its code is no value, whatever the method returns.
        if (data.size() == 4) {
            fprintf(stderr, "%sTransaction returned %d (%s)%s\n", S.settings.paint(RED), status,
                    errorText(status).c_str(), S.settings.paint(RESET));
        } else {
            printf("%sTransaction returned %d - %s%s\n", S.settings.paint(RED), status,
                   shown(S.settings, stdout, string16Cut(data, 4)).c_str(), S.settings.paint(RESET));
        }
        int located = dumpReply(S, reply);
        return located ? located : 1; // a failure, not a value
    }

    if (meth == INTERFACE_TRANSACTION || meth == DEBUG_PID_TRANSACTION) {
        Reader value(data);
        auto name = meth == INTERFACE_TRANSACTION ? value.string16() : std::nullopt;
        auto pid = meth == DEBUG_PID_TRANSACTION ? value.u32() : std::nullopt;
        if (name)
            printf("%s\n", printable(UTF16ToUTF8(*name)).c_str());
        else if (pid)
            printf("%d\n", int32_t(*pid));
        else
            tooShort(meth == INTERFACE_TRANSACTION ? "an interface name" : "a process id", data.size());
        return name || pid ? 0 : dumpReply(S, reply);
    }
    if (meth == DUMP_TRANSACTION)
        return 0;
    if (!described && iface)
        described = describe(S.settings, iface->c_str());
    const Method *method = described ? described->byCode(meth) : nullptr;
    if (method && method->returns == "void")
        return 0;
    if (method && isDecoded(method->returns)) {
        if (printReturned(S.settings, method->returns, reader)) {
            if (S.settings.debug && method->returns == "String")
                hexDump(data.data(), data.size(), 0);
            return 0;
        }
        tooShort(("a returned " + method->returns).c_str(), data.size());
    } else if (method) {
        printf("returns: %s (not handled yet)\n", method->returns.c_str());
    }
    return dumpReply(S, reply);
}

// The node of the result receiver we host: any address of ours names it.
const char RECEIVER = 0;
constexpr const char *RECEIVER_INTERFACE = "com.android.internal.os.IResultReceiver";

// The result code of IResultReceiver.send (code 1), after the header of the release's requests.
std::optional<int32_t> resultCode(const Session &S, const Received &Call)
{
    Reader reader(Call.data);
    const Release &release = S.release();
    reader.u32(); // strict mode
    if (release.workSourceWord)
        reader.u32();
    if (release.namespaceWord)
        reader.u32();
    auto token = reader.string16();
    auto code = reader.u32();
    if (Call.code != 1 || !token || UTF16ToUTF8(*token) != RECEIVER_INTERFACE || !code)
        return std::nullopt;
    return int32_t(*code);
}

// A service's shell command on our standard streams; the status is its result's low 8 bits.
int shellCommand(Session &S, int argc, char **argv)
{
    if (S.hidl()) {
        fprintf(stderr, "cmd: HIDL services take no shell commands; h dump NAME [ARG...] passes them options\n");
        return 2;
    }
    int desc = lookUp(S, argv[1]);
    if (desc < 0)
        return 1;
    Writer args;
    for (int fd : {0, 1, 2})
        descriptorObject(S, args, fd);
    args.u32(uint32_t(argc - 2));
    for (int i = 2; i < argc; ++i)
        args.string16(argv[i]);
    nullBinder(S, args); // no shell callback
    uint64_t node = uint64_t(uintptr_t(&RECEIVER));
    localBinder(S, args, node);
    Outcome o = transact(S, desc, SHELL_COMMAND_TRANSACTION, args, nullptr);
    if (!o.answered()) {
        sayWhy(o);
        fprintf(stderr, "No reply to the command of %s\n", argv[1]);
        return 1;
    }
    if (S.settings.debug)
        report(S, o.reply);
    if (o.kind == Outcome::STATUS && o.status != 0) {
        fprintf(stderr, "The command of %s was refused with status %d (%s)\n", argv[1], o.status,
                errorText(o.status).c_str());
        return 1;
    }
    double seconds = S.settings.timeout > 0 ? S.settings.timeout : 10;
    Outcome result = awaitCall(S, node, seconds);
    if (result.kind == Outcome::TIMEOUT) {
        fprintf(stderr, "%s cmd: no result within %g s\n", argv[1], seconds);
        return 1;
    }
    if (!result.answered()) {
        sayWhy(result);
        fprintf(stderr, "No result from the command of %s\n", argv[1]);
        return 1;
    }
    auto code = resultCode(S, report(S, result.reply));
    if (!code) {
        fprintf(stderr, "The result of the command of %s is not a result receiver's\n", argv[1]);
        return 1;
    }
    return int(uint32_t(*code) & 0xff);
}

} // namespace

const Command METHODS{"methods", "       %n [ns] methods  SERVICE   # %gTo list methods (if AIDL is loaded)%r\n",
                      false,     2,
                      ANY,       "methods requires an argument of the service in question\n",
                      1,         [](Session &S, int, char **Args) { return dumpMethods(S, Args[1]); }};

const Command CALL{"call",
                   "       %n [ns] call  SERVICE %i_meth_%r [ _args_ ] ...\n"
                   "       \t\tWhere %i_meth_%r is a method number, name (if AIDL is loaded), \n"
                   "       \t\tor builtin (_PNG, _PID, _EXT, _NTF, _RPC, etc)\n"
                   "       \t\tand %i_args_%r are optional arguments (if AIDL is loaded), and types will be "
                   "auto-determined\n",
                   false,
                   3,
                   ANY,
                   "call requires more arguments: service name, method, and optional paramters to the method\n",
                   2,
                   callService};

const Command CMD{"cmd", "       %n [ns] cmd   SERVICE [ARG...]  %g# As per 'cmd' tool%r\n",
                  false, 2,
                  ANY,   "cmd requires a service name\n",
                  2,     shellCommand};

const Command DUMP{"dump", "       %n [ns] dump  SERVICE  %g# As per 'dumpsys' tool%r\n",
                   false,  2,
                   ANY,    "dump requires a service name\n",
                   2,      dumpService};

} // namespace vorn
