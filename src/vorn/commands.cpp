// Service commands: dump, call with arguments typed from the AIDL file, and methods.
#include "vorn.h"

#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace vorn {
namespace {

// The service's handle, or a negative value after saying why there is none.
int lookUp(const char *ServiceName)
{
    int desc = getService(ServiceName);
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

template <class T> void put(Parcel &Buf, T Value)
{
    uint8_t bytes[sizeof Value];
    std::memcpy(bytes, &Value, sizeof Value);
    Buf.insert(Buf.end(), bytes, bytes + sizeof Value);
}

[[noreturn]] void notA(const char *What, const aidlArg &Arg, const char *Word)
{
    fprintf(stderr, "Expected argument for '%s' to be %s.. You supplied '%s'\n", Arg.name, What, Word);
    endProcess(3);
}

[[noreturn]] void outOfRange(const aidlArg &Arg, const char *Word)
{
    fprintf(stderr, "Argument for '%s' is out of range for its type: '%s'\n", Arg.name, Word);
    endProcess(3);
}

// The integer a word gives for an argument of a type whose values lie within Min and Max.
long long integerArgument(const char *Word, const aidlArg &Arg, const char *What, long long Min, long long Max)
{
    Scanned n = scanInteger(Word, Min, Max);
    if (n.kind == Scanned::NOT_A_NUMBER)
        notA(What, Arg, Word);
    if (n.kind == Scanned::OUT_OF_RANGE)
        outOfRange(Arg, Word);
    return n.value;
}

// The parsed AIDL of an interface a service named. A name with a '/' or a control character
// is no interface name, and a service must not make vorn read a file of its choosing outside
// the AIDL directory.
aidl *aidlOf(const char *Interface)
{
    if (Interface && (strchr(Interface, '/') || printable(Interface) != Interface)) {
        fprintf(stderr, "%s: not an interface name, so no AIDL file is looked for\n", printable(Interface).c_str());
        return nullptr;
    }
    return getAIDLForInterface(Interface);
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
int dumpReply(const ReceivedParcel &Reply)
{
    std::span<const uint8_t> data = Reply.data;
    fputs(color(BOLD), stderr);
    hexDump(data.data(), data.size(), 0);
    fputs(color(RESET), stderr);
    for (size_t d = 0; d + 12 <= data.size(); d += 4) {
        Reader words(data, d);
        if (words.u32() == BINDER_TYPE_BINDER && words.u32())
            fprintf(stderr, "Got Binder  - %d\n", int32_t(*words.u32()));
    }
    Reader offsets(Reply.offsets);
    for (int o = 0; auto offset = offsets.u64(); ++o) {
        if (*offset > data.size()) {
            fprintf(stderr, "Malformation: Offset points to %" PRIu64 ", which is greater than buffer size %zu\n",
                    *offset, data.size());
            return -5;
        }
        if (*offset + sizeof(flat_binder_object) > data.size()) {
            fprintf(stderr,
                    "Malformation: Flat binder object size would get to %" PRIu64
                    ", which is greater than buffer size %zu\n",
                    *offset + sizeof(flat_binder_object), data.size());
            return -6;
        }
        auto object = Reader(data, size_t(*offset)).record<flat_binder_object>();
        int value = int(uint32_t(object->handle));
        if (object->type == BINDER_TYPE_FD) {
            printf("Object %d is a filedescriptor (%d = %s)!\n", o, value, fdTarget(value).c_str());
        } else if (object->type == BINDER_TYPE_HANDLE) {
            safeWords[0] = '\0';
            auto iface = getInterfaceOfDesc(value);
            printf("Object %d (desc %d) is a handle to %s!\n", o, value,
                   iface        ? printable(*iface).c_str()
                   : *safeWords ? safeWords
                                : "(no interface)");
        } else {
            printf("Object %d is type 0x%x\n", o, object->type);
        }
    }
    return 0;
}

// The value of a typed return after the status word; false when the reply is too short.
bool printReturned(std::string_view Returns, Reader Value)
{
    if (Returns == "String") {
        auto units = Value.string16();
        if (units)
            printf("Returned String: %s\n", UTF16ToUTF8(*units).c_str());
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

} // namespace

Parcel serializeArgumentsFromCommandLine(std::span<char *const> Words, const aidl *Aidl, int Meth)
{
    int declared = getMethodNumArgsFromAIDL(Aidl, Meth);
    const aidlArg *args = getMethodArgsFromAIDL(Aidl, Meth);
    if (size_t(declared) != Words.size()) {
        fprintf(stderr, "Method expects %d args, you supplied %d\n", declared, int(Words.size()));
        endProcess(1);
    }
    bool trace = getenv("ZQARG") != nullptr;
    Parcel bytes;
    for (int k = 0; k < declared; ++k) {
        const aidlArg &arg = args[k];
        const char *word = Words[size_t(k)];
        std::string_view type = arg.type;
        if (type.starts_with("in ")) // an in argument is encoded as its type is
            type.remove_prefix(3);
        if (trace)
            printf("CLI arg %d: %s, AIDL arg %d: %s, %s - ", k, word, k, arg.type, arg.name);
        if (strcmp(word, "null") == 0) {
            putU32(bytes, type == "String" ? 0xffffffff : 0); // a null String has the length -1
            if (trace)
                printf(" null\n");
        } else if (type == "float" || type == "double") {
            char *end;
            errno = 0;
            double value = strtod(word, &end);
            if (end == word)
                notA(type == "float" ? "a float" : "a double", arg, word);
            if (errno == ERANGE || (type == "float" && std::isfinite(value) && std::fabs(value) > FLT_MAX))
                outOfRange(arg, word);
            type == "float" ? put(bytes, float(value)) : put(bytes, value);
            if (trace)
                printf("Serialized %s: %f\n", type.data(), value);
        } else if (type == "String") {
            serializeUTF8(word, bytes);
            if (trace)
                printf("Serialized string: %s\n", word);
        } else if (type == "long") {
            long long value = integerArgument(word, arg, "a long", INT64_MIN, INT64_MAX);
            put(bytes, int64_t(value));
            if (trace)
                printf("Serialized long: %lld\n", value);
        } else if (type == "boolean" || type == "int" || type == "byte" || type == "char") {
            const char *number = word;
            if (type == "boolean") {
                number = strcmp(word, "true") == 0 ? "1" : strcmp(word, "false") == 0 ? "0" : word;
                if (trace)
                    printf("Serialized bool: %s\n", number);
            }
            std::u16string units = UTF16(word);
            int value;
            if (type == "char" && units.size() == 1) // a char is given as itself
                value = units[0];
            else
                value = int(integerArgument(number, arg, "an integer", INT32_MIN, INT32_MAX));
            putU32(bytes, uint32_t(value));
            if (trace)
                printf("Serialized int: %d\n", value);
        } else {
            fprintf(stderr, "Arg %d:I don't know how to serialize type '%s' yet - assuming NULL\n", k, arg.type);
            putU32(bytes, 0);
        }
    }
    return bytes;
}

int dumpService(int argc, char **argv)
{
    int desc = lookUp(argv[1]);
    if (desc < 0)
        return 1;
    Parcel args = serializeFD(1);
    if (argc > 2) { // further words are the dump's own arguments
        putU32(args, uint32_t(argc - 2));
        for (int i = 2; i < argc; ++i)
            serializeUTF8(argv[i], args);
    }
    auto reply = sendMethodToServiceTarget(desc, DUMP_TRANSACTION, nullptr, args);
    if (!reply)
        return 1;
    auto parcel = getReplyParcelBuf(*reply);
    if (!parcel) {
        fprintf(stderr, "Error getting reply buffer from desc %d for ::DUMP_SERVICE of %s\n", desc, argv[1]);
        return 1;
    }
    if (auto status = statusOnly(*reply); status && *status != 0) {
        fprintf(stderr, "The dump of %s was refused with status %d (%s)\n", argv[1], *status,
                errorText(*status).c_str());
        return 1;
    }
    return parcel->data.size() >= 4 && isErrorParcel(parcel->data) ? 1 : 0;
}

int dumpMethods(const char *ServiceName)
{
    int desc = lookUp(ServiceName);
    if (desc < 0)
        return 1;
    auto iface = getInterfaceOfDesc(desc);
    if (!iface) {
        fprintf(stderr, "Interface?\n");
        return 5;
    }
    aidl *parsed = aidlOf(iface->c_str());
    if (!parsed)
        return 5;
    printMethodsOfAIDL(iface->c_str(), parsed);
    freeAIDL(parsed);
    return 0;
}

int callService(int argc, char **argv)
{
    int desc = lookUp(argv[1]);
    if (desc < 0)
        return 1;
    const char *word = argv[2];
    uint32_t meth;
    std::optional<std::string> iface;
    std::unique_ptr<aidl, void (*)(aidl *)> parsed(nullptr, freeAIDL);
    Parcel args;
    if (word[0] == '_') {
        auto code = builtinCode(word);
        if (!code)
            return 3;
        meth = *code;
    } else {
        Scanned number = scanInteger(word, INT32_MIN, UINT32_MAX);
        if (number.kind == Scanned::OUT_OF_RANGE) {
            fprintf(stderr, "Method number %s is out of range: transaction codes have 32 bits\n", word);
            return 3;
        }
        meth = uint32_t(number.value); // 0 when the word is a name
        iface = getInterfaceOfDesc(desc);
        if (meth == 0) {
            std::string name = printable(iface.value_or(""));
            parsed.reset(aidlOf(iface ? iface->c_str() : nullptr));
            if (!parsed) {
                fprintf(stderr, "%s: Unable to find AIDL interface definition\n", name.c_str());
                return 5;
            }
            meth = uint32_t(getMethodNumFromAIDL(parsed.get(), word));
            if (meth == 0) {
                fprintf(stderr, "%s: No such method in interface %s\n", word, name.c_str());
                return 1;
            }
            if (g_Debug)
                printf("%s is method %d\n", word, int(meth));
            args = serializeArgumentsFromCommandLine(std::span(argv + 3, size_t(argc - 3)), parsed.get(), int(meth));
        }
    }
    if (meth == DUMP_TRANSACTION) {
        args = serializeFD(1);
        fprintf(stderr, "Serializing my stdout\n");
    }

    safeWords[0] = '\0';
    auto reply = sendMethodToServiceTarget(desc, meth, iface ? iface->c_str() : nullptr, args);
    if (!reply) {
        if (*safeWords) // the driver refused the reply: say so, it is the reason
            fprintf(stderr, "%s\n", safeWords);
        fprintf(stderr, "No reply\n");
        return -5;
    }
    if (reply->code != 0) {
        fprintf(stderr, "Transaction returned code %d\n", int(reply->code));
        return 0;
    }
    auto parcel = getReplyParcelBuf(*reply);
    if (!parcel)
        return -5;
    std::span<const uint8_t> data = parcel->data;
    if (g_Debug) {
        printf("%sData size: %zu@0x%llx\n", color(CYAN), data.size(), (unsigned long long)reply->buffer);
        fflush(stdout);
        hexDump(data.data(), data.size(), 0);
        printf("%s", color(RESET));
    }

    Reader reader(data);
    int32_t status = int32_t(reader.u32().value_or(0));
    if (status < 0) {
        // An exception or a failure: its code is no value, whatever the method returns.
        if (data.size() == 4) {
            fprintf(stderr, "%sTransaction returned %d (%s)%s\n", color(RED), status, errorText(status).c_str(),
                    color(RESET));
        } else {
            printf("%sTransaction returned %d - %s%s\n", color(RED), status, string16Cut(data, 4).c_str(),
                   color(RESET));
        }
        return dumpReply(*parcel);
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
        return name || pid ? 0 : dumpReply(*parcel);
    }
    if (meth == DUMP_TRANSACTION)
        return 0;
    if (!parsed && iface)
        parsed.reset(aidlOf(iface->c_str()));
    const char *returns = getMethodReturnFromAIDL(parsed.get(), int(meth));
    if (returns && strcmp(returns, "void") == 0)
        return 0;
    if (returns && isDecoded(returns)) {
        if (printReturned(returns, reader)) {
            if (g_Debug && strcmp(returns, "String") == 0)
                hexDump(data.data(), data.size(), 0);
            return 0;
        }
        tooShort(("a returned " + std::string(returns)).c_str(), data.size());
    } else if (returns) {
        printf("returns: %s (not handled yet)\n", returns);
    }
    return dumpReply(*parcel);
}

} // namespace vorn
