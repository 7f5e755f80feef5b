// Parcel primitives: String16 layouts, UTF-8 both ways, the descriptor object, the error
// status, and the bounded reader.
#include "fake_driver.h"

using namespace vorn;

namespace {

struct String16Row {
    std::string text;
    size_t start;      // bytes already in the buffer
    std::string bytes; // hex of what is appended
};

TEST(String16, LayoutAndPadding)
{
    for (const String16Row &row : std::vector<String16Row>{
             {"", 0, "00 00 00 00 00 00 00 00"},
             // Padding follows the position in the whole buffer.
             {"a", 2, "01 00 00 00 61 00 00 00 00 00"},
             // UTF-8 becomes real UTF-16: the count is in units, not bytes.
             {"\xc3\xa9", 0, "01 00 00 00 e9 00 00 00"},
             {"\xe4\xb8\xad", 0, "01 00 00 00 2d 4e 00 00"},
             {"\xf0\x9f\x98\x80", 0, "02 00 00 00 3d d8 00 de 00 00 00 00"},
             // Bytes that are not UTF-8 are widened one by one.
             {"\xe9", 0, "01 00 00 00 e9 00 00 00"},
             {"a\xc3", 0, "02 00 00 00 61 00 c3 00 00 00 00 00"},
             {"\xed\xa0\x80", 0, "03 00 00 00 ed 00 a0 00 80 00 00 00"}, // an encoded surrogate is not UTF-8
             {"\xc0\xaf", 0, "02 00 00 00 c0 00 af 00 00 00 00 00"},     // nor is an overlong form
         }) {
        Writer w;
        for (size_t i = 0; i < row.start; ++i)
            w.put(uint8_t(0xee));
        w.string16(row.text);
        EXPECT_EQ(w.data().size() % 4, 0u);
        EXPECT_EQ(hex(w.data().subspan(row.start)), row.bytes) << row.text;
    }
}

// The machine shows ASCII names both ways, a name of 5000 characters among them.
TEST(String16, NarrowingToUtf8)
{
    EXPECT_EQ(UTF16ToUTF8(u""), "");
    EXPECT_EQ(UTF16ToUTF8(u"A\u4e2dB"), "A\xe4\xb8\xad"
                                        "B");
    EXPECT_EQ(UTF16ToUTF8(u"\u00e9"), "\xc3\xa9");
    EXPECT_EQ(UTF16ToUTF8(u"\U0001F600"), "\xf0\x9f\x98\x80");
    EXPECT_EQ(UTF16ToUTF8(std::u16string{0xd800, u'x'}), "\xef\xbf\xbdx"); // unpaired surrogate
    EXPECT_EQ(UTF16ToUTF8(std::u16string{0xdc00}), "\xef\xbf\xbd");
    EXPECT_EQ(UTF16ToUTF8(std::u16string{u'a', 0, u'b'}), "a");
}

TEST(String16, PrintableEscapesWhatWouldDriveTheTerminal)
{
    EXPECT_EQ(printable("a.IFoo \xc3\xa9\xe4\xb8\xad"), "a.IFoo \xc3\xa9\xe4\xb8\xad");
    EXPECT_EQ(printable("\x1b[31mI\a]\n9\t\x7f"), "\\x1b[31mI\\x07]\\x0a9\\x09\\x7f");
    EXPECT_EQ(printable("\xc2\x9b"
                        "2J\xc2\xa0"),
              "\\x9b"
              "2J\xc2\xa0"); // C1 CSI, then a no-break space
}

struct ErrorRow {
    Bytes parcel;
    int result;
    std::string err;
    bool terminal = false;
};

TEST(ErrorStatus, RecognisedStatusesAndShortParcels)
{
    for (const ErrorRow &row : std::vector<ErrorRow>{
             {Bytes().u32(0), 0, ""},
             {Bytes().u32(5).u32(0), 0, ""},
             {Bytes().u32(uint32_t(-2)), 0, ""},
             {Bytes().u32(uint32_t(-74)), 1, "Result:Parcel(Error: 0xffffffb6 \"Not a data message\")\n"},
             {Bytes().u32(uint32_t(-1)), 1, "Result:Parcel(Error: 0xffffffff \"General error\")\n"},
             {Bytes().u32(uint32_t(-3)).str16("abc"), 1, "Result:Parcel(Error: 0xffffffd6 \"abc\")\n"},
             // A message that runs past the end is cut there; a missing one is empty.
             {Bytes().u32(uint32_t(-3)).u32(100).u32(0x00620061), 1, "Result:Parcel(Error: 0xffffffd6 \"ab\")\n"},
             {Bytes().u32(uint32_t(-3)), 1, "Result:Parcel(Error: 0xffffffd6 \"\")\n"},
             {Bytes().u32(uint32_t(-3)).null16(), 1, "Result:Parcel(Error: 0xffffffd6 \"\")\n"},
             // Shorter than a status word: not an error parcel.
             {Bytes{0xb6, 0xff}, 0, ""},
             // The service's own words: escaped for a terminal, as they are for a pipe or a file.
             {Bytes().u32(uint32_t(-3)).str16("\x1b]2;x\x07"), 1,
              "Result:Parcel(Error: 0xffffffd6 \"\x1b]2;x\x07\")\n"},
             {Bytes().u32(uint32_t(-3)).str16("\x1b]2;x\x07"), 1,
              "Result:Parcel(Error: 0xffffffd6 \"\\x1b]2;x\\x07\")\n", true},
         }) {
        Settings settings;
        settings.errTerminal = row.terminal;
        Result r = capture([&] { return int(isErrorParcel(settings, row.parcel)); });
        EXPECT_EQ(r.status, row.result) << hex(row.parcel);
        EXPECT_EQ(r.err, row.err);
    }
}

TEST(Reader, StopsAtTheEndAndStaysThere)
{
    Bytes data = Bytes().str16("ab").u32(7).u32(0xffffffff).u32(3).u32(0x00410041);
    Reader r(data);
    EXPECT_EQ(r.string16(), u"ab");
    EXPECT_EQ(r.u32(), 7u);
    EXPECT_EQ(r.string16(), u"");          // a null string
    EXPECT_EQ(r.string16(), std::nullopt); // announces 3 units, holds 2
    EXPECT_EQ(r.position(), data.size());
    EXPECT_EQ(r.u32(), std::nullopt);

    Bytes huge = Bytes().u32(0xfffffffe).u32(0);
    EXPECT_EQ(Reader(huge).string16(), std::nullopt);
    Bytes odd = Bytes().u32(1).u32(0x0000007a);
    EXPECT_EQ(Reader(odd).string16(), u"z");
    EXPECT_EQ(Reader(Bytes().u32(1), 2).u32(), std::nullopt);
    Reader past(Bytes().u32(1), 8); // a start past the end is the end
    EXPECT_EQ(past.u32(), std::nullopt);
    EXPECT_EQ(past.position(), 4u);
}

} // namespace
