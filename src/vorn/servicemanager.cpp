// The protocol: request headers of each release, the service managers' lookup, check,
// interface query and listings in the three namespaces; the list and check commands.
#include "vorn.h"

#include <cstdio>

namespace vorn {
namespace {

// A status-only answer to the first request means the manager did not accept our header at
// all, and nothing will work; a later one is a plain refusal of that one request.
void refused(const Session &S, const char *Request, int32_t Status)
{
    fprintf(stderr, "%s was refused with status %d (0x%x)", Request, Status, uint32_t(Status));
    if (S.headerProven) {
        fputc('\n', stderr);
        return;
    }
    fprintf(stderr, ": the request header may not match the device's release (set NOT10=1 for Android 9 and "
                    "older, A11=1 for Android 11 and later)\n");
    endProcess(1);
}

Outcome askManager(Session &S, uint32_t Code, const Writer &Args)
{
    Outcome o = transact(S, 0, Code, Args, SM_INTERFACE);
    S.headerProven = S.headerProven || o.kind == Outcome::REPLY;
    return o;
}

// What stands in the brackets of a listing line: the interface, or why there is none.
std::string interfaceText(Session &S, const std::string &Name)
{
    int desc = getService(S, Name.c_str());
    if (desc < 0) // nothing to ask
        return "";
    std::string why;
    auto iface = getInterfaceOfDesc(S, desc, &why);
    return iface ? printable(*iface) : why;
}

// Each name at the start of its line, then what Each prints of it.
void eachName(Session &S, const std::vector<std::string> &Names, serviceFunc Each)
{
    for (size_t s = 0; s < Names.size(); ++s) {
        printf("%d\t%s%s%s ", int(s), S.settings.paint(GREEN), printable(Names[s]).c_str(), S.settings.paint(RESET));
        fflush(stdout);
        if (Each(S, Names[s].c_str()) != 0) // a failure says why on standard error; the line still ends
            putchar('\n');
    }
}

// What stands in the brackets of each name's listing line.
std::vector<std::string> interfacesOf(Session &S, const std::vector<std::string> &Names)
{
    std::vector<std::string> ifaces;
    for (const std::string &name : Names)
        ifaces.push_back(interfaceText(S, name));
    return ifaces;
}

// At index 0 an Android 9 or 10 manager gives the same status-only answer for an empty
// list and for a request it refused; a lookup tells the two apart.
bool headerAccepted(Session &S)
{
    return askManager(S, S.release().lookupCode, request(S, SM_INTERFACE).string16("vorn.probe")).kind ==
           Outcome::REPLY;
}

// A sanity limit, far above any device's count, for a manager that never says "no more".
constexpr uint32_t MAX_NAMES = 100000;

// The names a manager lists, in its order; a vector listing also announces their count.
struct Listing {
    int status = 0;
    std::vector<std::string> names;
    std::optional<uint32_t> announced;
};

Listing namesPerIndex(Session &S)
{
    Listing listing;
    std::vector<std::string> &names = listing.names;
    for (uint32_t s = 0;; ++s) {
        if (s == MAX_NAMES) {
            fprintf(stderr, "android.os.IServiceManager::LIST_SERVICES: stopped after %u names\n", MAX_NAMES);
            break;
        }
        Outcome o = askManager(S, S.release().listCode, request(S, SM_INTERFACE).u32(s).u32(15)); // every priority
        if (!o.answered()) {
            sayWhy(o);
            fprintf(stderr, "No reply from the service manager to android.os.IServiceManager::LIST_SERVICES(%d)\n",
                    int(s));
            return {1, {}, {}};
        }
        std::span<const uint8_t> data = report(S, o.reply).data;
        if (s == 0 && o.kind == Outcome::STATUS && !headerAccepted(S))
            refused(S, "android.os.IServiceManager::LIST_SERVICES", o.status);
        if (data.size() < 8 || Reader(data).u32() == 0xffffffff)
            break;
        if (isErrorParcel(S.settings, data))
            return {1, {}, {}};
        auto units = Reader(data).string16();
        if (!units) {
            fprintf(stderr, "Reply to android.os.IServiceManager::LIST_SERVICES(%d) is too short for its name\n",
                    int(s));
            return {1, {}, {}};
        }
        names.push_back(UTF16ToUTF8(*units));
    }
    return listing;
}

Listing namesVector(Session &S)
{
    Outcome o = askManager(S, S.release().listCode, request(S, SM_INTERFACE).u32(15)); // every dump priority
    if (!o.answered()) {
        sayWhy(o);
        fprintf(stderr, "No reply from the service manager to android.os.IServiceManager::LIST_SERVICES\n");
        return {1, {}, {}};
    }
    std::span<const uint8_t> data = report(S, o.reply).data;
    if (o.kind == Outcome::STATUS) {
        refused(S, "android.os.IServiceManager::LIST_SERVICES", o.status);
        return {1, {}, {}};
    }
    Reader reader(data);
    auto code = reader.u32();
    if (code && *code != 0) {
        fprintf(stderr, "Error - reply code was %d\n", int32_t(*code));
        return {int32_t(*code), {}, {}};
    }
    auto count = reader.u32();
    if (!count) {
        fprintf(stderr, "Reply to android.os.IServiceManager::LIST_SERVICES is too short (%zu bytes)\n", data.size());
        return {1, {}, {}};
    }
    Listing listing{0, {}, *count};
    while (listing.names.size() < *count)
        if (auto units = reader.string16())
            listing.names.push_back(UTF16ToUTF8(*units));
        else
            break;
    return listing;
}

Listing listing(Session &S) { return S.release().list == ListStyle::Vector ? namesVector(S) : namesPerIndex(S); }

// Says so when a vector listing holds fewer names than it announced; whether it did.
bool whole(const Listing &L)
{
    if (!L.announced || L.names.size() >= *L.announced)
        return true;
    fprintf(stderr, "Reply to android.os.IServiceManager::LIST_SERVICES ends after %zu of the %u names it announces\n",
            L.names.size(), *L.announced);
    return false;
}

// The hidl manager's names, in its order, each printed as it is read when Print is set (with
// the listing's own notes), else gathered into Names; the status.
int hidlNames(Session &S, bool Print, std::vector<std::string> &Names)
{
    Outcome o = transact(S, 0, HW_SVC_MGR_LIST_SERVICES, request(S, HW_SM_INTERFACE), HW_SM_INTERFACE);
    if (!o.answered()) {
        sayWhy(o);
        fprintf(stderr, "?! Try ZQDEBUG=1 and please send ZQ output\n");
        return 1;
    }
    const Received &reply = o.reply;
    if (S.settings.debug)
        printf("BUFFER @ 0x%llx, %lld bytes\n", (unsigned long long)reply.address, (long long)reply.data.size());
    Reader reader(reply.data);
    auto status = reader.u32();
    if (status && *status != 0) {
        fprintf(stderr, "Error parcel received! Please notify ZQ\n");
        return 1;
    }
    auto vec = reader.record<binder_buffer_object>();
    if (!vec) {
        fprintf(stderr, "Reply to android.hidl.manager@1.0::IServiceManager::list is too short (%zu bytes)\n",
                reply.data.size());
        return 1;
    }
    if (vec->type != BINDER_TYPE_PTR) {
        fprintf(stderr, "Unexpected FBO type: 0x%x\n", vec->type);
        return 1;
    }
    if (Print)
        printf("Buffer of length: %lld @0x%llx\n", (long long)vec->length, (unsigned long long)vec->buffer);
    if (vec->length != sizeof(hidl_array)) {
        fprintf(stderr, "Got buffer, but it's not 16 bytes and therefore not likely a hidl_str array!\n");
        return 1;
    }
    auto vectorBytes = delivered(reply, vec->buffer, sizeof(hidl_array));
    if (!vectorBytes)
        return 1;
    auto vector = Reader(*vectorBytes).record<hidl_array>();
    if (Print)
        fprintf(stderr, "Got %d entries\n", int(vector->arrayEntries));
    auto records = delivered(reply, vector->arrayPayload, uint64_t(sizeof(hidl_array)) * vector->arrayEntries);
    if (!records)
        return 1;
    Reader entries(*records);
    while (auto record = entries.record<hidl_array>()) {
        if (S.settings.debug)
            printf("0x%llx (%d bytes): ", (unsigned long long)record->arrayPayload, int(record->arrayEntries));
        auto chars = delivered(reply, record->arrayPayload, record->arrayEntries);
        if (!chars)
            return 1;
        std::string name(reinterpret_cast<const char *>(chars->data()), chars->size());
        if (Print)
            printf("%s\n", printable(name).c_str());
        else
            Names.push_back(std::move(name));
    }
    return 0;
}

int listHw(Session &S)
{
    std::vector<std::string> none;
    return hidlNames(S, true, none);
}

} // namespace

Writer request(const Session &S, const char *Interface)
{
    Writer parcel;
    if (S.hidl()) {
        if (Interface)
            parcel.cstring(Interface);
        return parcel;
    }
    const Release &release = S.release();
    parcel.u32(release.strictPolicy);
    if (release.workSourceWord)
        parcel.u32(0xffffffff);
    if (release.namespaceWord)
        parcel.u32(uint32_t(S.ns));
    if (Interface)
        parcel.string16(Interface);
    return parcel;
}

namespace {
void stabilityWord(const Session &S, Writer &W, uint32_t Level)
{
    if (S.release().stability != Stability::None)
        W.u32(S.release().stability == Stability::Versioned ? Level << 24 | 1 : Level);
}
} // namespace

void nullBinder(const Session &S, Writer &W)
{
    W.put(flat_binder_object{BINDER_TYPE_BINDER, S.release().binderFlags, 0, 0}); // no offsets entry
    stabilityWord(S, W, 0);
}

void handleObject(const Session &S, Writer &W, uint32_t Handle, std::optional<uint32_t> Stability)
{
    W.object(flat_binder_object{BINDER_TYPE_HANDLE, S.release().binderFlags, Handle, 0});
    if (S.release().stability != Stability::None)
        W.u32(Stability.value_or(0)); // passed on as received
}

void localBinder(const Session &S, Writer &W, uint64_t Address)
{
    W.object(flat_binder_object{BINDER_TYPE_BINDER, 0x113, Address, Address}); // priority 19, accepts fds
    stabilityWord(S, W, S.space().level);
}

void descriptorObject(const Session &S, Writer &W, int Fd)
{
    W.object(binder_fd_object{BINDER_TYPE_FD, S.release().fdFlags, uint32_t(Fd), 0});
}

namespace {

// The interface and instance of a hwbinder name: FQNAME/INSTANCE, or FQNAME for the default.
std::pair<std::string, std::string> hidlName(const char *Name)
{
    std::string_view name(Name), fqName = name.substr(0, name.find('/'));
    size_t at = fqName.find('@'), colons = fqName.find("::");
    if (at == 0 || at == fqName.npos || colons == fqName.npos || colons < at || colons + 2 == fqName.size() ||
        fqName.size() + 1 == name.size()) {
        fprintf(stderr,
                "%s: a hwbinder name is PACKAGE@VERSION::INTERFACE or PACKAGE@VERSION::INTERFACE/INSTANCE, such as "
                "android.hardware.light@2.0::ILight/default\n",
                printable(Name).c_str());
        endProcess(2);
    }
    return {std::string(fqName), fqName.size() < name.size() ? std::string(name.substr(fqName.size() + 1)) : "default"};
}

// The status word of a hidl manager's reply, after saying why there is none.
std::optional<Received> hidlAnswer(Session &S, uint32_t Code, const Writer &Args, const char *Request)
{
    Outcome o = transact(S, 0, Code, Args, HW_SM_INTERFACE);
    if (!o.answered()) {
        sayWhy(o);
        fprintf(stderr, "No reply from the hidl manager to %s\n", Request);
        return std::nullopt;
    }
    const Received &reply = report(S, o.reply);
    std::optional<uint32_t> status = o.kind == Outcome::STATUS ? uint32_t(o.status) : Reader(reply.data).u32();
    if (!status || *status != 0) {
        fprintf(stderr, "%s was refused with status %d (0x%x)\n", Request, int32_t(status.value_or(0)),
                status.value_or(0));
        return std::nullopt;
    }
    return reply;
}

} // namespace

int getHidlService(Session &S, const char *ServiceName, std::string *Missing)
{
    const std::pair<std::string, std::string> name =
        hidlName(ServiceName); // not a structured binding: the lambda below uses it
    auto names = [&] {
        Writer w = request(S, HW_SM_INTERFACE);
        w.hidlString(name.first).hidlString(name.second);
        return w;
    };
    auto reply = hidlAnswer(S, HW_SVC_MGR_GET, names(), "android.hidl.manager@1.0::IServiceManager::get");
    if (!reply)
        return LOOKUP_NO_REPLY;
    if (reply->data.size() < 4 + sizeof(flat_binder_object)) {
        fprintf(stderr, "Reply to android.hidl.manager@1.0::IServiceManager::get is too short (%zu bytes)\n",
                reply->data.size());
        return -3;
    }
    // A name without a service has a null binder, which is no object.
    if (!reply->offsets.empty()) {
        Located located = objectAt(*reply, 0);
        if (located.error)
            return located.error;
        if (located.object.type != BINDER_TYPE_HANDLE || reply->offsets.size() > 1) {
            fprintf(stderr, "android.hidl.manager@1.0::IServiceManager::get returned something that's not a strong "
                            "handle!?\n");
            return -3;
        }
        return int(uint32_t(located.object.handle));
    }
    if (Missing) { // a passthrough service lives in its clients' processes, not behind the driver
        auto transport =
            hidlAnswer(S, HW_SVC_MGR_GET_TRANSPORT, names(), "android.hidl.manager@1.0::IServiceManager::getTransport");
        if (transport && Reader(transport->data, 4).u32().value_or(0) == 2)
            *Missing = " (passthrough: not reachable over hwbinder)";
    }
    return -1;
}

int getService(Session &S, const char *ServiceName, std::optional<uint32_t> *Stability)
{
    if (!ServiceName)
        return 0;
    Outcome o = askManager(S, S.release().lookupCode, request(S, SM_INTERFACE).string16(ServiceName));
    if (!o.answered()) {
        sayWhy(o);
        fprintf(stderr, "No reply from the service manager when looking up service '%s'\n", ServiceName);
        return LOOKUP_NO_REPLY;
    }
    if (o.kind == Outcome::STATUS) {
        refused(S, "android.os.IServiceManager::GET_SERVICE", o.status);
        return -1;
    }
    const Received &reply = o.reply;
    if (reply.code != 0) {
        fprintf(stderr, "android.os.IServiceManager::GET_SERVICE returned %d\n", int(reply.code));
        return -1;
    }
    if (reply.offsets.size() != 1) {
        if (S.settings.debug)
            fprintf(stderr, "Expected reply with one flattened binder object - Got %lld\n",
                    (long long)reply.offsets.size());
        return -1;
    }
    Located located = objectAt(reply, 0);
    if (located.error)
        return located.error;
    if (S.release().serviceUnion && Reader(reply.data, 8).u32() != 0) {
        fprintf(stderr, "android.os.IServiceManager::GET_SERVICE returned an accessor, not the service\n");
        return -3;
    }
    if (located.object.type != BINDER_TYPE_HANDLE) {
        fprintf(stderr, "android.os.IServiceManager::GET_SERVICE returned something that's not a strong handle!?\n");
        return -3;
    }
    if (Stability && S.release().stability != Stability::None)
        *Stability = Reader(reply.data, size_t(reply.offsets[0]) + sizeof(flat_binder_object)).u32();
    return int(uint32_t(located.object.handle));
}

std::optional<std::string> getInterfaceOfDesc(Session &S, int Desc, std::string *Why)
{
    Outcome o = transact(S, Desc, INTERFACE_TRANSACTION, request(S, nullptr), nullptr);
    if (!o.answered()) {
        if (Why)
            *Why = o.why;
        else
            sayWhy(o);
        return std::nullopt;
    }
    std::span<const uint8_t> data = report(S, o.reply).data;
    if (o.kind == Outcome::STATUS) {
        fprintf(stderr, "INTERFACE_TRANSACTION to desc %d was refused with status %d (0x%x)\n", Desc, o.status,
                uint32_t(o.status));
        return std::nullopt;
    }
    auto units = Reader(data).string16();
    if (!units) {
        fprintf(stderr, "Reply to INTERFACE_TRANSACTION from desc %d is too short for its string\n", Desc);
        return std::nullopt;
    }
    return UTF16ToUTF8(*units);
}

int probeNumbering(Session &S)
{
    S.cls = 14; // the request header is the same in both numberings
    // getServiceDebugInfo from r6 on, past the last code before
    return askManager(S, 15, request(S, SM_INTERFACE)).kind == Outcome::REPLY ? 15 : 14;
}

int listServices(Session &S, serviceFunc Each)
{
    if (S.hidl()) { // only with Each: the hwbinder listing is a command of its own
        std::vector<std::string> names;
        int status = hidlNames(S, false, names);
        eachName(S, names, Each);
        return status;
    }
    Listing found = listing(S);
    if (found.status)
        return found.status;
    const std::vector<std::string> &names = found.names;
    const Settings &set = S.settings;
    if (found.announced)
        printf("Found %d services:\n", int(*found.announced));
    if (Each) {
        eachName(S, names, Each);
    } else {
        std::vector<std::string> ifaces = interfacesOf(S, names);
        for (size_t s = 0; s < names.size(); ++s)
            if (found.announced)
                printf("%d\t%s%s%s [%s%s%s]\n", int(s), set.paint(GREEN), printable(names[s]).c_str(), set.paint(RESET),
                       set.paint(CYAN), ifaces[s].c_str(), set.paint(RESET));
            else
                printf("%d: %s [%s]\n", int(s), printable(names[s]).c_str(), ifaces[s].c_str());
    }
    return whole(found) ? 0 : 1;
}

int serviceNames(Session &S, std::vector<std::string> &Names)
{
    if (S.hidl())
        return hidlNames(S, false, Names);
    Listing found = listing(S);
    int status = found.status ? found.status : whole(found) ? 0 : 1;
    Names = std::move(found.names);
    return status;
}

const Command LIST{"list", "       %n [ns] list\n",
                   true,   1,
                   1,      "list expects no arguments aside frorm the optional namespace\n",
                   3,      [](Session &S, int, char **) { return S.hidl() ? listHw(S) : listServices(S, nullptr); }};

const Command CHECK{"check",
                    "       %n [ns] check SERVICE\n",
                    false,
                    2,
                    ANY,
                    "check requires a service name\n",
                    2,
                    [](Session &S, int, char **Args) {
                        std::string why;
                        int desc = S.hidl() ? getHidlService(S, Args[1], &why) : getService(S, Args[1]);
                        if (desc >= 0) {
                            printf("Service %s: found\n", Args[1]);
                            return 0;
                        }
                        if (desc != LOOKUP_NO_REPLY) // no reply is not an answer either way
                            fprintf(stderr, "Service %s: not found%s\n", Args[1], why.c_str());
                        return 1;
                    }};

} // namespace vorn
