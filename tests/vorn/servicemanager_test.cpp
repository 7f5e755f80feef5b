// The service manager client: lookup, interface query and the listings, against refused,
// truncated and lying replies (the machine cases show the well-formed ones).
#include "fake_driver.h"

#include <regex>

using namespace vorn;

namespace {

const std::string NOT_FOUND = "Service media: not found\n";
Bytes statusAndHandle() { return Bytes().u32(0).object(BINDER_TYPE_HANDLE, 9); }
const std::string FAILED_TEXT = "Method 1598968902 call returned BR_FAILED_REPLY";

INSTANTIATE_TEST_SUITE_P(
    Lookup, Run,
    ::testing::Values(
        // One malformation for all: the service commands' table has the reader's other refusal.
        Row("offset_past_the_end", "A11", {"vorn", "check", "media"}, {reply(statusAndHandle(), {40})}, "",
            "Malformation: Offset points to 40, which is greater than buffer size 28\n" + NOT_FOUND, 1),
        Row("two_objects", "A11", {"vorn", "check", "media"},
            {reply(statusAndHandle().object(BINDER_TYPE_HANDLE, 3), {4, 28})}, "", NOT_FOUND, 1),
        Row("not_a_handle", "A11", {"vorn", "check", "media"},
            {reply(Bytes().u32(0).object(BINDER_TYPE_BINDER, 0), {4})}, "",
            "android.os.IServiceManager::GET_SERVICE returned something that's not a strong handle!?\n" + NOT_FOUND, 1),
        Row("reply_code", "A11", {"vorn", "check", "media"}, {reply(statusAndHandle(), {4}, 5)}, "",
            "android.os.IServiceManager::GET_SERVICE returned 5\n" + NOT_FOUND, 1),
        Row("no_reply", "A11", {"vorn", "check", "media"}, {DEAD}, "",
            DIED + "No reply from the service manager when looking up service 'media'\n", 1)),
    rowName);

INSTANTIATE_TEST_SUITE_P(PerIndex, Run,
                         ::testing::Values(
                             // Exactly 8 bytes: the empty name, not the end. A name the manager does not find is asked
                             // nothing more: it has no handle.
                             Row("names_then_short_reply", "NOT10", {"vorn", "list"},
                                 {named("media"), named("sample"), named(""), status(-1), handle(1), named("IMedia"),
                                  reply(Bytes().u32(0)), handle(2), DEAD},
                                 "0: media [IMedia]\n1: sample []\n2:  []\n", DIED, 0),
                             Row("error_status_ends_the_listing", "NOT10", {"vorn", "list"},
                                 {named("media"), reply(Bytes().u32(uint32_t(-74)).u32(0))}, "",
                                 "Result:Parcel(Error: 0xffffffb6 \"Not a data message\")\n", 1),
                             Row("short_error_is_the_end", "NOT10", {"vorn", "v", "list"},
                                 {named("a"), reply(Bytes().u32(uint32_t(-74))), handle(1), named("I")}, "0: a [I]\n",
                                 "", 0),
                             Row("no_reply", "NOT10", {"vorn", "list"}, {named("a")}, "",
                                 "binder: Resource temporarily unavailable\nNo reply from the service manager to "
                                 "android.os.IServiceManager::LIST_SERVICES(1)\n",
                                 1)),
                         rowName);

INSTANTIATE_TEST_SUITE_P(
    Vector, Run,
    ::testing::Values(Row("walk_and_null_name", "A11", {"vorn", "v", "list"},
                          {reply(Bytes().u32(0).u32(3).str16("ab").null16().str16("b")), handle(1), named("IAB"),
                           handle(2), named("INull"), handle(3), named("IB")},
                          "Found 3 services:\n0\tab [IAB]\n1\t [INull]\n2\tb [IB]\n", "", 0),
                      // Services come and go while a listing runs: a failed lookup or query costs its own
                      // line only, and only the first refusal hints at the release.
                      Row("failed_lookups_and_queries_do_not_end_the_listing", "A11", {"vorn", "list"},
                          {reply(Bytes().u32(0).u32(5).str16("a").str16("b").str16("c").str16("d").str16("e")), DEAD,
                           status(-1), handle(3), FAILED, handle(4), status(-74), handle(5), named("IE")},
                          "Found 5 services:\n0\ta []\n1\tb []\n2\tc [" + FAILED_TEXT + "]\n3\td []\n4\te [IE]\n",
                          DIED + "No reply from the service manager when looking up service 'a'\n"
                                 "android.os.IServiceManager::GET_SERVICE was refused with status -1 (0xffffffff)\n"
                                 "INTERFACE_TRANSACTION to desc 4 was refused with status -74 (0xffffffb6)\n",
                          0),
                      // Only the low 8 bits of a status reach the shell.
                      Row("reply_code", "A11", {"vorn", "list"}, {reply(Bytes().u32(256).u32(0))}, "",
                          "Error - reply code was 256\n", 1),
                      Row("empty_reply", "A11", {"vorn", "list"}, {reply({})}, "",
                          "No data\nReply to android.os.IServiceManager::LIST_SERVICES is too short (0 bytes)\n", 1),
                      Row("no_reply", "A11", {"vorn", "list"}, {DEAD}, "",
                          DIED + "No reply from the service manager to android.os.IServiceManager::LIST_SERVICES\n",
                          1)),
    rowName);

using ServiceManager = VornTest;

// The machine shows the query's header and its answers; the vector listing's table its failures.
TEST_F(ServiceManager, InterfaceQueryReadsTheDescriptorWithinTheReply)
{
    Session &s = attach(11);
    fake.answer({reply(Bytes().u32(40).u32(0x00410041))});
    Result r = capture([&] { return int(getInterfaceOfDesc(s, 3).has_value()); });
    EXPECT_EQ(r.err + std::to_string(r.status), "Reply to INTERFACE_TRANSACTION from desc 3 is too short for its "
                                                "string\n0");
}

TEST_F(ServiceManager, HidlListingRefusesWhatItCannotTrust)
{
    env("A11");
    struct Case {
        Answer answer;
        std::string out, err;
    };
    const std::string outside = " lies outside the buffers the driver delivered\n";
    uint64_t undelivered = fake.place(Bytes().u64(0).u32(0).u32(0)).value();
    for (const Case &c : std::vector<Case>{
             {reply(Bytes().u32(1)), "", "Error parcel received! Please notify ZQ\n"},
             {reply(Bytes().u32(0).object(BINDER_TYPE_HANDLE, 1).u64(0).u64(0)), "",
              "Unexpected FBO type: 0x73682a85\n"},
             {reply(Bytes().u32(0).u32(BINDER_TYPE_PTR)), "",
              "Reply to android.hidl.manager@1.0::IServiceManager::list is too short (8 bytes)\n"},
             {DEAD, "", DIED + "?! Try ZQDEBUG=1 and please send ZQ output\n"},
             {reply(Bytes().u32(0).buffer(0x1000, 24), {4}), "Buffer of length: 24 @0x1000\n",
              "Got buffer, but it's not 16 bytes and therefore not likely a hidl_str array!\n"},
             // The vector object is not among the reply's objects: its buffer was never delivered.
             {reply(Bytes().u32(0).buffer(undelivered, 16)), "Buffer of length: 16 @0xADDR\n",
              "Reply record at 0xADDR (16 bytes)" + outside},
         }) {
        fake.answer({c.answer});
        Result r = runVorn({"vorn", "h", "list"});
        const std::regex address("0x[0-9a-f]{9,}");
        EXPECT_EQ(std::regex_replace(r.out, address, "0xADDR"), c.out);
        EXPECT_EQ(std::regex_replace(r.err, address, "0xADDR"), c.err);
        EXPECT_EQ(r.status, 1) << r.err;
    }
}

} // namespace
