// The dex reader on the fixtures that make-jars assembles, whole and damaged.
#include <dex.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

std::vector<uint8_t> fixture(const std::string &Name)
{
    std::ifstream in(std::string(DEX_FIXTURES) + "/" + Name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

uint32_t u32(const std::vector<uint8_t> &B, size_t At)
{
    uint32_t v;
    memcpy(&v, &B.at(At + 3) - 3, 4);
    return v;
}
void put32(std::vector<uint8_t> &B, size_t At, uint32_t V) { memcpy(&B.at(At + 3) - 3, &V, 4); }

// A method as one line: number, return type, name, parameters; "?" marks unknown types.
std::string line(const dex::Method &M)
{
    std::string text = std::to_string(M.code) + " " + M.returns + " " + M.name + "(";
    for (const dex::Param &p : M.params)
        text += p.type + " " + p.name + (&p == &M.params.back() ? "" : ", ");
    return text + ")";
}

struct Looked {
    std::optional<dex::Interface> found;
    std::vector<std::string> why;
};
Looked look(const std::vector<uint8_t> &Bytes, const char *Descriptor)
{
    Looked l;
    l.found = dex::findInBytes(Bytes, Descriptor, "f", [&](const std::string &W) { l.why.push_back(W); });
    return l;
}

// A version 041 container of sample.dex's data with two headers: the first holds the IOuter
// classes, the second the ISample ones; the offsets of both count from the container's start.
std::vector<uint8_t> container()
{
    std::vector<uint8_t> c = fixture("sample.dex");
    uint32_t strings = u32(c, 0x38), stringsAt = u32(c, 0x3c), classes = u32(c, 0x60), classesAt = u32(c, 0x64);
    // The two words after a 0x70-byte header start the string table: move it out of their way.
    std::vector<uint8_t> table(c.begin() + stringsAt, c.begin() + stringsAt + 4 * strings);
    put32(c, 0x3c, uint32_t(c.size()));
    c.insert(c.end(), table.begin(), table.end());
    std::vector<uint8_t> outer, sample;
    for (uint32_t k = 0; k < classes; ++k) {
        uint32_t type = u32(c, classesAt + 32 * k), text = u32(c, u32(c, 0x44) + 4 * type);
        bool isOuter = memcmp(&c.at(u32(c, stringsAt + 4 * text) + 1), "Lcom/example/vorn/IOuter", 24) == 0;
        auto &half = isOuter ? outer : sample;
        half.insert(half.end(), c.begin() + classesAt + 32 * k, c.begin() + classesAt + 32 * (k + 1));
    }
    size_t outerAt = c.size(), sampleAt = outerAt + outer.size(), second = sampleAt + sample.size();
    c.insert(c.end(), outer.begin(), outer.end());
    c.insert(c.end(), sample.begin(), sample.end());
    c.insert(c.end(), c.begin(), c.begin() + 0x78);
    put32(c, 0x60, uint32_t(outer.size() / 32));
    put32(c, 0x64, uint32_t(outerAt));
    put32(c, second + 0x60, uint32_t(sample.size() / 32));
    put32(c, second + 0x64, uint32_t(sampleAt));
    for (size_t h : {size_t(0), second}) {
        memcpy(&c[h + 4], "041", 4);
        put32(c, h + 0x24, 0x78);
        put32(c, h + 0x70, uint32_t(second + 0x78));
        put32(c, h + 0x74, uint32_t(h));
        put32(c, h + 0x20, uint32_t(h ? 0x78 : second));
    }
    return c;
}

// The machine reads every method of stored.jar's copy; here the other ways of storing it.
TEST(Dex, FindsTheInterfaceWhereverItIsStored)
{
    for (auto [file, source] : {std::pair("sample.dex", "f"), std::pair("deflated.jar", "f!classes.dex"),
                                std::pair("multidex.jar", "f!classes2.dex")}) {
        Looked l = look(fixture(file), "com.example.vorn.ISample");
        ASSERT_TRUE(l.found) << file;
        EXPECT_EQ(l.found->source, source);
        ASSERT_EQ(l.found->methods.size(), 21u) << file;
        EXPECT_EQ(line(l.found->methods[13]), "14 double scale(double value, float factor)") << file;
        EXPECT_EQ(l.why, std::vector<std::string>{}) << file;
    }
}

TEST(Dex, ReadsNestedInterfacesHandWrittenConstantsAndContainers)
{
    Looked outer = look(fixture("sample.dex"), "com.example.vorn.IOuter.ICallback");
    ASSERT_TRUE(outer.found);
    std::vector<std::string> got;
    for (const dex::Method &m : outer.found->methods)
        got.push_back(line(m) + (m.typed ? "" : " untyped"));
    // A constant without a value is 0, one of another type is no method, one without a method
    // has no types; no Proxy leaves the parameters unnamed.
    EXPECT_EQ(got, (std::vector<std::string>{"0 ? zero() untyped", "1 void done(int arg0)", "2 String label()",
                                             "7 ? legacy() untyped", "16777214 String getInterfaceHash()",
                                             "16777215 int getInterfaceVersion()"}));

    std::vector<uint8_t> c = container();
    Looked inSecond = look(c, "com.example.vorn.ISample"), inFirst = look(c, "com.example.vorn.IOuter.ICallback");
    ASSERT_TRUE(inSecond.found && inFirst.found) << (inSecond.why.empty() ? "" : inSecond.why[0]);
    EXPECT_EQ(line(inSecond.found->methods.at(8)), "9 String repeat(String word, int count, boolean shout)");
    EXPECT_EQ(inFirst.found->methods.size(), 6u);
    EXPECT_FALSE(look(c, "com.example.vorn.IMissing").found);
}

TEST(Dex, DamagedFilesAreGivenUpWithTheirReason)
{
    using Bytes = std::vector<uint8_t>;
    const Bytes dexFile = fixture("sample.dex"), deflated = fixture("deflated.jar");
    struct {
        const char *name;
        const Bytes &from;
        void (*damage)(Bytes &);
        const char *why;
    } rows[] = {
        {"a header cut short", dexFile, [](Bytes &b) { b.resize(0x30); }, "f: dex header out of range"},
        {"more strings than bytes", dexFile, [](Bytes &b) { put32(b, 0x38, 0x10000000); },
         "f: string_ids out of range"},
        {"class table past the end", dexFile, [](Bytes &b) { put32(b, 0x64, uint32_t(b.size())); },
         "f: class_defs out of range"},
        {"a LEB128 number that never ends", dexFile,
         [](Bytes &b) {
             for (uint32_t k = 0; k < u32(b, 0x60); ++k)
                 put32(b, u32(b, 0x64) + 32 * k + 24, uint32_t(b.size()));
             b.insert(b.end(), 8, 0xff);
         },
         "f: a LEB128 number runs on"},
        {"a string without its end", dexFile,
         [](Bytes &b) {
             for (uint32_t k = 0; k < u32(b, 0x38); ++k)
                 put32(b, u32(b, 0x3c) + 4 * k, uint32_t(b.size() - 1));
             b.back() = 'x';
         },
         "f: a string runs past the end"},
        {"compact dex", dexFile, [](Bytes &b) { memcpy(b.data(), "cdex001", 8); },
         "f: compact dex (cdex), which is not read"},
        {"a deflated entry whose size lies", deflated,
         [](Bytes &b) { put32(b, u32(b, b.size() - 6) + 24 + 46 + 20, 99999); }, "f!classes.dex: its sizes lie"},
        {"a central directory outside the archive", deflated,
         [](Bytes &b) { put32(b, b.size() - 6, uint32_t(b.size())); }, "f: zip central directory out of range"},
        {"no end record", deflated, [](Bytes &b) { b.resize(b.size() - 22); }, "f: zip end record missing"},
    };
    for (auto &row : rows) {
        Bytes bytes = row.from;
        row.damage(bytes);
        Looked l = look(bytes, "com.example.vorn.ISample");
        EXPECT_FALSE(l.found) << row.name;
        EXPECT_EQ(l.why, std::vector<std::string>{row.why}) << row.name;
    }
    // Whatever the cut, a shortened file is read within its bytes, and a failure says why.
    for (const Bytes *whole : {&dexFile, &deflated})
        for (size_t size = 0; size < whole->size(); ++size) {
            Looked l = look(Bytes(whole->begin(), whole->begin() + size), "com.example.vorn.ISample");
            EXPECT_TRUE(l.found || !l.why.empty() || size < 2) << size;
        }
}

TEST(Dex, FilesThatCannotBeReadAreSkipped)
{
    std::vector<std::string> files{"/nonexistent.jar", "/", std::string(DEX_FIXTURES) + "/multidex.jar"}, why;
    auto found = dex::find("com.example.vorn.ISample", files, [&](const std::string &W) { why.push_back(W); });
    ASSERT_TRUE(found);
    EXPECT_EQ(found->source, files[2] + "!classes2.dex");
    EXPECT_EQ(why, (std::vector<std::string>{"/nonexistent.jar: No such file or directory",
                                             "/: not a regular file with contents"}));
}

} // namespace
