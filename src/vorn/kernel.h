// The binder driver's records and codes (protocol version 8: 64-bit pointers and sizes in
// every build), declared with fixed-width fields so that a 32-bit build sends the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

constexpr uint32_t BINDER_WRITE_READ = 0xc0306201;
constexpr uint32_t BINDER_VERSION = 0xc0046209;
constexpr uint32_t BINDER_SET_MAX_THREADS = 0x40046205;

constexpr uint32_t BC_TRANSACTION = 0x40406300;
constexpr uint32_t BC_TRANSACTION_SG = 0x40486311;
constexpr uint32_t BC_REPLY = 0x40406301;
constexpr uint32_t BC_FREE_BUFFER = 0x40086303;
constexpr uint32_t BC_INCREFS = 0x40046304;
constexpr uint32_t BC_ACQUIRE = 0x40046305;
constexpr uint32_t BC_RELEASE = 0x40046306;
constexpr uint32_t BC_INCREFS_DONE = 0x40106308;
constexpr uint32_t BC_ACQUIRE_DONE = 0x40106309;
constexpr uint32_t BC_ENTER_LOOPER = 0x630c;

constexpr uint32_t BR_ERROR = 0x80047200;
constexpr uint32_t BR_OK = 0x7201;
constexpr uint32_t BR_TRANSACTION = 0x80407202;
constexpr uint32_t BR_REPLY = 0x80407203;
constexpr uint32_t BR_DEAD_REPLY = 0x7205;
constexpr uint32_t BR_TRANSACTION_COMPLETE = 0x7206;
constexpr uint32_t BR_INCREFS = 0x80107207;
constexpr uint32_t BR_ACQUIRE = 0x80107208;
constexpr uint32_t BR_RELEASE = 0x80107209;
constexpr uint32_t BR_DECREFS = 0x8010720a;
constexpr uint32_t BR_NOOP = 0x720c;
constexpr uint32_t BR_SPAWN_LOOPER = 0x720d;
constexpr uint32_t BR_FINISHED = 0x720e;
constexpr uint32_t BR_DEAD_BINDER = 0x8008720f;
constexpr uint32_t BR_FAILED_REPLY = 0x7211;
constexpr uint32_t BR_FROZEN_REPLY = 0x7212;

constexpr uint32_t TF_ONE_WAY = 0x01;
constexpr uint32_t TF_STATUS_CODE = 0x08;
constexpr uint32_t TF_ACCEPT_FDS = 0x10;

constexpr uint32_t BINDER_TYPE_BINDER = 0x73622a85;
constexpr uint32_t BINDER_TYPE_WEAK_BINDER = 0x77622a85;
constexpr uint32_t BINDER_TYPE_HANDLE = 0x73682a85;
constexpr uint32_t BINDER_TYPE_WEAK_HANDLE = 0x77682a85;
constexpr uint32_t BINDER_TYPE_FD = 0x66642a85;
constexpr uint32_t BINDER_TYPE_FDA = 0x66646185;
constexpr uint32_t BINDER_TYPE_PTR = 0x70742a85;

struct binder_write_read {
    uint64_t write_size;
    uint64_t write_consumed;
    uint64_t write_buffer;
    uint64_t read_size;
    uint64_t read_consumed;
    uint64_t read_buffer;
};
static_assert(sizeof(binder_write_read) == 48);
static_assert(offsetof(binder_write_read, write_consumed) == 8);
static_assert(offsetof(binder_write_read, write_buffer) == 16);
static_assert(offsetof(binder_write_read, read_size) == 24);
static_assert(offsetof(binder_write_read, read_consumed) == 32);
static_assert(offsetof(binder_write_read, read_buffer) == 40);

struct binder_transaction_data {
    uint64_t target; // handle in the low 32 bits
    uint64_t cookie;
    uint32_t code;
    uint32_t flags;
    int32_t sender_pid;
    uint32_t sender_euid;
    uint64_t data_size;
    uint64_t offsets_size;
    uint64_t buffer;  // address of the parcel data
    uint64_t offsets; // address of the 64-bit offsets array
};
static_assert(sizeof(binder_transaction_data) == 64);
static_assert(offsetof(binder_transaction_data, cookie) == 8);
static_assert(offsetof(binder_transaction_data, code) == 16);
static_assert(offsetof(binder_transaction_data, flags) == 20);
static_assert(offsetof(binder_transaction_data, sender_pid) == 24);
static_assert(offsetof(binder_transaction_data, sender_euid) == 28);
static_assert(offsetof(binder_transaction_data, data_size) == 32);
static_assert(offsetof(binder_transaction_data, offsets_size) == 40);
static_assert(offsetof(binder_transaction_data, buffer) == 48);
static_assert(offsetof(binder_transaction_data, offsets) == 56);

// The payload of BR_INCREFS and BR_ACQUIRE, and of their acknowledgements.
struct binder_ptr_cookie {
    uint64_t ptr;
    uint64_t cookie;
};
static_assert(sizeof(binder_ptr_cookie) == 16);
static_assert(offsetof(binder_ptr_cookie, cookie) == 8);

struct binder_object_header {
    uint32_t type;
};
static_assert(sizeof(binder_object_header) == 4);

struct flat_binder_object {
    uint32_t type;
    uint32_t flags;
    uint64_t handle; // or the local binder pointer; a handle uses the low 32 bits
    uint64_t cookie;
};
static_assert(sizeof(flat_binder_object) == 24);
static_assert(offsetof(flat_binder_object, flags) == 4);
static_assert(offsetof(flat_binder_object, handle) == 8);
static_assert(offsetof(flat_binder_object, cookie) == 16);

struct binder_fd_object {
    uint32_t type;
    uint32_t pad_flags;
    uint64_t fd; // the descriptor in the low 32 bits
    uint64_t cookie;
};
static_assert(sizeof(binder_fd_object) == 24);
static_assert(offsetof(binder_fd_object, pad_flags) == 4);
static_assert(offsetof(binder_fd_object, fd) == 8);
static_assert(offsetof(binder_fd_object, cookie) == 16);

struct binder_fd_array_object {
    uint32_t type;
    uint32_t pad;
    uint64_t num_fds;
    uint64_t parent;        // the buffer object, by its index among the objects
    uint64_t parent_offset; // where in it the descriptors lie
};
static_assert(sizeof(binder_fd_array_object) == 32);
static_assert(offsetof(binder_fd_array_object, num_fds) == 8);
static_assert(offsetof(binder_fd_array_object, parent) == 16);
static_assert(offsetof(binder_fd_array_object, parent_offset) == 24);

struct binder_buffer_object {
    uint32_t type;
    uint32_t flags;
    uint64_t buffer;
    uint64_t length;
    uint64_t parent;
    uint64_t parent_offset;
};
static_assert(sizeof(binder_buffer_object) == 40);
static_assert(offsetof(binder_buffer_object, flags) == 4);
static_assert(offsetof(binder_buffer_object, buffer) == 8);
static_assert(offsetof(binder_buffer_object, length) == 16);
static_assert(offsetof(binder_buffer_object, parent) == 24);
static_assert(offsetof(binder_buffer_object, parent_offset) == 32);

// The 16-byte vector and string record of the hidl manager's reply.
struct hidl_array {
    uint64_t arrayPayload;
    uint32_t arrayEntries;
    uint32_t one;
};
static_assert(sizeof(hidl_array) == 16);
static_assert(offsetof(hidl_array, arrayEntries) == 8);

} // namespace vorn
