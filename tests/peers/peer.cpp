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

constexpr Release kReleases[] = {
    // number, strict mode, work source, namespace, stability, AIDL manager, ping word, debug
    {9, 0x00400000, false, false, false, false, true, false},
    {10, 0x80000000, true, false, false, false, true, false},
    {11, 0x80000000, true, true, true, true, false, true},
};

std::string g_programName = "peer";
int g_readyFd = -1;

size_t align4(size_t n) { return (n + 3) & ~size_t(3); }
size_t align8(size_t n) { return (n + 7) & ~size_t(7); }

template <typename T>
T load(const uint8_t* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// The 16-byte record of a hidl string or vector: address, count, owns-buffer flag.
struct HidlRecord {
    uint64_t address;
    uint32_t count;
    uint32_t ownsBuffer;
};
static_assert(sizeof(HidlRecord) == 16);

std::string_view bytesOf(const HidlRecord& record) {
    return {reinterpret_cast<const char*>(&record), sizeof record};
}

}  // namespace

const Release* findRelease(int number) {
    for (const Release& release : kReleases)
        if (release.number == number) return &release;
    return nullptr;
}

std::u16string widen(std::string_view ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

std::string narrow(std::u16string_view units) {
    std::string text;
    for (char16_t unit : units) text.push_back(unit < 0x80 ? char(unit) : '?');
    return text;
}

// ---- ParcelWriter

void ParcelWriter::raw(const void* bytes, size_t size) {
    const auto* begin = static_cast<const uint8_t*>(bytes);
    data_.insert(data_.end(), begin, begin + size);
    data_.resize(align4(data_.size()), 0);
}

void ParcelWriter::u32(uint32_t value) { raw(&value, sizeof value); }
void ParcelWriter::i64(int64_t value) { raw(&value, sizeof value); }
void ParcelWriter::f32(float value) { raw(&value, sizeof value); }

void ParcelWriter::string16(std::u16string_view text) {
    u32(uint32_t(text.size()));
    std::u16string terminated(text);
    terminated.push_back(u'\0');
    raw(terminated.data(), terminated.size() * sizeof(char16_t));
}

size_t ParcelWriter::pushObject(const void* object, size_t size) {
    offsets_.push_back(data_.size());
    raw(object, size);
    return offsets_.size() - 1;
}

void ParcelWriter::localObject(binder_uintptr_t binder, binder_uintptr_t cookie) {
    flat_binder_object object{};
    object.hdr.type = BINDER_TYPE_BINDER;
    object.flags = kObjectFlags;
    object.binder = binder;
    object.cookie = cookie;
    if (binder == 0 && cookie == 0)
        raw(&object, sizeof object);
    else
        pushObject(&object, sizeof object);
}

void ParcelWriter::handleObject(uint32_t handle) {
    flat_binder_object object{};
    object.hdr.type = BINDER_TYPE_HANDLE;
    object.flags = kObjectFlags;
    object.handle = handle;
    pushObject(&object, sizeof object);
}

void ParcelWriter::fdObject(const binder_fd_object& object) { pushObject(&object, sizeof object); }

size_t ParcelWriter::bufferObject(std::string_view bytes, std::optional<size_t> parent,
                                  size_t parentOffset) {
    const std::string& kept = buffers_.emplace_back(bytes);
    binder_buffer_object object{};
    object.hdr.type = BINDER_TYPE_PTR;
    object.buffer = reinterpret_cast<binder_uintptr_t>(kept.data());
    object.length = kept.size();
    if (parent) {
        object.flags = BINDER_BUFFER_FLAG_HAS_PARENT;
        object.parent = *parent;
        object.parent_offset = parentOffset;
    }
    buffersSize_ += align8(kept.size());
    return pushObject(&object, sizeof object);
}

void ParcelWriter::cstring(std::string_view text) {
    std::string terminated(text);
    terminated.push_back('\0');
    raw(terminated.data(), terminated.size());
}

void ParcelWriter::hidlString(std::string_view text) {
    HidlRecord record{0, uint32_t(text.size()), 1};
    size_t recordIndex = bufferObject(bytesOf(record));
    size_t recordKept = buffers_.size() - 1;
    std::string chars(text);
    chars.push_back('\0');
    bufferObject(chars, recordIndex, 0);
    // Kept buffers never move, so the record can point at the characters' kept copy.
    record.address = reinterpret_cast<uint64_t>(buffers_.back().data());
    std::memcpy(buffers_[recordKept].data(), &record, sizeof record);
}

void ParcelWriter::hidlStringVector(const std::vector<std::string>& texts) {
    HidlRecord vector{0, uint32_t(texts.size()), 1};
    size_t vectorIndex = bufferObject(bytesOf(vector));
    size_t vectorKept = buffers_.size() - 1;
    std::string records(sizeof(HidlRecord) * texts.size(), '\0');
    size_t recordsIndex = bufferObject(records, vectorIndex, 0);
    size_t recordsKept = buffers_.size() - 1;
    for (size_t i = 0; i < texts.size(); ++i) {
        std::string chars = texts[i];
        chars.push_back('\0');
        bufferObject(chars, recordsIndex, sizeof(HidlRecord) * i);
        HidlRecord record{reinterpret_cast<uint64_t>(buffers_.back().data()),
                          uint32_t(texts[i].size()), 1};
        std::memcpy(buffers_[recordsKept].data() + sizeof(HidlRecord) * i, &record, sizeof record);
    }
    vector.address = reinterpret_cast<uint64_t>(buffers_[recordsKept].data());
    std::memcpy(buffers_[vectorKept].data(), &vector, sizeof vector);
}

// ---- ParcelReader

ParcelReader::ParcelReader(const binder_transaction_data& txn, const uint8_t* mapBegin,
                           const uint8_t* mapEnd)
    : data_(reinterpret_cast<const uint8_t*>(txn.data.ptr.buffer)),
      size_(txn.data_size),
      mapBegin_(mapBegin),
      mapEnd_(mapEnd) {
    const auto* offsets = reinterpret_cast<const uint8_t*>(txn.data.ptr.offsets);
    for (size_t i = 0; i < txn.offsets_size / sizeof(binder_size_t); ++i)
        offsets_.push_back(load<binder_size_t>(offsets + i * sizeof(binder_size_t)));
}

const uint8_t* ParcelReader::take(size_t size) {
    if (size > size_ - pos_) return nullptr;
    const uint8_t* at = data_ + pos_;
    pos_ += align4(size);
    if (pos_ > size_) pos_ = size_;
    return at;
}

std::optional<uint32_t> ParcelReader::u32() {
    const uint8_t* at = take(4);
    if (!at) return std::nullopt;
    return load<uint32_t>(at);
}

std::optional<int32_t> ParcelReader::i32() {
    auto value = u32();
    if (!value) return std::nullopt;
    return int32_t(*value);
}

std::optional<int64_t> ParcelReader::i64() {
    const uint8_t* at = take(8);
    if (!at) return std::nullopt;
    return load<int64_t>(at);
}

std::optional<std::u16string> ParcelReader::string16() {
    wasNull_ = false;
    auto length = i32();
    if (!length) return std::nullopt;
    if (*length == -1) {
        wasNull_ = true;
        return std::nullopt;
    }
    if (*length < 0) return std::nullopt;
    size_t units = size_t(*length) + 1;
    if (units > (size_ - pos_) / 2) return std::nullopt;
    const uint8_t* at = take(units * 2);
    if (load<char16_t>(at + (units - 1) * 2) != u'\0') return std::nullopt;
    std::u16string text(units - 1, u'\0');
    std::memcpy(text.data(), at, (units - 1) * 2);
    return text;
}

bool ParcelReader::listed(size_t offset, size_t* index) const {
    auto found = std::find(offsets_.begin(), offsets_.end(), offset);
    if (found == offsets_.end()) return false;
    if (index) *index = size_t(found - offsets_.begin());
    return true;
}

std::optional<flat_binder_object> ParcelReader::object() {
    size_t at = pos_;
    const uint8_t* bytes = take(sizeof(flat_binder_object));
    if (!bytes) return std::nullopt;
    auto object = load<flat_binder_object>(bytes);
    if (object.binder == 0 && object.cookie == 0) return object;
    if (!listed(at)) return std::nullopt;
    return object;
}

std::optional<int> ParcelReader::fileDescriptor() {
    size_t at = pos_;
    const uint8_t* bytes = take(sizeof(binder_fd_object));
    if (!bytes || !listed(at)) return std::nullopt;
    auto object = load<binder_fd_object>(bytes);
    if (object.hdr.type != BINDER_TYPE_FD) return std::nullopt;
    return int(object.fd);
}

std::vector<int> ParcelReader::fileDescriptors() const {
    std::vector<int> fds;
    for (binder_size_t offset : offsets_) {
        if (offset > size_ || size_ - offset < sizeof(binder_fd_object)) continue;
        auto object = load<binder_fd_object>(data_ + offset);
        if (object.hdr.type == BINDER_TYPE_FD) fds.push_back(int(object.fd));
    }
    return fds;
}

std::optional<std::string> ParcelReader::cstring() {
    const auto* begin = data_ + pos_;
    const auto* end = static_cast<const uint8_t*>(std::memchr(begin, 0, size_ - pos_));
    if (!end) return std::nullopt;
    std::string text(reinterpret_cast<const char*>(begin), size_t(end - begin));
    take(text.size() + 1);
    return text;
}

const uint8_t* ParcelReader::inReceiveArea(binder_uintptr_t address, binder_size_t size) const {
    auto begin = reinterpret_cast<binder_uintptr_t>(mapBegin_);
    auto end = reinterpret_cast<binder_uintptr_t>(mapEnd_);
    if (address < begin || address > end || size > end - address) return nullptr;
    return reinterpret_cast<const uint8_t*>(address);
}

std::optional<binder_buffer_object> ParcelReader::bufferObject(size_t* index) {
    size_t at = pos_;
    const uint8_t* bytes = take(sizeof(binder_buffer_object));
    if (!bytes || !listed(at, index)) return std::nullopt;
    auto object = load<binder_buffer_object>(bytes);
    if (object.hdr.type != BINDER_TYPE_PTR || !inReceiveArea(object.buffer, object.length))
        return std::nullopt;
    return object;
}

std::optional<std::string> ParcelReader::hidlString() {
    size_t parentIndex = 0;
    auto parent = bufferObject(&parentIndex);
    if (!parent || parent->length != sizeof(HidlRecord)) return std::nullopt;
    auto record = load<HidlRecord>(reinterpret_cast<const uint8_t*>(parent->buffer));
    auto child = bufferObject(nullptr);
    if (!child || !(child->flags & BINDER_BUFFER_FLAG_HAS_PARENT) || child->parent != parentIndex ||
        child->parent_offset != 0 || child->buffer != record.address ||
        child->length != binder_size_t(record.count) + 1)
        return std::nullopt;
    const auto* chars = reinterpret_cast<const char*>(child->buffer);
    if (chars[record.count] != '\0') return std::nullopt;
    return std::string(chars, record.count);
}

std::optional<std::vector<std::string>> ParcelReader::hidlStringVector() {
    size_t vectorIndex = 0;
    auto vectorObject = bufferObject(&vectorIndex);
    if (!vectorObject || vectorObject->length != sizeof(HidlRecord)) return std::nullopt;
    auto vector = load<HidlRecord>(reinterpret_cast<const uint8_t*>(vectorObject->buffer));
    size_t recordsIndex = 0;
    auto records = bufferObject(&recordsIndex);
    if (!records || records->parent != vectorIndex || records->parent_offset != 0 ||
        records->buffer != vector.address ||
        records->length != binder_size_t(vector.count) * sizeof(HidlRecord))
        return std::nullopt;
    std::vector<std::string> texts;
    for (uint32_t i = 0; i < vector.count; ++i) {
        auto record = load<HidlRecord>(reinterpret_cast<const uint8_t*>(records->buffer) +
                                       i * sizeof(HidlRecord));
        auto chars = bufferObject(nullptr);
        if (!chars || chars->parent != recordsIndex ||
            chars->parent_offset != i * sizeof(HidlRecord) || chars->buffer != record.address ||
            chars->length != binder_size_t(record.count) + 1)
            return std::nullopt;
        const auto* text = reinterpret_cast<const char*>(chars->buffer);
        if (text[record.count] != '\0') return std::nullopt;
        texts.emplace_back(text, record.count);
    }
    return texts;
}

// ---- Reply

Reply::Reply(Binder* owner, const binder_transaction_data& txn, ParcelReader data)
    : owner_(owner), txn_(txn), data_(std::move(data)) {}

Reply::Reply(Reply&& other) noexcept
    : owner_(other.owner_), txn_(other.txn_), data_(std::move(other.data_)) {
    other.owner_ = nullptr;
}

Reply::~Reply() {
    if (!owner_) return;
    for (int fd : data_.fileDescriptors()) close(fd);
    owner_->freeBuffer(txn_.data.ptr.buffer);
}

// ---- Binder

std::unique_ptr<Binder> Binder::open(const std::string& device) {
    std::unique_ptr<Binder> binder(new Binder);
    binder->device_ = device;
    binder->fd_ = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (binder->fd_ < 0) die("cannot open " + device + ": " + std::strerror(errno));
    binder_version version{};
    if (ioctl(binder->fd_, BINDER_VERSION, &version) < 0 ||
        version.protocol_version != BINDER_CURRENT_PROTOCOL_VERSION)
        die(device + ": the driver speaks another protocol version");
    // One thread serves everything: the driver must never ask for more.
    uint32_t maxThreads = 0;
    ioctl(binder->fd_, BINDER_SET_MAX_THREADS, &maxThreads);
    binder->mapSize_ = 1024 * 1024 - 2 * size_t(sysconf(_SC_PAGESIZE));
    void* map = mmap(nullptr, binder->mapSize_, PROT_READ, MAP_PRIVATE | MAP_NORESERVE,
                     binder->fd_, 0);
    if (map == MAP_FAILED) die("cannot map " + device + ": " + std::strerror(errno));
    binder->map_ = static_cast<uint8_t*>(map);
    return binder;
}

Binder::~Binder() {
    if (map_) munmap(map_, mapSize_);
    if (fd_ >= 0) close(fd_);
}

bool Binder::becomeContextManager() {
    int32_t unused = 0;
    if (ioctl(fd_, BINDER_SET_CONTEXT_MGR, &unused) < 0) {
        warn(device_ + ": cannot become the context manager: " + std::strerror(errno));
        return false;
    }
    return true;
}

bool Binder::write(const void* bytes, size_t size) {
    binder_write_read bwr{};
    bwr.write_buffer = reinterpret_cast<binder_uintptr_t>(bytes);
    bwr.write_size = size;
    while (ioctl(fd_, BINDER_WRITE_READ, &bwr) < 0) {
        if (errno == EINTR) continue;
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
    template <typename T>
    Commands& add(const T& value) {
        static_assert(sizeof value <= sizeof data);
        if (size + sizeof value <= sizeof data) {
            std::memcpy(data + size, &value, sizeof value);
            size += sizeof value;
        }
        return *this;
    }
};

binder_transaction_data_sg transactionOf(const ParcelWriter& parcel, const int32_t* status) {
    binder_transaction_data_sg sg{};
    binder_transaction_data& tr = sg.transaction_data;
    if (status) {
        tr.flags = TF_STATUS_CODE;
        tr.data_size = sizeof *status;
        tr.data.ptr.buffer = reinterpret_cast<binder_uintptr_t>(status);
    } else {
        tr.data_size = parcel.data().size();
        tr.offsets_size = parcel.offsets().size() * sizeof(binder_size_t);
        tr.data.ptr.buffer = reinterpret_cast<binder_uintptr_t>(parcel.data().data());
        tr.data.ptr.offsets = reinterpret_cast<binder_uintptr_t>(parcel.offsets().data());
        sg.buffers_size = parcel.buffersSize();
    }
    return sg;
}
}  // namespace

void Binder::acquire(uint32_t handle) {
    Commands c;
    c.add(uint32_t(BC_ACQUIRE)).add(handle);
    write(c.data, c.size);
}

void Binder::release(uint32_t handle) {
    Commands c;
    c.add(uint32_t(BC_RELEASE)).add(handle);
    write(c.data, c.size);
}

void Binder::linkToDeath(uint32_t handle, binder_uintptr_t cookie) {
    binder_handle_cookie request{};
    request.handle = handle;
    request.cookie = cookie;
    Commands c;
    c.add(uint32_t(BC_REQUEST_DEATH_NOTIFICATION)).add(request);
    write(c.data, c.size);
}

void Binder::freeBuffer(binder_uintptr_t buffer) {
    Commands c;
    c.add(uint32_t(BC_FREE_BUFFER)).add(buffer);
    write(c.data, c.size);
}

std::optional<uint32_t> Binder::nextCommand(const uint8_t** payload) {
    if (readPos_ >= readSize_) {
        binder_write_read bwr{};
        bwr.read_buffer = reinterpret_cast<binder_uintptr_t>(readBuffer_);
        bwr.read_size = sizeof readBuffer_;
        while (ioctl(fd_, BINDER_WRITE_READ, &bwr) < 0) {
            if (errno == EINTR) continue;
            warn(device_ + ": read from the driver failed: " + std::strerror(errno));
            return std::nullopt;
        }
        readSize_ = bwr.read_consumed;
        readPos_ = 0;
        if (readSize_ < sizeof(uint32_t)) return uint32_t(BR_NOOP);
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

Binder::Step Binder::step(std::optional<Reply>* reply) {
    const uint8_t* payload = nullptr;
    auto command = nextCommand(&payload);
    if (!command) die(device_ + ": lost the driver");
    switch (*command) {
    case BR_NOOP:
    case BR_OK:
    case BR_TRANSACTION_COMPLETE:
    case BR_SPAWN_LOOPER:
    case BR_FINISHED:
    case BR_CLEAR_DEATH_NOTIFICATION_DONE:
    case BR_RELEASE:
    case BR_DECREFS:
        return Step::More;
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
        if (deathHandler_) deathHandler_(cookie);
        Commands c;
        c.add(uint32_t(BC_DEAD_BINDER_DONE)).add(cookie);
        write(c.data, c.size);
        return Step::More;
    }
    case BR_TRANSACTION:
        dispatch(load<binder_transaction_data>(payload));
        return Step::More;
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
    case BR_DEAD_REPLY:
        return Step::Dead;
    case BR_FAILED_REPLY:
        return Step::Failed;
    case BR_ERROR:
        warn(device_ + ": driver error " + std::to_string(load<int32_t>(payload)));
        return Step::More;
    default: {
        char text[64];
        std::snprintf(text, sizeof text, ": unexpected return code 0x%x", *command);
        warn(device_ + text);
        return Step::More;
    }
    }
}

void Binder::dispatch(const binder_transaction_data& txn) {
    Transaction in{txn, ParcelReader(txn, map_, map_ + mapSize_)};
    ParcelWriter reply;
    if (handler_)
        handler_(in, reply);
    else
        reply.setStatus(kUnknownTransaction);
    // Descriptors that came with the request are ours to close, used or not.
    for (int fd : in.data.fileDescriptors()) close(fd);

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
}

std::optional<Reply> Binder::transact(uint32_t handle, uint32_t code, const ParcelWriter& data) {
    binder_transaction_data_sg sg = transactionOf(data, nullptr);
    sg.transaction_data.target.handle = handle;
    sg.transaction_data.code = code;
    sg.transaction_data.flags = TF_ACCEPT_FDS;
    Commands c;
    if (data.hasBuffers())
        c.add(uint32_t(BC_TRANSACTION_SG)).add(sg);
    else
        c.add(uint32_t(BC_TRANSACTION)).add(sg.transaction_data);
    if (!write(c.data, c.size)) return std::nullopt;
    std::optional<Reply> reply;
    for (;;) {
        switch (step(&reply)) {
        case Step::More:
            continue;
        case Step::Reply:
            return reply;
        case Step::Dead:
            warn(device_ + ": handle " + std::to_string(handle) + " is dead (no context manager?)");
            return std::nullopt;
        case Step::Failed:
            warn(device_ + ": the call to handle " + std::to_string(handle) + " failed");
            return std::nullopt;
        }
    }
}

void Binder::serve() {
    uint32_t enter = BC_ENTER_LOOPER;
    if (!write(&enter, sizeof enter)) die(device_ + ": cannot enter the looper");
    for (;;) {
        std::optional<Reply> stray;
        step(&stray);
        if (stray) warn(device_ + ": a reply nobody waited for");
    }
}

// ---- headers and replies of the releases

void writeInterfaceToken(ParcelWriter& out, const Release& release, const Partition& partition,
                         std::u16string_view descriptor) {
    out.u32(release.strictModeWord);
    if (release.workSourceWord) out.i32(-1);
    if (release.namespaceWord) out.u32(partition.headerWord);
    out.string16(descriptor);
}

bool enforceInterface(ParcelReader& in, const Release& release, const Partition& partition,
                      std::u16string_view descriptor) {
    in.u32();  // the caller's strict-mode policy: any is accepted
    if (release.workSourceWord) in.u32();
    if (release.namespaceWord && in.u32().value_or(0) != partition.headerWord) return false;
    auto token = in.string16();
    return token && *token == descriptor;
}

void writeLocalBinder(ParcelWriter& out, const Release& release, const Partition& partition,
                      binder_uintptr_t binder) {
    out.localObject(binder, binder);
    if (release.stabilityWords) out.i32(partition.stability);
}

void writeNullBinder(ParcelWriter& out, const Release& release) {
    out.localObject(0, 0);
    if (release.stabilityWords) out.i32(0);
}

void writeException(ParcelWriter& out, int32_t exception, std::string_view message,
                    int32_t serviceSpecific) {
    out.i32(exception);
    out.string16(message);
    out.i32(0);
    if (exception == kExServiceSpecific) out.i32(serviceSpecific);
}

bool answerBuiltin(const Release& release, const BuiltinObject& object, Transaction& in,
                   ParcelWriter& reply) {
    switch (in.code()) {
    case kPingTransaction:
        if (release.pingStatusWord) reply.i32(kOk);
        return true;
    case kInterfaceTransaction:
        reply.string16(object.descriptor);
        return true;
    case kDumpTransaction: {
        int fd = in.data.fileDescriptor().value_or(-1);
        int32_t count = in.data.i32().value_or(0);
        std::vector<std::u16string> args;
        for (int32_t i = 0; i < count && in.data.remaining() > 0; ++i)
            args.push_back(in.data.string16().value_or(u""));
        if (object.dump) object.dump(fd, args);
        return true;
    }
    case kShellCommandTransaction:
    case kSyspropsTransaction:
        // Accepted and done: no shell commands here, and no properties to reload.
        return true;
    case kDebugPidTransaction:
        if (!release.debugBuiltins) return false;
        reply.i32(int32_t(getpid()));
        return true;
    case kExtensionTransaction:
        if (!release.debugBuiltins) return false;
        writeNullBinder(reply, release);
        return true;
    default:
        return false;
    }
}

bool answerHidlBase(const std::vector<std::string>& chain, Transaction& in, ParcelWriter& reply) {
    switch (in.code()) {
    case kHidlInterfaceChain:
    case kHidlInterfaceDescriptor:
    case kHidlPing:
        break;
    default:
        return false;
    }
    if (in.data.cstring() != std::string(kHidlBase)) {
        reply.setStatus(kBadType);
        return true;
    }
    reply.i32(kOk);
    if (in.code() == kHidlInterfaceChain) reply.hidlStringVector(chain);
    if (in.code() == kHidlInterfaceDescriptor) reply.hidlString(chain.front());
    return true;
}

// ---- command line and start-up

Options::Options(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) != 0) {
            unknown_.push_back(word);
            continue;
        }
        std::string key = word.substr(2);
        bool flag = key == "vendor" || key == "detach" || key == "hidl";
        if (!flag && i + 1 < argc && std::string_view(argv[i + 1]).rfind("--", 0) != 0)
            values_.emplace(key, argv[++i]);
        else
            values_.emplace(key, "");
    }
}

std::optional<std::string> Options::get(const std::string& key) const {
    auto found = values_.find(key);
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

std::vector<std::string> Options::all(const std::string& key) const {
    std::vector<std::string> values;
    auto [begin, end] = values_.equal_range(key);
    for (auto it = begin; it != end; ++it) values.push_back(it->second);
    return values;
}

void setProgramName(const char* argv0) {
    std::string_view name(argv0 ? argv0 : "peer");
    auto slash = name.rfind('/');
    g_programName = std::string(slash == std::string_view::npos ? name : name.substr(slash + 1));
}

void warn(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", g_programName.c_str(), message.c_str());
    std::fflush(stderr);
}

void die(const std::string& message) {
    warn(message);
    std::exit(1);
}

void detachUntilReady(bool detach, int timeoutSeconds) {
    if (!detach) return;
    int fds[2];
    if (pipe(fds) < 0) die(std::string("pipe: ") + std::strerror(errno));
    pid_t child = fork();
    if (child < 0) die(std::string("fork: ") + std::strerror(errno));
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
    if (read(fds[0], &signal, 1) == 1 && signal == 'r') std::exit(0);
    die("stopped before it was ready");
}

void ready(const std::optional<std::string>& logPath) {
    if (logPath || g_readyFd >= 0) {
        int log = ::open(logPath ? logPath->c_str() : "/dev/null",
                         O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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
        if (::write(g_readyFd, &signal, 1) != 1) warn("cannot tell the launcher that it is ready");
        close(g_readyFd);
        g_readyFd = -1;
    }
}

}  // namespace peer
