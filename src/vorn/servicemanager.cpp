// Service manager client: lookup, check, interface query, and the listings of the three
// namespaces.
#include "vorn.h"

#include <cstdio>
#include <cstdlib>

namespace vorn {
namespace {

// A status-only answer to the first request means the manager did not accept our header at
// all, and nothing will work; a later one is a plain refusal of that one request.
void refused(const char *Request, int32_t Status)
{
    fprintf(stderr, "%s was refused with status %d (0x%x)", Request, Status, uint32_t(Status));
    if (g_HeaderProven) {
        fputc('\n', stderr);
        return;
    }
    fprintf(stderr, ": the request header may not match the device's release (set NOT10=1 for Android 9 and "
                    "older, A11=1 for Android 11 and later)\n");
    endProcess(1);
}

[[noreturn]] void getHwService(const char *)
{
    fprintf(stderr, "NOT YET\n");
    endProcess(1);
}

std::optional<binder_transaction_data> askManager(uint32_t Code, const Parcel &Args)
{
    auto reply = sendMethodToServiceTarget(0, Code, SM_INTERFACE, Args);
    g_HeaderProven = g_HeaderProven || (reply && !statusOnly(*reply));
    return reply;
}

// What stands in the brackets of a listing line: the interface, or why there is none.
std::string interfaceText(const std::string &Name)
{
    auto iface = getInterfaceOfService(Name.c_str());
    return iface ? printable(*iface) : std::string(safeWords);
}

// At index 0 an Android 9 or 10 manager gives the same status-only answer for an empty
// list and for a request it refused; a lookup tells the two apart.
bool headerAccepted()
{
    Parcel name;
    serializeUTF8("vorn.probe", name);
    auto reply = askManager(currentRelease().lookupCode, name);
    return reply && !statusOnly(*reply);
}

// A sanity limit, far above any device's count, for a manager that never says "no more".
constexpr uint32_t MAX_NAMES = 100000;

int listPerIndex(serviceFunc S)
{
    std::vector<std::string> names;
    for (uint32_t s = 0;; ++s) {
        if (s == MAX_NAMES) {
            fprintf(stderr, "android.os.IServiceManager::LIST_SERVICES: stopped after %u names\n", MAX_NAMES);
            break;
        }
        Parcel args;
        putU32(args, s);
        putU32(args, 15); // every dump priority
        auto reply = askManager(currentRelease().listCode, args);
        if (!reply) {
            fprintf(stderr, "Error sending android.os.IServiceManager::LIST_SERVICES(%d) to Node 0\n", int(s));
            return 1;
        }
        auto parcel = getReplyParcelBuf(*reply);
        if (!parcel) {
            fprintf(stderr,
                    "Error getting reply buffer from Node 0 for android.os.IServiceManager::LIST_SERVICES(%d)\n",
                    int(s));
            return 1;
        }
        auto status = statusOnly(*reply);
        if (s == 0 && status && !headerAccepted())
            refused("android.os.IServiceManager::LIST_SERVICES", *status);
        Reader reader(parcel->data);
        auto first = reader.u32();
        if (parcel->data.size() < 8 || first == 0xffffffff)
            break;
        if (isErrorParcel(parcel->data))
            return 1;
        auto units = Reader(parcel->data).string16();
        if (!units) {
            fprintf(stderr, "Reply to android.os.IServiceManager::LIST_SERVICES(%d) is too short for its name\n",
                    int(s));
            return 1;
        }
        names.push_back(UTF16ToUTF8(*units));
    }
    for (size_t s = 0; s < names.size(); ++s) {
        if (S) {
            S(names[s].c_str());
            continue;
        }
        printf("%d: %s [%s]\n", int(s), printable(names[s]).c_str(), interfaceText(names[s]).c_str());
        safeWords[0] = '\0';
    }
    return 0;
}

int listVector(serviceFunc S)
{
    Parcel args;
    putU32(args, 15); // every dump priority
    auto reply = askManager(currentRelease().listCode, args);
    auto parcel = reply ? getReplyParcelBuf(*reply) : std::nullopt;
    if (!parcel) {
        fprintf(stderr, "Error getting reply buffer from Node 0 for android.os.IServiceManager::LIST_SERVICES(0)\n");
        return 1;
    }
    if (auto status = statusOnly(*reply)) {
        refused("android.os.IServiceManager::LIST_SERVICES", *status);
        return 1;
    }
    Reader reader(parcel->data);
    auto code = reader.u32();
    if (code && *code != 0) {
        fprintf(stderr, "Error - reply code was %d\n", int32_t(*code));
        return int32_t(*code);
    }
    auto count = reader.u32();
    if (!count) {
        fprintf(stderr, "Reply to android.os.IServiceManager::LIST_SERVICES is too short (%zu bytes)\n",
                parcel->data.size());
        return 1;
    }
    printf("Found %d services:\n", int(*count));
    for (uint32_t s = 0; s < *count; ++s) {
        auto units = reader.string16();
        if (!units) {
            fprintf(stderr,
                    "Reply to android.os.IServiceManager::LIST_SERVICES ends after %u of the %u names it announces\n",
                    s, *count);
            return 1;
        }
        std::string name = UTF16ToUTF8(*units);
        if (S) {
            printf("%d\t%s%s%s ", int(s), color(GREEN), printable(name).c_str(), color(RESET));
            fflush(stdout);
            if (S(name.c_str()) != 0) // a failure says why on standard error; the line still ends
                putchar('\n');
        } else {
            std::string iface = interfaceText(name);
            printf("%d\t%s%s%s [%s%s%s]\n", int(s), color(GREEN), printable(name).c_str(), color(RESET), color(CYAN),
                   iface.c_str(), color(RESET));
        }
        safeWords[0] = '\0';
    }
    return 0;
}

// The scatter-gather buffers that came with a reply, found through its offsets.
std::vector<std::span<const uint8_t>> deliveredBuffers(const ReceivedParcel &Received)
{
    std::vector<std::span<const uint8_t>> buffers;
    Reader offsets(Received.offsets);
    while (auto offset = offsets.u64()) {
        auto object = Reader(Received.data, size_t(std::min<uint64_t>(*offset, Received.data.size())))
                          .record<binder_buffer_object>();
        auto bytes = object && object->type == BINDER_TYPE_PTR ? bytesAt(receiveArea(), object->buffer, object->length)
                                                               : std::nullopt;
        if (bytes)
            buffers.push_back(*bytes);
    }
    return buffers;
}

// Length bytes at Addr, provided they lie inside one of the delivered buffers.
std::optional<std::span<const uint8_t>> delivered(const std::vector<std::span<const uint8_t>> &Buffers, uint64_t Addr,
                                                  uint64_t Length)
{
    for (auto buffer : Buffers)
        if (auto bytes = bytesAt(buffer, Addr, Length))
            return bytes;
    fprintf(stderr, "Reply record at 0x%llx (%llu bytes) lies outside the buffers the driver delivered\n",
            (unsigned long long)Addr, (unsigned long long)Length);
    return std::nullopt;
}

} // namespace

int getService(const char *ServiceName)
{
    if (!ServiceName)
        return 0;
    if (getNs() == NS_HWBINDER)
        getHwService(ServiceName);
    Parcel name;
    serializeUTF8(ServiceName, name);
    auto reply = askManager(currentRelease().lookupCode, name);
    if (!reply) {
        fprintf(stderr, "No reply from the service manager when looking up service '%s'\n", ServiceName);
        return LOOKUP_NO_REPLY;
    }
    if (auto status = statusOnly(*reply)) {
        refused("android.os.IServiceManager::GET_SERVICE", *status);
        return -1;
    }
    if (reply->code != 0) {
        fprintf(stderr, "android.os.IServiceManager::GET_SERVICE returned %d\n", int(reply->code));
        return -1;
    }
    if (reply->offsets_size != 8) {
        if (getenv("ZQDEBUG"))
            fprintf(stderr, "Expected reply with one flattened binder object - Got %lld\n",
                    (long long)(reply->offsets_size / 8));
        return -1;
    }
    auto parcel = getReplyParcelBuf(*reply, false);
    if (!parcel)
        return -1;
    uint64_t offset = Reader(parcel->offsets).u64().value_or(0);
    uint64_t size = parcel->data.size();
    if (offset > size) {
        fprintf(stderr, "Malformation: Offset points to %llu, which is greater than buffer size %llu\n",
                (unsigned long long)offset, (unsigned long long)size);
        return -5;
    }
    if (offset + sizeof(flat_binder_object) > size) {
        fprintf(stderr,
                "Malformation: Flat binder object size would get to %llu, which is greater than buffer size %llu\n",
                (unsigned long long)(offset + sizeof(flat_binder_object)), (unsigned long long)size);
        return -6;
    }
    if (currentRelease().serviceUnion && Reader(parcel->data, 8).u32() != 0) {
        fprintf(stderr, "android.os.IServiceManager::GET_SERVICE returned an accessor, not the service\n");
        return -3;
    }
    auto object = Reader(parcel->data, size_t(offset)).record<flat_binder_object>();
    if (!object || object->type != BINDER_TYPE_HANDLE) {
        fprintf(stderr, "android.os.IServiceManager::GET_SERVICE returned something that's not a strong handle!?\n");
        return -3;
    }
    return int(uint32_t(object->handle));
}

int checkService(int argc, char **argv)
{
    const char *name = argc > 1 ? argv[1] : nullptr;
    int desc = name ? getService(name) : -1;
    if (desc >= 0) {
        printf("Service %s: found\n", name);
        return 0;
    }
    if (desc == LOOKUP_NO_REPLY) // not an answer either way
        return 1;
    fprintf(stderr, "Service %s: not found\n", name ? name : "");
    return 1;
}

std::optional<std::string> getInterfaceOfDesc(int Desc)
{
    auto reply = sendMethodToServiceTarget(Desc, INTERFACE_TRANSACTION, nullptr, {});
    if (!reply)
        return std::nullopt;
    auto parcel = getReplyParcelBuf(*reply);
    if (!parcel) {
        fprintf(stderr, "Error getting reply buffer from desc %d for INTERFACE_TRANSACTION)\n", Desc);
        return std::nullopt;
    }
    if (auto status = statusOnly(*reply)) {
        fprintf(stderr, "INTERFACE_TRANSACTION to desc %d was refused with status %d (0x%x)\n", Desc, *status,
                uint32_t(*status));
        return std::nullopt;
    }
    auto units = Reader(parcel->data).string16();
    if (!units) {
        fprintf(stderr, "Reply to INTERFACE_TRANSACTION from desc %d is too short for its string\n", Desc);
        return std::nullopt;
    }
    return UTF16ToUTF8(*units);
}

std::optional<std::string> getInterfaceOfService(const char *Name) { return getInterfaceOfDesc(getService(Name)); }

int probeNumbering()
{
    androidVer = 11;                 // the request header is the same in both numberings
    auto reply = askManager(15, {}); // getServiceDebugInfo from r6 on, past the last code before
    return reply && !statusOnly(*reply) ? 15 : 11;
}

int listServices(serviceFunc S) { return currentRelease().list == ListStyle::Vector ? listVector(S) : listPerIndex(S); }

int listServicesHW(serviceFunc)
{
    auto reply = sendMethodToServiceTarget(0, HW_SVC_MGR_LIST_SERVICES, HW_SM_INTERFACE, {});
    if (!reply) {
        fprintf(stderr, "?! Try ZQDEBUG=1 and please send ZQ output\n");
        return 1;
    }
    auto parcel = getReplyParcelBuf(*reply, false);
    if (!parcel)
        return 1;
    if (g_Debug)
        printf("BUFFER @ 0x%llx, %lld bytes\n", (unsigned long long)reply->buffer, (long long)reply->data_size);
    Reader reader(parcel->data);
    auto status = reader.u32();
    if (status && *status != 0) {
        fprintf(stderr, "Error parcel received! Please notify ZQ\n");
        return 1;
    }
    auto vec = reader.record<binder_buffer_object>();
    if (!vec) {
        fprintf(stderr, "Reply to android.hidl.manager@1.0::IServiceManager::list is too short (%zu bytes)\n",
                parcel->data.size());
        return 1;
    }
    if (vec->type != BINDER_TYPE_PTR) {
        fprintf(stderr, "Unexpected FBO type: 0x%x\n", vec->type);
        return 1;
    }
    printf("Buffer of length: %lld @0x%llx\n", (long long)vec->length, (unsigned long long)vec->buffer);
    if (vec->length != sizeof(hidl_array)) {
        fprintf(stderr, "Got buffer, but it's not 16 bytes and therefore not likely a hidl_str array!\n");
        return 1;
    }
    auto buffers = deliveredBuffers(*parcel);
    auto vectorBytes = delivered(buffers, vec->buffer, sizeof(hidl_array));
    if (!vectorBytes)
        return 1;
    auto vector = Reader(*vectorBytes).record<hidl_array>();
    fprintf(stderr, "Got %d entries\n", int(vector->arrayEntries));
    auto records = delivered(buffers, vector->arrayPayload, uint64_t(sizeof(hidl_array)) * vector->arrayEntries);
    if (!records)
        return 1;
    Reader entries(*records);
    while (auto record = entries.record<hidl_array>()) {
        if (g_Debug)
            printf("0x%llx (%d bytes): ", (unsigned long long)record->arrayPayload, int(record->arrayEntries));
        auto chars = delivered(buffers, record->arrayPayload, record->arrayEntries);
        if (!chars)
            return 1;
        printf("%s\n", printable({reinterpret_cast<const char *>(chars->data()), chars->size()}).c_str());
    }
    return 0;
}

} // namespace vorn
