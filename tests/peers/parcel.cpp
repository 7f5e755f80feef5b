#include "parcel.h"

#include <algorithm>

namespace peer {

namespace {

size_t align4(size_t n) { return (n + 3) & ~size_t(3); }
size_t align8(size_t n) { return (n + 7) & ~size_t(7); }

// The 16-byte record of a hidl string or vector: address, count, owns-buffer flag.
struct HidlRecord {
    uint64_t address;
    uint32_t count;
    uint32_t ownsBuffer;
};
static_assert(sizeof(HidlRecord) == 16);

std::string_view bytesOf(const HidlRecord &record) { return {reinterpret_cast<const char *>(&record), sizeof record}; }

} // namespace

std::u16string widen(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string narrow(std::u16string_view units)
{
    std::string text;
    for (char16_t unit : units)
        text.push_back(unit < 0x80 ? char(unit) : '?');
    return text;
}

// ---- ParcelWriter

void ParcelWriter::raw(const void *bytes, size_t size)
{
    const auto *begin = static_cast<const uint8_t *>(bytes);
    data_.insert(data_.end(), begin, begin + size);
    data_.resize(align4(data_.size()), 0);
}

void ParcelWriter::u32(uint32_t value) { raw(&value, sizeof value); }
void ParcelWriter::i64(int64_t value) { raw(&value, sizeof value); }
void ParcelWriter::f32(float value) { raw(&value, sizeof value); }
void ParcelWriter::f64(double value) { raw(&value, sizeof value); }

void ParcelWriter::string16(std::u16string_view text)
{
    u32(uint32_t(text.size()));
    std::u16string terminated(text);
    terminated.push_back(u'\0');
    raw(terminated.data(), terminated.size() * sizeof(char16_t));
}

size_t ParcelWriter::pushObject(const void *object, size_t size)
{
    offsets_.push_back(data_.size());
    raw(object, size);
    return offsets_.size() - 1;
}

void ParcelWriter::localObject(binder_uintptr_t binder, binder_uintptr_t cookie)
{
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

void ParcelWriter::handleObject(uint32_t handle)
{
    flat_binder_object object{};
    object.hdr.type = BINDER_TYPE_HANDLE;
    object.flags = kObjectFlags;
    object.handle = handle;
    pushObject(&object, sizeof object);
}

void ParcelWriter::fdObject(const binder_fd_object &object) { pushObject(&object, sizeof object); }

void ParcelWriter::ownedFdObject(int fd)
{
    binder_fd_object object{};
    object.hdr.type = BINDER_TYPE_FD;
    object.pad_flags = kObjectFlags;
    object.fd = uint32_t(fd);
    object.cookie = 1;
    fdObject(object);
    ownedFds_.push_back(fd);
}

size_t ParcelWriter::bufferObject(std::string_view bytes, std::optional<size_t> parent, size_t parentOffset)
{
    const std::string &kept = buffers_.emplace_back(bytes);
    binder_buffer_object object{};
    object.hdr.type = BINDER_TYPE_PTR;
    object.buffer = addressOf(kept.data());
    object.length = kept.size();
    if (parent) {
        object.flags = BINDER_BUFFER_FLAG_HAS_PARENT;
        object.parent = *parent;
        object.parent_offset = parentOffset;
    }
    buffersSize_ += align8(kept.size());
    return pushObject(&object, sizeof object);
}

void ParcelWriter::cstring(std::string_view text)
{
    std::string terminated(text);
    terminated.push_back('\0');
    raw(terminated.data(), terminated.size());
}

void ParcelWriter::hidlString(std::string_view text)
{
    HidlRecord record{0, uint32_t(text.size()), 1};
    size_t recordIndex = bufferObject(bytesOf(record));
    size_t recordKept = buffers_.size() - 1;
    std::string chars(text);
    chars.push_back('\0');
    bufferObject(chars, recordIndex, 0);
    // Kept buffers never move, so the record can point at the characters' kept copy.
    record.address = addressOf(buffers_.back().data());
    std::memcpy(buffers_[recordKept].data(), &record, sizeof record);
}

void ParcelWriter::hidlVector(std::string_view elements, uint32_t count)
{
    HidlRecord vector{0, count, 1};
    size_t vectorIndex = bufferObject(bytesOf(vector));
    size_t vectorKept = buffers_.size() - 1;
    bufferObject(elements, vectorIndex, 0);
    vector.address = addressOf(buffers_.back().data());
    std::memcpy(buffers_[vectorKept].data(), &vector, sizeof vector);
}

void ParcelWriter::hidlStringVector(const std::vector<std::string> &texts)
{
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
        HidlRecord record{addressOf(buffers_.back().data()), uint32_t(texts[i].size()), 1};
        std::memcpy(buffers_[recordsKept].data() + sizeof(HidlRecord) * i, &record, sizeof record);
    }
    vector.address = addressOf(buffers_[recordsKept].data());
    std::memcpy(buffers_[vectorKept].data(), &vector, sizeof vector);
}

size_t ParcelWriter::beginSized()
{
    size_t start = data_.size();
    u32(0);
    return start;
}

void ParcelWriter::endSized(size_t start)
{
    auto size = uint32_t(data_.size() - start);
    std::memcpy(data_.data() + start, &size, sizeof size);
}

// ---- ParcelReader

ParcelReader::ParcelReader(const binder_transaction_data &txn, const uint8_t *mapBegin, const uint8_t *mapEnd)
    : data_(reinterpret_cast<const uint8_t *>(txn.data.ptr.buffer)), size_(txn.data_size), mapBegin_(mapBegin),
      mapEnd_(mapEnd)
{
    const auto *offsets = reinterpret_cast<const uint8_t *>(txn.data.ptr.offsets);
    for (size_t i = 0; i < txn.offsets_size / sizeof(binder_size_t); ++i)
        offsets_.push_back(load<binder_size_t>(offsets + i * sizeof(binder_size_t)));
}

const uint8_t *ParcelReader::take(size_t size)
{
    if (size > size_ - pos_)
        return nullptr;
    const uint8_t *at = data_ + pos_;
    pos_ += align4(size);
    if (pos_ > size_)
        pos_ = size_;
    return at;
}

std::optional<uint32_t> ParcelReader::u32()
{
    const uint8_t *at = take(4);
    if (!at)
        return std::nullopt;
    return load<uint32_t>(at);
}

std::optional<int32_t> ParcelReader::i32()
{
    auto value = u32();
    if (!value)
        return std::nullopt;
    return int32_t(*value);
}

std::optional<int64_t> ParcelReader::i64()
{
    const uint8_t *at = take(8);
    if (!at)
        return std::nullopt;
    return load<int64_t>(at);
}

std::optional<float> ParcelReader::f32()
{
    const uint8_t *at = take(4);
    if (!at)
        return std::nullopt;
    return load<float>(at);
}

std::optional<double> ParcelReader::f64()
{
    const uint8_t *at = take(8);
    if (!at)
        return std::nullopt;
    return load<double>(at);
}

std::optional<std::u16string> ParcelReader::string16()
{
    wasNull_ = false;
    auto length = i32();
    if (!length)
        return std::nullopt;
    if (*length == -1) {
        wasNull_ = true;
        return std::nullopt;
    }
    if (*length < 0)
        return std::nullopt;
    size_t units = size_t(*length) + 1;
    if (units > (size_ - pos_) / 2)
        return std::nullopt;
    const uint8_t *at = take(units * 2);
    if (load<char16_t>(at + (units - 1) * 2) != u'\0')
        return std::nullopt;
    std::u16string text(units - 1, u'\0');
    std::memcpy(text.data(), at, (units - 1) * 2);
    return text;
}

bool ParcelReader::skipSized(size_t start, int32_t size)
{
    if (size < 4 || start > size_ || size_t(size) > size_ - start || start + size_t(size) < pos_)
        return false;
    pos_ = start + size_t(size);
    return true;
}

bool ParcelReader::listed(size_t offset, size_t *index) const
{
    auto found = std::find(offsets_.begin(), offsets_.end(), offset);
    if (found == offsets_.end())
        return false;
    if (index)
        *index = size_t(found - offsets_.begin());
    return true;
}

std::optional<flat_binder_object> ParcelReader::object()
{
    size_t at = pos_;
    const uint8_t *bytes = take(sizeof(flat_binder_object));
    if (!bytes)
        return std::nullopt;
    auto object = load<flat_binder_object>(bytes);
    if (object.binder == 0 && object.cookie == 0)
        return object;
    if (!listed(at))
        return std::nullopt;
    return object;
}

std::optional<int> ParcelReader::fileDescriptor()
{
    size_t at = pos_;
    const uint8_t *bytes = take(sizeof(binder_fd_object));
    if (!bytes || !listed(at))
        return std::nullopt;
    auto object = load<binder_fd_object>(bytes);
    if (object.hdr.type != BINDER_TYPE_FD)
        return std::nullopt;
    return int(object.fd);
}

std::vector<int> ParcelReader::fileDescriptors() const
{
    std::vector<int> fds;
    for (binder_size_t offset : offsets_) {
        if (offset > size_ || size_ - offset < sizeof(binder_fd_object))
            continue;
        auto object = load<binder_fd_object>(data_ + offset);
        if (object.hdr.type == BINDER_TYPE_FD)
            fds.push_back(int(object.fd));
    }
    return fds;
}

std::optional<std::string> ParcelReader::cstring()
{
    const auto *begin = data_ + pos_;
    const auto *end = static_cast<const uint8_t *>(std::memchr(begin, 0, size_ - pos_));
    if (!end)
        return std::nullopt;
    std::string text(reinterpret_cast<const char *>(begin), size_t(end - begin));
    take(text.size() + 1);
    return text;
}

const uint8_t *ParcelReader::inReceiveArea(binder_uintptr_t address, binder_size_t size) const
{
    auto begin = addressOf(mapBegin_);
    auto end = addressOf(mapEnd_);
    if (address < begin || address > end || size > end - address)
        return nullptr;
    return reinterpret_cast<const uint8_t *>(address);
}

std::optional<binder_buffer_object> ParcelReader::bufferObject(size_t *index)
{
    size_t at = pos_;
    const uint8_t *bytes = take(sizeof(binder_buffer_object));
    if (!bytes || !listed(at, index))
        return std::nullopt;
    auto object = load<binder_buffer_object>(bytes);
    if (object.hdr.type != BINDER_TYPE_PTR || !inReceiveArea(object.buffer, object.length))
        return std::nullopt;
    return object;
}

std::optional<std::string> ParcelReader::hidlString()
{
    size_t parentIndex = 0;
    auto parent = bufferObject(&parentIndex);
    if (!parent || parent->length != sizeof(HidlRecord))
        return std::nullopt;
    auto record = load<HidlRecord>(reinterpret_cast<const uint8_t *>(parent->buffer));
    auto child = bufferObject(nullptr);
    if (!child || !(child->flags & BINDER_BUFFER_FLAG_HAS_PARENT) || child->parent != parentIndex ||
        child->parent_offset != 0 || child->buffer != record.address ||
        child->length != binder_size_t(record.count) + 1)
        return std::nullopt;
    const auto *chars = reinterpret_cast<const char *>(child->buffer);
    if (chars[record.count] != '\0')
        return std::nullopt;
    return std::string(chars, record.count);
}

std::optional<int> ParcelReader::nativeHandleFd()
{
    struct Handle {
        int32_t version, numFds, numInts, fd;
    };
    size_t parentIndex = 0;
    auto size = i64();
    auto parent = size == int64_t(sizeof(Handle)) ? bufferObject(&parentIndex) : std::nullopt;
    if (!parent || parent->length != sizeof(Handle) || parent->flags != 0)
        return std::nullopt;
    size_t at = pos_;
    const uint8_t *bytes = take(sizeof(binder_fd_array_object));
    if (!bytes || !listed(at))
        return std::nullopt;
    auto array = load<binder_fd_array_object>(bytes);
    auto handle = load<Handle>(reinterpret_cast<const uint8_t *>(parent->buffer));
    if (array.hdr.type != BINDER_TYPE_FDA || array.num_fds != 1 || array.parent != parentIndex ||
        array.parent_offset != offsetof(Handle, fd) || handle.version != 12 || handle.numFds != 1 ||
        handle.numInts != 0)
        return std::nullopt;
    return handle.fd;
}

std::optional<std::vector<std::string>> ParcelReader::hidlStringVector()
{
    size_t vectorIndex = 0;
    auto vectorObject = bufferObject(&vectorIndex);
    if (!vectorObject || vectorObject->length != sizeof(HidlRecord))
        return std::nullopt;
    auto vector = load<HidlRecord>(reinterpret_cast<const uint8_t *>(vectorObject->buffer));
    size_t recordsIndex = 0;
    auto records = bufferObject(&recordsIndex);
    if (!records || records->parent != vectorIndex || records->parent_offset != 0 ||
        records->buffer != vector.address || records->length != binder_size_t(vector.count) * sizeof(HidlRecord))
        return std::nullopt;
    std::vector<std::string> texts;
    for (uint32_t i = 0; i < vector.count; ++i) {
        auto record = load<HidlRecord>(reinterpret_cast<const uint8_t *>(records->buffer) + i * sizeof(HidlRecord));
        auto chars = bufferObject(nullptr);
        if (!chars || chars->parent != recordsIndex || chars->parent_offset != i * sizeof(HidlRecord) ||
            chars->buffer != record.address || chars->length != binder_size_t(record.count) + 1)
            return std::nullopt;
        const auto *text = reinterpret_cast<const char *>(chars->buffer);
        if (text[record.count] != '\0')
            return std::nullopt;
        texts.emplace_back(text, record.count);
    }
    return texts;
}

} // namespace peer
