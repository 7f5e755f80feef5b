// Real AIDL files against the transaction codes their compiler assigns (expected.tsv).
#include <map>

#include "tessel_test.h"

namespace {

// The top-level interface's name, its messages, then "code method returns nargs" per method.
std::string describe(const aidl *Aidl, const std::string &Err)
{
    if (!Aidl)
        return "null " + Err;
    std::string Name = Aidl->name, Text = Name.substr(0, Name.find_last_not_of(' ') + 1) + "\n" + Err;
    for (int N = 1; N <= Aidl->numMethods; ++N)
        Text += std::to_string(N) + " " + getMethodNameFromAIDL(Aidl, N) + " " + getMethodReturnFromAIDL(Aidl, N) +
                " " + std::to_string(getMethodNumArgsFromAIDL(Aidl, N)) + "\n";
    return Text;
}

TEST(Corpus, EveryFileGetsTheCompilersMethodNumbers)
{
    const std::string Dir = TESSEL_CORPUS_DIR;
    if (!std::filesystem::is_directory(Dir))
        GTEST_SKIP() << "no AIDL corpus at " << Dir;
    std::map<std::string, std::string> Want;
    std::ifstream Rows(Dir + "/expected.tsv"), Features(Dir + "/features.tsv");
    std::string File, Interface, Code, Method, Returns, NumArgs, Status, Tags;
    for (std::getline(Rows, Status); std::getline(Rows, File, '\t') && std::getline(Rows, Interface, '\t') &&
                                     std::getline(Rows, Code, '\t') && std::getline(Rows, Method, '\t') &&
                                     std::getline(Rows, Returns, '\t') && std::getline(Rows, NumArgs, '\t') &&
                                     std::getline(Rows, Status);) {
        // Only the top-level interface, which carries the file's name, is read; nested ones are not.
        const std::string Stem = File.substr(0, File.size() - 5), Path = Dir + "/" + File;
        std::string &Text = Want.try_emplace(File, "null ").first->second;
        if (Interface != Stem && !Interface.ends_with("." + Stem))
            continue;
        if (Text == "null ")
            Text = Interface + "\n";
        if (Status == "compiler")
            Text += Code + " " + Method + " " + Returns + " " + NumArgs + "\n";
    }
    int Explicit = 0, Passed = 0;
    for (std::getline(Features, Tags); std::getline(Features, File, '\t') && std::getline(Features, Tags);)
        if (("," + Tags + ",").find(",explicit-ids,") != std::string::npos && ++Explicit)
            Want[File] = "null " + Dir + "/" + File + ": explicitly numbered methods are not supported\n";
    ASSERT_EQ(Explicit, 10);
    for (const auto &[Name, Text] : Want) {
        const std::string Path = Dir + "/" + Name;
        const aidl *Aidl = nullptr;
        Result Io = capture([&] {
            Aidl = tessel(Path.c_str());
            return 0;
        });
        EXPECT_EQ(describe(Aidl, Io.err), Text) << Name;
        Passed += describe(Aidl, Io.err) == Text;
    }
    printf("[ corpus   ] %d of %zu files match\n", Passed, Want.size());
}

} // namespace
