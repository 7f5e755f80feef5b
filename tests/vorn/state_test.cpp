// The driver's state texts: which lines name a node of the process or a handle it holds.
#include "fake_driver.h"

#include <fcntl.h>

#include <fstream>

using namespace vorn;

namespace {

// Entries as "node N s/w" for owned nodes and "D>N s/w" for handles, in the order of the text.
std::string entries(std::string_view Text)
{
    std::string shown;
    for (const StateEntry &e : parseState(Text)) {
        shown += shown.empty() ? "" : " ";
        shown += e.owned ? "node " : std::to_string(e.desc) + ">";
        shown += (e.node == UINT32_MAX ? "?" : std::to_string(e.node)) + " " + std::to_string(e.strong) + "/" +
                 std::to_string(e.weak);
    }
    return shown;
}

TEST(StateText, NodesAndReferencesOnlyFromTheirOwnLines)
{
    struct Case {
        const char *text, *shown;
    };
    for (const Case &c : std::vector<Case>{
             {"proc 98\ncontext binder\n  thread 98: l 00 need_return 0 tr 0\n"
              "  node 12: u00007f c00007f pri 0:139 hs 1 hw 1 ls 0 lw 0 is 2 iw 3 tr 1 proc 101 102\n"
              "  node 123: u00007e c00007e pri 0:139 hs 1 hw 1 ls 0 lw 0 is 1 iw 1 tr 1 proc 101\n"
              "  ref 4: desc 0 node 1 s 1 w 1 d 0000000000000000\n"
              "  ref 9: desc 15 node 20 s 1 w 0 d 0000000000000000\n"
              "  ref 10: desc 5 dead node 21 s 0 w 1 d 00000000deadbeef\n",
              "node 12 2/3 node 123 1/1 0>1 1/1 15>20 1/0 5>21 0/1"},
             // A transaction's buffer names its node too, and numbers run into each other.
             {"  outgoing transaction 7: 0000 from 98:98 to 101:101 code 1 flags 10 pri 0:120 r1 node 12 size 8:0 "
              "data 0000\n  buffer 3: 0000 size 8:0:0 active node 12\n  nodes 12:\n  node 12x: u0\n",
              ""},
             {"  ref 4: desc 7 node\n  ref 5: desc\n  node : u0\n", "7>? 0/0"},
         })
        EXPECT_EQ(entries(c.text), c.shown) << c.text;
}

TEST(StateText, ReadWholeHoweverLong)
{
    std::string file = testing::TempDir() + "vorn-state";
    std::string text(600000, 'x');
    text += "\n  ref 4: desc 3 node 77 s 1 w 1 d 0\n";
    std::ofstream(file) << text;
    int fd = open(file.c_str(), O_RDONLY);
    auto read = readProcFile(fd);
    close(fd);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->size(), text.size());
    EXPECT_EQ(entries(*read), "3>77 1/1");
}

// Replies a real service manager or service does not give; the machine shows the rest.
INSTANTIATE_TEST_SUITE_P(Owner, Run,
                         ::testing::Values(
                             // Every service's line ends, whatever its own command says on standard error.
                             Row("all_lines_end", "A11", {"vorn", "owner", "all"},
                                 {reply(Bytes().u32(0).u32(2).str16("a").str16("b")), reply(Bytes().u32(0)), handle(3),
                                  status(-1)},
                                 "Found 2 services:\n0\ta \n1\tb \n",
                                 "Service a: not found\nb refused the process id query with status -1\n", 0),
                             Row("no_reply", "A11", {"vorn", "owner", "svc"}, {handle(5), DEAD}, "",
                                 DIED + "No reply from svc to the process id query\n", 1)),
                         rowName);

} // namespace
