// The dex file: its sorted string and type tables, its class definitions, and what the AIDL
// compiler's Java output leaves in them; and the search through files and archives.
#include "dex.h"

#include "bytes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <new>

namespace dex {
namespace {

constexpr uint32_t ACC_ABSTRACT = 0x400, NO_INDEX = 0xffffffff;
constexpr uint8_t VALUE_INT = 0x04;

// Reads one item after another: unsigned LEB128 numbers and bytes.
struct Cursor {
    const Bytes &bytes;
    uint64_t at;
    uint8_t byte() { return bytes.get<uint8_t>(at++, "dex data"); }
    uint32_t uleb()
    {
        uint32_t value = 0;
        for (int shift = 0; shift < 35; shift += 7) {
            uint8_t b = byte();
            value |= uint32_t(b & 0x7f) << shift;
            if (!(b & 0x80))
                return value;
        }
        throw Corrupt{"a LEB128 number runs on"};
    }
};

// One dex file; in a version 041 container its offsets count from the container's start.
struct Image {
    Bytes bytes;
    uint32_t strings = 0, stringsAt = 0, types = 0, typesAt = 0, protos = 0, protosAt = 0, fields = 0, fieldsAt = 0,
             methods = 0, methodsAt = 0, classes = 0, classesAt = 0;

    std::string_view string(uint32_t Index) const
    {
        if (Index >= strings)
            throw Corrupt{"string index out of range"};
        Cursor c{bytes, bytes.u32(stringsAt + 4ull * Index, "string_ids")};
        c.uleb(); // its length in UTF-16 units
        auto rest = bytes.all.subspan(size_t(c.at));
        auto end = std::find(rest.begin(), rest.end(), 0);
        if (end == rest.end())
            throw Corrupt{"a string runs past the end"};
        return {reinterpret_cast<const char *>(rest.data()), size_t(end - rest.begin())};
    }
    uint32_t typeString(uint32_t Type) const
    {
        if (Type >= types)
            throw Corrupt{"type index out of range"};
        return bytes.u32(typesAt + 4ull * Type, "type_ids");
    }
    // The index of an item whose key is Key in a table sorted by key, found in halves.
    template <typename KeyOf, typename T>
    std::optional<uint32_t> search(uint32_t Count, const KeyOf &keyOf, const T &Key) const
    {
        uint32_t low = 0, high = Count;
        while (low < high) {
            uint32_t mid = low + (high - low) / 2;
            auto key = keyOf(mid);
            if (key == Key)
                return mid;
            (key < Key ? low = mid + 1 : high = mid);
        }
        return std::nullopt;
    }
    std::optional<uint32_t> type(std::string_view Descriptor) const
    {
        auto text = search(
            strings, [&](uint32_t k) { return string(k); }, Descriptor);
        if (!text)
            return std::nullopt;
        return search(
            types, [&](uint32_t k) { return typeString(k); }, *text);
    }
};

Image imageAt(const Bytes &B, uint64_t At)
{
    auto u = [&](uint64_t Field) { return B.u32(At + Field, "dex header"); };
    auto part = [&](uint64_t Field, uint64_t Size, const char *What) {
        uint32_t count = u(Field), offset = u(Field + 4);
        B.need(offset, count * Size, What);
        return std::pair(count, offset);
    };
    Image image{B};
    std::tie(image.strings, image.stringsAt) = part(0x38, 4, "string_ids");
    std::tie(image.types, image.typesAt) = part(0x40, 4, "type_ids");
    std::tie(image.protos, image.protosAt) = part(0x48, 12, "proto_ids");
    std::tie(image.fields, image.fieldsAt) = part(0x50, 8, "field_ids");
    std::tie(image.methods, image.methodsAt) = part(0x58, 8, "method_ids");
    std::tie(image.classes, image.classesAt) = part(0x60, 32, "class_defs");
    return image;
}

// The dex files in Bytes: one, or those of a version 041 container, each header pointing to
// the next.
std::vector<Image> images(const Bytes &B)
{
    auto magic = B.part(0, 8, "dex header");
    if (memcmp(magic.data(), "cdex", 4) == 0)
        throw Corrupt{"compact dex (cdex), which is not read"};
    std::string_view version(reinterpret_cast<const char *>(magic.data()) + 4, 4);
    if (memcmp(magic.data(), "dex\n", 4) != 0 || version < std::string_view("035\0", 4) ||
        version > std::string_view("041\0", 4))
        throw Corrupt{"not a dex file of version 035 to 041"};
    if (version != std::string_view("041\0", 4))
        return {imageAt(B, 0)};
    std::vector<Image> found;
    uint64_t containerSize = B.u32(0x70, "dex header");
    B.need(0, containerSize, "dex container");
    for (uint64_t at = 0; at < containerSize;) {
        if (B.u32(at + 0x24, "dex header") < 0x78 || B.u32(at + 0x74, "dex header") != at ||
            B.u32(at + 0x70, "dex header") != containerSize)
            throw Corrupt{"dex container header at " + std::to_string(at) + " does not fit its container"};
        found.push_back(imageAt(B, at));
        uint32_t size = B.u32(at + 0x20, "dex header");
        if (size < 0x78)
            throw Corrupt{"dex container's file size is smaller than its header"};
        at += size;
    }
    return found;
}

// Java's name for a type descriptor, and String for the one the AIDL compiler writes so.
std::string javaName(std::string_view Descriptor)
{
    size_t dims = 0;
    while (dims < Descriptor.size() && Descriptor[dims] == '[')
        ++dims;
    std::string_view base = Descriptor.substr(dims);
    std::string name;
    static const std::map<std::string_view, const char *> primitive{{"V", "void"},  {"Z", "boolean"}, {"B", "byte"},
                                                                    {"S", "short"}, {"C", "char"},    {"I", "int"},
                                                                    {"J", "long"},  {"F", "float"},   {"D", "double"}};
    if (auto p = primitive.find(base); p != primitive.end())
        name = p->second;
    else if (base == "Ljava/lang/String;")
        name = "String";
    else if (base.size() > 2 && base.front() == 'L' && base.back() == ';')
        for (char c : base.substr(1, base.size() - 2))
            name += c == '/' ? '.' : c;
    else
        name = base;
    for (size_t k = 0; k < dims; ++k)
        name += "[]";
    return name;
}

// What the search has found so far, by name: the Stub's numbers, the interface's prototypes,
// the Proxy's parameter names. They may lie in different dex files of one archive.
struct Found {
    std::vector<std::pair<std::string, uint32_t>> numbers;
    std::optional<std::map<std::string, std::pair<std::string, std::vector<std::string>>>> prototypes;
    std::optional<std::map<std::string, std::vector<std::string>>> names;
    std::string source;
};

struct ClassData {
    uint32_t staticFields;
    std::vector<uint32_t> fields;                        // static ones first
    std::vector<std::pair<uint32_t, uint32_t>> virtuals; // method index, access flags
    std::vector<uint32_t> codes;                         // each virtual method's code offset
};

ClassData classData(const Image &I, uint32_t At)
{
    ClassData data{0, {}, {}, {}};
    if (At == 0)
        return data;
    Cursor c{I.bytes, At};
    uint32_t statics = c.uleb(), instances = c.uleb(), directs = c.uleb(), virtuals = c.uleb();
    data.staticFields = statics;
    uint32_t index = 0;
    for (uint64_t k = 0; k < uint64_t(statics) + instances; ++k) {
        index = k == statics ? c.uleb() : index + c.uleb(); // each list starts its differences afresh
        c.uleb();
        data.fields.push_back(index);
    }
    for (uint64_t k = 0; k < uint64_t(directs) + virtuals; ++k) {
        index = k == 0 || k == directs ? c.uleb() : index + c.uleb();
        uint32_t flags = c.uleb(), code = c.uleb();
        if (k >= directs) {
            data.virtuals.emplace_back(index, flags);
            data.codes.push_back(code);
        }
    }
    return data;
}

// Steps over one encoded_value after its header byte, nested ones included; a hostile file
// must not nest them deeper than the stack goes.
void skipValue(Cursor &C, uint8_t Header, int Depth = 0)
{
    uint8_t type = Header & 0x1f, arg = Header >> 5;
    if ((type == 0x1c || type == 0x1d) && Depth > 16)
        throw Corrupt{"encoded values nest too deep"};
    if (type == 0x1c) { // an array
        for (uint32_t n = C.uleb(); n > 0; --n)
            skipValue(C, C.byte(), Depth + 1);
    } else if (type == 0x1d) { // an annotation
        C.uleb();
        for (uint32_t n = C.uleb(); n > 0; --n) {
            C.uleb();
            skipValue(C, C.byte(), Depth + 1);
        }
    } else if (type != 0x1e && type != 0x1f) { // null and boolean carry nothing more
        C.bytes.need(C.at, arg + 1u, "encoded value");
        C.at += arg + 1u;
    }
}

void readStub(const Image &I, uint32_t ClassDef, Found &F)
{
    ClassData data = classData(I, I.bytes.u32(ClassDef + 24, "class_def"));
    uint32_t valuesAt = I.bytes.u32(ClassDef + 28, "class_def");
    Cursor values{I.bytes, valuesAt};
    uint32_t given = valuesAt ? values.uleb() : 0;
    for (uint32_t k = 0; k < data.staticFields; ++k) {
        uint32_t field = data.fields[k];
        if (field >= I.fields)
            throw Corrupt{"field index out of range"};
        uint8_t header = k < given ? values.byte() : VALUE_INT; // a missing trailing value is 0
        uint32_t value = 0;
        if (k < given && (header & 0x1f) == VALUE_INT) {
            uint8_t size = (header >> 5) + 1;
            if (size > 4)
                throw Corrupt{"an int value of more than 4 bytes"};
            for (uint8_t b = 0; b < size; ++b)
                value |= uint32_t(values.byte()) << (8 * b);
            if (size < 4 && (value >> (8 * size - 1)) & 1) // sign-extended
                value |= ~0u << (8 * size);
        } else if (k < given) {
            skipValue(values, header);
        }
        std::string_view name = I.string(I.bytes.u32(I.fieldsAt + 8ull * field + 4, "field_ids"));
        std::string_view type = I.string(I.typeString(I.bytes.u16(I.fieldsAt + 8ull * field + 2, "field_ids")));
        if ((header & 0x1f) == VALUE_INT && type == "I" && name.starts_with("TRANSACTION_"))
            F.numbers.emplace_back(name.substr(12), value);
    }
}

// Name and prototype of a method: its name, return type and parameter types.
std::pair<std::string_view, uint32_t> methodId(const Image &I, uint32_t Method)
{
    if (Method >= I.methods)
        throw Corrupt{"method index out of range"};
    uint16_t proto = I.bytes.u16(I.methodsAt + 8ull * Method + 2, "method_ids");
    if (proto >= I.protos)
        throw Corrupt{"proto index out of range"};
    return {I.string(I.bytes.u32(I.methodsAt + 8ull * Method + 4, "method_ids")), proto};
}

void readInterface(const Image &I, uint32_t ClassDef, Found &F)
{
    auto &prototypes = F.prototypes.emplace();
    for (auto [method, flags] : classData(I, I.bytes.u32(ClassDef + 24, "class_def")).virtuals) {
        if (!(flags & ACC_ABSTRACT))
            continue;
        auto [name, proto] = methodId(I, method);
        uint64_t at = I.protosAt + 12ull * proto;
        std::vector<std::string> params;
        if (uint32_t list = I.bytes.u32(at + 8, "proto_ids"))
            for (uint32_t k = 0, n = I.bytes.u32(list, "type_list"); k < n; ++k)
                params.push_back(javaName(I.string(I.typeString(I.bytes.u16(list + 4 + 2ull * k, "type_list")))));
        prototypes.try_emplace(std::string(name), javaName(I.string(I.typeString(I.bytes.u32(at + 4, "proto_ids")))),
                               std::move(params));
    }
}

void readProxy(const Image &I, uint32_t ClassDef, Found &F)
{
    auto &names = F.names.emplace();
    ClassData data = classData(I, I.bytes.u32(ClassDef + 24, "class_def"));
    for (size_t k = 0; k < data.virtuals.size(); ++k) {
        if (!data.codes[k])
            continue;
        uint32_t debug = I.bytes.u32(data.codes[k] + 8ull, "code_item");
        if (!debug)
            continue;
        Cursor c{I.bytes, debug};
        c.uleb(); // the first line
        std::vector<std::string> params;
        for (uint32_t n = c.uleb(); n > 0; --n) {
            uint32_t name = c.uleb() - 1; // NO_INDEX when the parameter has no name
            params.push_back(name == NO_INDEX ? "" : std::string(I.string(name)));
        }
        names.try_emplace(std::string(methodId(I, data.virtuals[k].first).first), std::move(params));
    }
}

// The class names an interface descriptor may have: a.b.IFoo as La/b/IFoo, then each dot from
// the right as a '$', for interfaces nested in classes.
std::vector<std::string> classNames(std::string_view Descriptor)
{
    std::string name = "L" + std::string(Descriptor);
    std::replace(name.begin(), name.end(), '.', '/');
    std::vector<std::string> names{name};
    for (size_t at = name.rfind('/'); at != std::string::npos && at > 0; at = name.rfind('/', at - 1)) {
        name[at] = '$';
        names.push_back(name);
    }
    return names;
}

// Looks for the interface's three classes in one dex file, adding what it finds to F.
void scan(const Image &I, std::string_view Descriptor, Found &F)
{
    if (F.numbers.empty())
        for (const std::string &name : classNames(Descriptor))
            if (I.type(name + "$Stub;")) {
                F.source = name; // which of the names holds, for the other two classes
                break;
            }
    if (F.source.empty())
        return;
    auto stub = F.numbers.empty() ? I.type(F.source + "$Stub;") : std::nullopt;
    auto iface = F.prototypes ? std::nullopt : I.type(F.source + ";");
    auto proxy = F.names ? std::nullopt : I.type(F.source + "$Stub$Proxy;");
    if (!stub && !iface && !proxy)
        return;
    for (uint32_t k = 0; k < I.classes; ++k) { // class definitions are in no order
        uint64_t at = I.classesAt + 32ull * k;
        uint32_t type = I.bytes.u32(at, "class_defs");
        if (type == stub)
            readStub(I, uint32_t(at), F);
        else if (type == iface)
            readInterface(I, uint32_t(at), F);
        else if (type == proxy)
            readProxy(I, uint32_t(at), F);
    }
}

Interface described(Found &F, std::string Source)
{
    Interface result{std::move(Source), {}};
    std::stable_sort(F.numbers.begin(), F.numbers.end(), [](auto &a, auto &b) { return a.second < b.second; });
    for (auto &[name, code] : F.numbers) {
        Method method{name, code, false, {}, "?"};
        if (F.prototypes)
            if (auto p = F.prototypes->find(name); p != F.prototypes->end()) {
                method.typed = true;
                method.returns = p->second.first;
                const std::vector<std::string> *names = nullptr;
                if (F.names)
                    if (auto n = F.names->find(name); n != F.names->end())
                        names = &n->second;
                for (size_t k = 0; k < p->second.second.size(); ++k) {
                    bool named = names && k < names->size() && !(*names)[k].empty();
                    method.params.push_back({p->second.second[k], named ? (*names)[k] : "arg" + std::to_string(k)});
                }
            }
        result.methods.push_back(std::move(method));
    }
    return result;
}

} // namespace

std::optional<Interface> findInBytes(std::span<const uint8_t> Bytes_, std::string_view Descriptor,
                                     std::string_view Where, const Say &Why)
{
    auto say = [&](const std::string &Name, const Corrupt &C) {
        if (Why)
            Why(Name + ": " + C.what);
    };
    Found found;
    std::string stubIn; // the file, or the archive's entry, that holds the Stub
    // Each dex file is given up alone: one corrupt entry must not hide the others.
    auto scanDex = [&](std::span<const uint8_t> Dex, const std::string &Name) {
        try {
            for (const Image &image : images(Bytes{Dex})) {
                scan(image, Descriptor, found);
                if (stubIn.empty() && !found.numbers.empty())
                    stubIn = Name;
            }
        } catch (const Corrupt &c) {
            say(Name, c);
        }
    };
    Bytes bytes{Bytes_};
    if (bytes.all.size() < 2 || memcmp(bytes.all.data(), "PK", 2) != 0) {
        scanDex(bytes.all, std::string(Where));
    } else {
        try {
            std::vector<uint8_t> inflated;
            for (const ZipEntry &entry : dexEntries(bytes)) {
                std::string name = std::string(Where) + "!" + entry.name;
                try {
                    scanDex(entryBytes(bytes, entry, inflated), name);
                } catch (const Corrupt &c) {
                    say(name, c);
                } catch (const std::bad_alloc &) { // a device short of memory passes the entry over
                    say(name, Corrupt{"too large to inflate here"});
                }
                if (!found.numbers.empty() && found.prototypes && found.names)
                    break;
            }
        } catch (const Corrupt &c) {
            say(std::string(Where), c);
        }
    }
    if (found.numbers.empty())
        return std::nullopt;
    return described(found, stubIn);
}

std::optional<Interface> find(std::string_view Descriptor, std::span<const std::string> Files, const Say &Why)
{
    for (const std::string &file : Files) {
        auto skip = [&](const char *What) {
            if (Why)
                Why(file + ": " + What);
        };
        int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (fd < 0 || fstat(fd, &info) != 0) {
            skip(strerror(errno));
            if (fd >= 0)
                close(fd);
            continue;
        }
        void *map = MAP_FAILED;
        if (!S_ISREG(info.st_mode) || info.st_size == 0)
            skip("not a regular file with contents");
        else if ((map = mmap(nullptr, size_t(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0)) == MAP_FAILED)
            skip(strerror(errno));
        close(fd);
        if (map == MAP_FAILED)
            continue;
        auto found = findInBytes({static_cast<const uint8_t *>(map), size_t(info.st_size)}, Descriptor, file, Why);
        munmap(map, size_t(info.st_size));
        if (found)
            return found;
    }
    return std::nullopt;
}

} // namespace dex
