// Parcels as the platform lays them out: little-endian words on 4-byte boundaries, String16,
// flattened objects listed in the offsets, and hwbinder's scatter-gather buffers.
#pragma once

#include <linux/android/binder.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace peer {

// What a service's own binder object says about itself: it takes descriptors, at any priority.
constexpr uint32_t kObjectFlags = FLAT_BINDER_FLAG_ACCEPTS_FDS | 0x7f;

// The driver's 64-bit word for an address of ours: zero-extended, where a plain cast of a
// 32-bit build's pointer would sign-extend those above 2 GiB.
inline binder_uintptr_t addressOf(const void *pointer) { return uintptr_t(pointer); }

// Kernel records are copied out, never read in place.
template <typename T> T load(const uint8_t *bytes)
{
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

std::u16string widen(std::string_view ascii);
std::string narrow(std::u16string_view units);

// A parcel being built: data, the offsets of its objects and the buffers its buffer objects
// point at (kept alive here until the parcel has been handed to the driver).
class ParcelWriter {
public:
    void u32(uint32_t value);
    void i32(int32_t value) { u32(uint32_t(value)); }
    void i64(int64_t value);
    void f32(float value);
    void f64(double value);
    void string16(std::u16string_view text);
    void string16(std::string_view ascii) { string16(widen(ascii)); }
    void nullString16() { i32(-1); }
    // A local object (a node of this process); a zero binder is the null object and has no
    // offsets entry, as the platform writes it.
    void localObject(binder_uintptr_t binder, binder_uintptr_t cookie);
    void handleObject(uint32_t handle);
    void fdObject(const binder_fd_object &object);
    // An offsets entry as given, whatever lies at it (or beyond the data): hostile replies.
    void forgedOffset(binder_size_t offset) { offsets_.push_back(offset); }
    // A descriptor handed over as the platform's parcel writes one it owns (cookie 1). In a
    // reply, it is closed once the reply has been sent.
    void ownedFdObject(int fd);
    // A handle that a reply refers to, acquired by the caller: released once the reply has
    // been sent, as the platform's parcel drops the objects it holds.
    void keepHandle(uint32_t handle) { keptHandles_.push_back(handle); }
    const std::vector<uint32_t> &keptHandles() const { return keptHandles_; }
    const std::vector<int> &ownedFds() const { return ownedFds_; }
    // The bytes are copied; the result is the object's index for children to name as parent.
    size_t bufferObject(std::string_view bytes, std::optional<size_t> parent = std::nullopt, size_t parentOffset = 0);
    void cstring(std::string_view text); // NUL-terminated, padded to 4: hwbinder's token
    void hidlString(std::string_view text);
    void hidlStringVector(const std::vector<std::string> &texts);
    // A hidl_vec of Count plain elements whose bytes are Elements.
    void hidlVector(std::string_view elements, uint32_t count);
    // A parcelable's body goes between these: its leading size word counts the bytes from
    // itself to the body's end, as the generated code writes it.
    size_t beginSized();
    void endSized(size_t start);

    // A status-only reply: the status word is the whole data and TF_STATUS_CODE is set.
    void setStatus(int32_t status) { status_ = status; }
    std::optional<int32_t> status() const { return status_; }

    const std::vector<uint8_t> &data() const { return data_; }
    const std::vector<binder_size_t> &offsets() const { return offsets_; }
    binder_size_t buffersSize() const { return buffersSize_; }
    bool hasBuffers() const { return !buffers_.empty(); }

private:
    void raw(const void *bytes, size_t size);
    size_t pushObject(const void *object, size_t size);
    std::vector<uint8_t> data_;
    std::vector<binder_size_t> offsets_;
    std::deque<std::string> buffers_;
    binder_size_t buffersSize_ = 0;
    std::optional<int32_t> status_;
    std::vector<uint32_t> keptHandles_;
    std::vector<int> ownedFds_;
};

// A parcel received from the driver, read as the platform's parcel reads it: every read is
// bounded by the data, objects are only taken where an offsets entry points, and buffers only
// where the driver put them (inside this process's receive area).
class ParcelReader {
public:
    ParcelReader() = default;
    ParcelReader(const binder_transaction_data &txn, const uint8_t *mapBegin, const uint8_t *mapEnd);

    std::optional<uint32_t> u32();
    std::optional<int32_t> i32();
    std::optional<int64_t> i64();
    std::optional<float> f32();
    std::optional<double> f64();
    // nullopt when the data ends early or the string is malformed; a null string reads as
    // std::nullopt too and sets wasNull().
    std::optional<std::u16string> string16();
    bool wasNull() const { return wasNull_; }
    std::optional<flat_binder_object> object(); // a null object needs no offsets entry
    std::optional<int> fileDescriptor();
    std::optional<std::string> cstring();
    std::optional<std::string> hidlString();
    std::optional<std::vector<std::string>> hidlStringVector();
    // A native handle of one descriptor as the platform's hwbinder parcel writes it: the size,
    // the handle's buffer (version 12, one fd, no ints), the descriptor array at offset 12.
    std::optional<int> nativeHandleFd();

    size_t position() const { return pos_; }
    // To the end of a parcelable whose size word was at start, as the generated code skips
    // the fields it does not know; false when that lies beyond the data.
    bool skipSized(size_t start, int32_t size);
    size_t size() const { return size_; }
    size_t remaining() const { return size_ - pos_; }
    std::vector<int> fileDescriptors() const; // every descriptor the driver installed for us
    const std::vector<binder_size_t> &offsets() const { return offsets_; }

private:
    const uint8_t *take(size_t size);
    bool listed(size_t offset, size_t *index = nullptr) const;
    std::optional<binder_buffer_object> bufferObject(size_t *index);
    const uint8_t *inReceiveArea(binder_uintptr_t address, binder_size_t size) const;
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    std::vector<binder_size_t> offsets_;
    const uint8_t *mapBegin_ = nullptr;
    const uint8_t *mapEnd_ = nullptr;
    size_t pos_ = 0;
    bool wasNull_ = false;
};

} // namespace peer
