// Real AIDL files against the transaction codes their compiler assigns (expected.tsv).
#include <map>

#include "tessel_test.h"

namespace {

// The top-level interface's name, its messages, then "code method returns nargs" per method.
std::string describe(const aidl *Aidl, const std::string &Err)
{
    if (!Aidl)
        return "null " + Err;
    std::string name = Aidl->name, text = name.substr(0, name.find_last_not_of(' ') + 1) + "\n" + Err;
    for (int n = 1; n <= Aidl->numMethods; ++n)
        text += std::to_string(n) + " " + getMethodNameFromAIDL(Aidl, n) + " " + getMethodReturnFromAIDL(Aidl, n) +
                " " + std::to_string(getMethodNumArgsFromAIDL(Aidl, n)) + "\n";
    return text;
}

TEST(Corpus, EveryFileGetsTheCompilersMethodNumbers)
{
    const std::string dir = TESSEL_CORPUS_DIR;
    if (!std::filesystem::is_directory(dir))
        GTEST_SKIP() << "no AIDL corpus at " << dir;
    std::map<std::string, std::string> want;
    std::ifstream rows(dir + "/expected.tsv"), features(dir + "/features.tsv");
    std::string file, interface, code, method, returns, numArgs, status, tags;
    for (std::getline(rows, status); std::getline(rows, file, '\t') && std::getline(rows, interface, '\t') &&
                                     std::getline(rows, code, '\t') && std::getline(rows, method, '\t') &&
                                     std::getline(rows, returns, '\t') && std::getline(rows, numArgs, '\t') &&
                                     std::getline(rows, status);) {
        // Only the top-level interface, which carries the file's name, is read; nested ones are not.
        const std::string stem = file.substr(0, file.size() - 5);
        std::string &text = want.try_emplace(file, "null ").first->second;
        if (interface != stem && !interface.ends_with("." + stem))
            continue;
        if (text == "null ")
            text = interface + "\n";
        if (status == "compiler")
            text += code + " " + method + " " + returns + " " + numArgs + "\n";
    }
    int explicitIds = 0;
    for (std::getline(features, tags); std::getline(features, file, '\t') && std::getline(features, tags);)
        if (("," + tags + ",").find(",explicit-ids,") != std::string::npos && ++explicitIds)
            want[file] = "null " + dir + "/" + file + ": explicitly numbered methods are not supported\n";
    ASSERT_EQ(explicitIds, 10);
    for (const auto &[name, text] : want) {
        OwnedAidl record;
        Result io = ended([&, path = dir + "/" + name] { record.reset(tessel(path.c_str())); });
        EXPECT_EQ(describe(record.get(), io.err), text) << name;
    }
}

} // namespace
