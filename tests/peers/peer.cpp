#include "peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace peer {

namespace {

// getService, getService2, checkService, checkService2, addService, listServices, isDeclared,
// getServiceDebugInfo, whether checkService answers the Service union.
// Up to 11 (the classic manager of 9 and 10 knows only the first four).
constexpr ManagerCodes kCodes11{1, 0, 2, 0, 3, 4, 7, 0, false};
// 12: getServiceDebugInfo came in last, at 12.
constexpr ManagerCodes kCodes12{1, 0, 2, 0, 3, 4, 7, 12, false};
// 13 to 15 before r6: two more methods before it put it at 14.
constexpr ManagerCodes kCodes15{1, 0, 2, 0, 3, 4, 7, 14, false};
// 15 from r6: getService2 came in at 2, and checkService answers the union.
constexpr ManagerCodes kCodes15r6{1, 2, 3, 0, 4, 5, 8, 15, true};
// 16: checkService answers the plain binder again, checkService2 (4) the union.
constexpr ManagerCodes kCodes16{1, 2, 3, 4, 5, 6, 9, 16, false};

constexpr Release kReleases[] = {
    // name, strict mode, work source, namespace, stability, AIDL manager, ping word, debug, codes,
    // versioned stability, binder flags, descriptor flags
    {"9", 0x00400000, false, false, false, false, true, false, kCodes11, false, 0x113, 0x17f},
    {"10", 0x80000000, true, false, false, false, true, false, kCodes11, false, 0x113, 0x17f},
    {"11", 0x80000000, true, true, true, true, false, true, kCodes11, false, 0x113, 0x17f},
    {"12", 0x80000000, true, true, true, true, false, true, kCodes12, true, 0x113, 0x17f},
    {"15", 0x80000000, true, true, true, true, false, true, kCodes15, false, 0x13, 0},
    {"15r6", 0x80000000, true, true, true, true, false, true, kCodes15r6, false, 0x13, 0},
    {"16", 0x80000000, true, true, true, true, false, true, kCodes16, false, 0x13, 0},
};

std::string g_programName = "peer";
int g_readyFd = -1;

} // namespace

const Release *findRelease(std::string_view name)
{
    for (const Release &release : kReleases)
        if (release.name == name)
            return &release;
    return nullptr;
}

const Release *Options::release() const
{
    auto word = get("release");
    return word ? findRelease(*word) : nullptr;
}

std::string releaseNames()
{
    std::string names;
    for (const Release &release : kReleases)
        names.append(names.empty() ? "" : "|").append(release.name);
    return names;
}

// ---- Reply

Reply::Reply(Binder *owner, const binder_transaction_data &txn, ParcelReader data)
    : owner_(owner), txn_(txn), data_(std::move(data))
{
}

Reply::Reply(Reply &&other) noexcept : owner_(other.owner_), txn_(other.txn_), data_(std::move(other.data_))
{
    other.owner_ = nullptr;
}

Reply::~Reply()
{
    if (!owner_)
        return;
    for (int fd : data_.fileDescriptors())
        close(fd);
    owner_->freeBuffer(txn_.data.ptr.buffer);
}

// ---- Binder

std::unique_ptr<Binder> Binder::open(const std::string &device)
{
    std::unique_ptr<Binder> binder(new Binder);
    binder->device_ = device;
    binder->fd_ = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (binder->fd_ < 0)
        die("cannot open " + device + ": " + std::strerror(errno));
    binder_version version{};
    if (ioctl(binder->fd_, BINDER_VERSION, &version) < 0 || version.protocol_version != BINDER_CURRENT_PROTOCOL_VERSION)
        die(device + ": the driver speaks another protocol version");
    // One thread serves everything: the driver must never ask for more.
    uint32_t maxThreads = 0;
    ioctl(binder->fd_, BINDER_SET_MAX_THREADS, &maxThreads);
    binder->mapSize_ = 1024 * 1024 - 2 * size_t(sysconf(_SC_PAGESIZE));
    void *map = mmap(nullptr, binder->mapSize_, PROT_READ, MAP_PRIVATE | MAP_NORESERVE, binder->fd_, 0);
    if (map == MAP_FAILED)
        die("cannot map " + device + ": " + std::strerror(errno));
    binder->map_ = static_cast<uint8_t *>(map);
    return binder;
}

Binder::~Binder()
{
    if (map_)
        munmap(map_, mapSize_);
    if (fd_ >= 0)
        close(fd_);
}

bool Binder::becomeContextManager()
{
    int32_t unused = 0;
    if (ioctl(fd_, BINDER_SET_CONTEXT_MGR, &unused) < 0) {
        warn(device_ + ": cannot become the context manager: " + std::strerror(errno));
        return false;
    }
    return true;
}

bool Binder::write(const void *bytes, size_t size)
{
    binder_write_read bwr{};
    bwr.write_buffer = addressOf(bytes);
    bwr.write_size = size;
    while (ioctl(fd_, BINDER_WRITE_READ, &bwr) < 0) {
        if (errno == EINTR)
            continue;
        warn(device_ + ": write to the driver failed: " + std::strerror(errno));
        return false;
    }
    return true;
}

namespace {
// A few commands for one write: at most a free and a reply, so a small fixed area does.
struct Commands {
    uint8_t data[128];
    size_t size = 0;
    template <typename T> Commands &add(const T &value)
    {
        static_assert(sizeof value <= sizeof data);
        if (size + sizeof value <= sizeof data) {
            std::memcpy(data + size, &value, sizeof value);
            size += sizeof value;
        }
        return *this;
    }
};

binder_transaction_data_sg transactionOf(const ParcelWriter &parcel, const int32_t *status)
{
    binder_transaction_data_sg sg{};
    binder_transaction_data &tr = sg.transaction_data;
    if (status) {
        tr.flags = TF_STATUS_CODE;
        tr.data_size = sizeof *status;
        tr.data.ptr.buffer = addressOf(status);
    } else {
        tr.data_size = parcel.data().size();
        tr.offsets_size = parcel.offsets().size() * sizeof(binder_size_t);
        tr.data.ptr.buffer = addressOf(parcel.data().data());
        tr.data.ptr.offsets = addressOf(parcel.offsets().data());
        sg.buffers_size = parcel.buffersSize();
    }
    return sg;
}
} // namespace

void Binder::incRefs(uint32_t handle)
{
    Commands c;
    c.add(uint32_t(BC_INCREFS)).add(handle);
    write(c.data, c.size);
}

void Binder::acquire(uint32_t handle)
{
    Commands c;
    c.add(uint32_t(BC_ACQUIRE)).add(handle);
    write(c.data, c.size);
}

void Binder::release(uint32_t handle)
{
    Commands c;
    c.add(uint32_t(BC_RELEASE)).add(handle);
    write(c.data, c.size);
}

void Binder::linkToDeath(uint32_t handle, binder_uintptr_t cookie)
{
    binder_handle_cookie request{};
    request.handle = handle;
    request.cookie = cookie;
    Commands c;
    c.add(uint32_t(BC_REQUEST_DEATH_NOTIFICATION)).add(request);
    write(c.data, c.size);
}

void Binder::freeBuffer(binder_uintptr_t buffer)
{
    Commands c;
    c.add(uint32_t(BC_FREE_BUFFER)).add(buffer);
    write(c.data, c.size);
}

std::optional<uint32_t> Binder::nextCommand(const uint8_t **payload)
{
    if (readPos_ >= readSize_) {
        binder_write_read bwr{};
        bwr.read_buffer = addressOf(readBuffer_);
        bwr.read_size = sizeof readBuffer_;
        while (ioctl(fd_, BINDER_WRITE_READ, &bwr) < 0) {
            if (errno == EINTR)
                continue;
            warn(device_ + ": read from the driver failed: " + std::strerror(errno));
            return std::nullopt;
        }
        readSize_ = bwr.read_consumed;
        readPos_ = 0;
        if (readSize_ < sizeof(uint32_t))
            return uint32_t(BR_NOOP);
    }
    auto command = load<uint32_t>(readBuffer_ + readPos_);
    size_t size = _IOC_SIZE(command);
    if (readSize_ - readPos_ < sizeof command + size) {
        warn(device_ + ": the driver returned a truncated command");
        readPos_ = readSize_;
        return std::nullopt;
    }
    *payload = readBuffer_ + readPos_ + sizeof command;
    readPos_ += sizeof command + size;
    return command;
}

Binder::Step Binder::step(std::optional<Reply> *reply)
{
    const uint8_t *payload = nullptr;
    auto command = nextCommand(&payload);
    if (!command)
        die(device_ + ": lost the driver");
    switch (*command) {
    case BR_TRANSACTION_COMPLETE: return Step::Complete;
    case BR_NOOP:
    case BR_OK:
    case BR_SPAWN_LOOPER:
    case BR_FINISHED:
    case BR_CLEAR_DEATH_NOTIFICATION_DONE:
    case BR_RELEASE:
    case BR_DECREFS: return Step::More;
    case BR_INCREFS:
    case BR_ACQUIRE: {
        Commands c;
        c.add(uint32_t(*command == BR_INCREFS ? BC_INCREFS_DONE : BC_ACQUIRE_DONE))
            .add(load<binder_ptr_cookie>(payload));
        write(c.data, c.size);
        return Step::More;
    }
    case BR_DEAD_BINDER: {
        auto cookie = load<binder_uintptr_t>(payload);
        if (deathHandler_)
            deathHandler_(cookie);
        Commands c;
        c.add(uint32_t(BC_DEAD_BINDER_DONE)).add(cookie);
        write(c.data, c.size);
        return Step::More;
    }
    case BR_TRANSACTION: dispatch(load<binder_transaction_data>(payload)); return Step::More;
    case BR_REPLY: {
        auto txn = load<binder_transaction_data>(payload);
        if (reply) {
            reply->emplace(this, txn, ParcelReader(txn, map_, map_ + mapSize_));
        } else {
            warn(device_ + ": a reply nobody waited for");
            freeBuffer(txn.data.ptr.buffer);
        }
        return Step::Reply;
    }
    case BR_DEAD_REPLY: return Step::Dead;
    case BR_FAILED_REPLY: return Step::Failed;
    case BR_ERROR: warn(device_ + ": driver error " + std::to_string(load<int32_t>(payload))); return Step::More;
    default: {
        char text[64];
        std::snprintf(text, sizeof text, ": unexpected return code 0x%x", *command);
        warn(device_ + text);
        return Step::More;
    }
    }
}

void Binder::dispatch(const binder_transaction_data &txn)
{
    Transaction in{txn, ParcelReader(txn, map_, map_ + mapSize_)};
    ParcelWriter reply;
    if (handler_)
        handler_(in, reply);
    else
        reply.setStatus(kUnknownTransaction);
    // Descriptors that came with the request are ours to close, used or not.
    for (int fd : in.data.fileDescriptors())
        close(fd);

    Commands c;
    c.add(uint32_t(BC_FREE_BUFFER)).add(txn.data.ptr.buffer);
    if (!in.oneway()) {
        auto status = reply.status();
        binder_transaction_data_sg sg = transactionOf(reply, status ? &*status : nullptr);
        if (!status && reply.hasBuffers())
            c.add(uint32_t(BC_REPLY_SG)).add(sg);
        else
            c.add(uint32_t(BC_REPLY)).add(sg.transaction_data);
    }
    write(c.data, c.size);
    // The driver has made the receiver's own references and descriptors by now.
    for (uint32_t handle : reply.keptHandles())
        release(handle);
    for (int fd : reply.ownedFds())
        close(fd);
}

bool Binder::writeTransaction(uint32_t handle, uint32_t code, const ParcelWriter &data, uint32_t flags)
{
    binder_transaction_data_sg sg = transactionOf(data, nullptr);
    sg.transaction_data.target.handle = handle;
    sg.transaction_data.code = code;
    sg.transaction_data.flags = flags;
    Commands c;
    if (data.hasBuffers())
        c.add(uint32_t(BC_TRANSACTION_SG)).add(sg);
    else
        c.add(uint32_t(BC_TRANSACTION)).add(sg.transaction_data);
    return write(c.data, c.size);
}

bool Binder::send(uint32_t handle, uint32_t code, const ParcelWriter &data)
{
    if (!writeTransaction(handle, code, data, TF_ONE_WAY | TF_ACCEPT_FDS))
        return false;
    for (;;) {
        switch (step(nullptr)) {
        case Step::More: continue;
        case Step::Complete: return true;
        case Step::Reply:
        case Step::Dead:
        case Step::Failed:
            warn(device_ + ": the one-way call to handle " + std::to_string(handle) + " failed");
            return false;
        }
    }
}

std::optional<Reply> Binder::transact(uint32_t handle, uint32_t code, const ParcelWriter &data)
{
    if (!writeTransaction(handle, code, data, TF_ACCEPT_FDS))
        return std::nullopt;
    std::optional<Reply> reply;
    for (;;) {
        switch (step(&reply)) {
        case Step::More:
        case Step::Complete: continue;
        case Step::Reply: return reply;
        case Step::Dead:
            warn(device_ + ": handle " + std::to_string(handle) + " is dead (no context manager?)");
            return std::nullopt;
        case Step::Failed:
            warn(device_ + ": the call to handle " + std::to_string(handle) + " failed");
            return std::nullopt;
        }
    }
}

void Binder::serve()
{
    uint32_t enter = BC_ENTER_LOOPER;
    if (!write(&enter, sizeof enter))
        die(device_ + ": cannot enter the looper");
    for (;;) {
        std::optional<Reply> stray;
        step(&stray);
        if (stray)
            warn(device_ + ": a reply nobody waited for");
    }
}

// ---- headers and replies of the releases

void writeInterfaceToken(ParcelWriter &out, const Release &release, const Partition &partition,
                         std::u16string_view descriptor)
{
    out.u32(release.strictModeWord);
    if (release.workSourceWord)
        out.i32(-1);
    if (release.namespaceWord)
        out.u32(partition.headerWord);
    out.string16(descriptor);
}

bool enforceInterface(ParcelReader &in, const Release &release, const Partition &partition,
                      std::u16string_view descriptor)
{
    in.u32(); // the caller's strict-mode policy: any is accepted
    if (release.workSourceWord)
        in.u32();
    if (release.namespaceWord && in.u32().value_or(0) != partition.headerWord)
        return false;
    auto token = in.string16();
    return token && *token == descriptor;
}

void writeLocalBinder(ParcelWriter &out, const Release &release, const Partition &partition, binder_uintptr_t binder)
{
    out.localObject(binder, binder);
    if (release.stabilityWords)
        out.i32(stabilityWord(release, partition.stability));
}

void writeNullBinder(ParcelWriter &out, const Release &release)
{
    out.localObject(0, 0);
    if (release.stabilityWords)
        out.i32(stabilityWord(release, 0));
}

int32_t stabilityWord(const Release &release, int32_t level)
{
    return release.versionedStability ? int32_t(uint32_t(level) << 24 | 1) : level;
}

bool stabilityAccepted(const Release &release, int32_t word)
{
    return !release.versionedStability || (word & 0xff) >= 1;
}

namespace {
// The Service union as the platform's client reads it; only the service with its metadata
// can be used here: an accessor would need a second round through it.
bool readServiceUnion(ParcelReader &in, Lookup &found)
{
    if (in.i32() != 1) // the union is never null
        return false;
    auto tag = in.i32();
    if (tag == kServiceAccessor) {
        warn("the manager handed out an accessor, which no peer uses");
        return false;
    }
    if (tag != kServiceWithMetadata || in.i32() != 1)
        return false;
    size_t start = in.position();
    auto size = in.i32();
    auto object = in.object();
    auto stability = in.i32();
    if (!size || !object || !stability || !in.i32() || !in.skipSized(start, *size)) // isLazyService
        return false;
    if (object->hdr.type != BINDER_TYPE_BINDER || object->binder != 0)
        found.object = object;
    found.stability = *stability;
    return true;
}
} // namespace

Lookup lookupService(Binder &binder, const Release &release, const Partition &partition, std::u16string_view name)
{
    ParcelWriter request;
    writeInterfaceToken(request, release, partition, kServiceManagerDescriptor);
    request.string16(name);
    Lookup found{binder.transact(0, release.manager.lookup(), request), std::nullopt};
    if (!found.reply)
        return found;
    ParcelReader &data = found.reply->data();
    found.refused = found.reply->statusOnly() || (release.aidlServiceManager && data.i32() != kExNone);
    if (found.refused)
        return found;
    if (release.manager.lookupUnion()) {
        found.refused = !readServiceUnion(data, found);
        return found;
    }
    auto object = data.object();
    if (!object || (object->hdr.type == BINDER_TYPE_BINDER && object->binder == 0))
        return found; // the null binder, or the classic manager's plain 0 for a miss
    found.object = object;
    if (release.stabilityWords)
        found.stability = data.i32().value_or(0);
    return found;
}

void registerService(Binder &binder, const Release &release, const Partition &partition, const std::string &name,
                     binder_uintptr_t node, int32_t dumpPriority)
{
    ParcelWriter request;
    writeInterfaceToken(request, release, partition, kServiceManagerDescriptor);
    request.string16(name);
    writeLocalBinder(request, release, partition, node);
    request.i32(0); // not for isolated processes
    request.i32(dumpPriority);
    auto reply = binder.transact(0, release.manager.addService, request);
    if (!reply)
        die("cannot register " + name + " on " + binder.device());
    int32_t status = reply->data().i32().value_or(kNotEnoughData);
    if (reply->statusOnly() || status != 0)
        die("the manager of " + binder.device() + " refused " + name + " with status " + std::to_string(status));
}

void writeException(ParcelWriter &out, int32_t exception, std::string_view message, int32_t serviceSpecific)
{
    out.i32(exception);
    out.string16(message);
    out.i32(0);
    if (exception == kExServiceSpecific)
        out.i32(serviceSpecific);
}

bool answerBuiltin(const Release &release, const BuiltinObject &object, Transaction &in, ParcelWriter &reply)
{
    switch (in.code()) {
    case kPingTransaction:
        if (release.pingStatusWord)
            reply.i32(kOk);
        return true;
    case kInterfaceTransaction: reply.string16(object.descriptor); return true;
    case kDumpTransaction: {
        int fd = in.data.fileDescriptor().value_or(-1);
        int32_t count = in.data.i32().value_or(0);
        std::vector<std::u16string> args;
        for (int32_t i = 0; i < count && in.data.remaining() > 0; ++i)
            args.push_back(in.data.string16().value_or(u""));
        if (object.dump)
            object.dump(fd, args);
        return true;
    }
    case kShellCommandTransaction:
    case kSyspropsTransaction:
        // Accepted and done: no shell commands here, and no properties to reload.
        return true;
    case kDebugPidTransaction:
        if (!release.debugBuiltins)
            return false;
        reply.i32(int32_t(getpid()));
        return true;
    case kExtensionTransaction:
        if (!release.debugBuiltins)
            return false;
        writeNullBinder(reply, release);
        return true;
    default: return false;
    }
}

bool answerHidlBase(const std::vector<std::string> &chain, Transaction &in, ParcelWriter &reply)
{
    switch (in.code()) {
    case kHidlInterfaceChain:
    case kHidlInterfaceDescriptor:
    case kHidlGetDebugInfo:
    case kHidlGetHashChain:
    case kHidlDebug:
    case kHidlPing: break;
    default: return false;
    }
    if (in.data.cstring() != std::string(kHidlBase)) {
        reply.setStatus(kBadType);
        return true;
    }
    if (in.code() == kHidlDebug) { // its options to the descriptor, one a line
        auto fd = in.data.nativeHandleFd();
        auto options = fd ? in.data.hidlStringVector() : std::nullopt;
        if (!options)
            return reply.setStatus(kBadValue), true;
        std::string text = "debug of " + chain.front() + "\n";
        for (const std::string &option : *options)
            text += "option: " + option + "\n";
        for (size_t done = 0; done < text.size();) {
            ssize_t n = write(*fd, text.data() + done, text.size() - done);
            if (n <= 0)
                break;
            done += size_t(n);
        }
    }
    reply.i32(kOk);
    if (in.code() == kHidlInterfaceChain)
        reply.hidlStringVector(chain);
    if (in.code() == kHidlInterfaceDescriptor)
        reply.hidlString(chain.front());
    if (in.code() == kHidlGetHashChain) { // hidl_vec<uint8_t[32]>: byte k of hash i is i * 16 + k
        std::string hashes(32 * chain.size(), '\0');
        for (size_t k = 0; k < hashes.size(); ++k)
            hashes[k] = char(k / 32 * 16 + k % 32);
        reply.hidlVector(hashes, uint32_t(chain.size()));
    }
    if (in.code() == kHidlGetDebugInfo) { // DebugInfo: pid, the object's address (0), arch
        struct {
            int32_t pid;
            uint32_t pad;
            uint64_t ptr;
            int32_t arch;
            uint32_t pad2;
        } info{getpid(), 0, 0, sizeof(void *) == 8 ? 1 : 2, 0};
        reply.bufferObject({reinterpret_cast<const char *>(&info), sizeof info});
    }
    return true;
}

// ---- command line and start-up

Options::Options(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) != 0) {
            unknown_.push_back(word);
            continue;
        }
        std::string key = word.substr(2);
        bool flag =
            key == "vendor" || key == "detach" || key == "hidl" || key == "oneway" || key == "lie" || key == "evil";
        if (!flag && i + 1 < argc && std::string_view(argv[i + 1]).rfind("--", 0) != 0)
            values_.emplace(key, argv[++i]);
        else
            values_.emplace(key, "");
    }
}

std::optional<std::string> Options::get(const std::string &key) const
{
    auto found = values_.find(key);
    if (found == values_.end())
        return std::nullopt;
    return found->second;
}

std::vector<std::string> Options::all(const std::string &key) const
{
    std::vector<std::string> values;
    auto [begin, end] = values_.equal_range(key);
    for (auto it = begin; it != end; ++it)
        values.push_back(it->second);
    return values;
}

void setProgramName(const char *argv0)
{
    std::string_view name(argv0 ? argv0 : "peer");
    auto slash = name.rfind('/');
    g_programName = std::string(slash == std::string_view::npos ? name : name.substr(slash + 1));
}

void warn(const std::string &message)
{
    std::fprintf(stderr, "%s: %s\n", g_programName.c_str(), message.c_str());
    std::fflush(stderr);
}

void die(const std::string &message)
{
    warn(message);
    std::exit(1);
}

void detachUntilReady(bool detach, int timeoutSeconds)
{
    if (!detach)
        return;
    int fds[2];
    if (pipe(fds) < 0)
        die(std::string("pipe: ") + std::strerror(errno));
    pid_t child = fork();
    if (child < 0)
        die(std::string("fork: ") + std::strerror(errno));
    if (child == 0) {
        close(fds[0]);
        setsid();
        g_readyFd = fds[1];
        return;
    }
    close(fds[1]);
    pollfd waiting{fds[0], POLLIN, 0};
    int polled;
    while ((polled = poll(&waiting, 1, timeoutSeconds * 1000)) < 0 && errno == EINTR) {
    }
    if (polled == 0) {
        kill(child, SIGTERM);
        die("not ready within " + std::to_string(timeoutSeconds) + " seconds");
    }
    char signal = 0;
    if (read(fds[0], &signal, 1) == 1 && signal == 'r')
        std::exit(0);
    die("stopped before it was ready");
}

void ready(const std::optional<std::string> &logPath)
{
    if (logPath || g_readyFd >= 0) {
        int log = ::open(logPath ? logPath->c_str() : "/dev/null", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log >= 0) {
            std::fflush(stdout);
            std::fflush(stderr);
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
            close(log);
        }
        int none = ::open("/dev/null", O_RDONLY);
        if (none >= 0) {
            dup2(none, STDIN_FILENO);
            close(none);
        }
    }
    if (g_readyFd >= 0) {
        char signal = 'r';
        if (::write(g_readyFd, &signal, 1) != 1)
            warn("cannot tell the launcher that it is ready");
        close(g_readyFd);
        g_readyFd = -1;
    }
}

} // namespace peer
