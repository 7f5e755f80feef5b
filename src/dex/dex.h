#pragma once
// dex: finds an AIDL interface's methods in Android's compiled framework, in dex files alone
// or inside jars and APKs: each method's number from the TRANSACTION_ constants of the
// interface's Stub, its prototype from the interface, its parameter names from the Stub's Proxy.
// Depends on nothing but the C++ standard library, POSIX file calls and zlib.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dex {

struct Param {
    std::string type, name; // the type as Java writes it: int, String, android.os.Bundle, int[]
};
struct Method {
    std::string name;
    uint32_t code;
    bool typed; // false for a constant with no method of its name in the interface
    std::vector<Param> params;
    std::string returns;
};
struct Interface {
    std::string source;          // the file, and the archive's entry: "framework.jar!classes2.dex"
    std::vector<Method> methods; // in the order of their numbers
};

// Hears why a file, an entry or a dex file was passed over; an empty function hears nothing.
using Say = std::function<void(const std::string &)>;

// The interface of Descriptor (a.b.IFoo, or a.b.Outer.IFoo for a nested one) from the first of
// Files (.jar, .apk or .dex) that holds its Stub.
std::optional<Interface> find(std::string_view Descriptor, std::span<const std::string> Files, const Say &Why = {});

// The same for a file's bytes in memory (a zip archive or a dex file); Where names it.
std::optional<Interface> findInBytes(std::span<const uint8_t> Bytes, std::string_view Descriptor,
                                     std::string_view Where, const Say &Why = {});

} // namespace dex
