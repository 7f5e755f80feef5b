// Real AIDL files against the transaction codes their compiler assigns (expected.tsv).
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "tessel_test.h"

namespace {

using fields = std::vector<std::string>;  // file interface code method returns nargs status

std::vector<fields> readTable(const std::string &Path) {
  std::ifstream In(Path);
  std::vector<fields> Rows;
  for (std::string Line; std::getline(In, Line);) {
    std::istringstream Cells(Line);
    Rows.emplace_back();
    for (std::string Cell; std::getline(Cells, Cell, '\t');) Rows.back().push_back(Cell);
  }
  if (!Rows.empty()) Rows.erase(Rows.begin());  // the header line
  return Rows;
}

// Checks one file; returns what differs, empty when everything matches. Counts method rows.
std::string checkFile(const std::string &Dir, const std::string &File,
                      const std::vector<fields> &FileRows, bool Explicit, int &Rows,
                      int &RowsPassed) {
  const std::string Path = Dir + "/" + File, Stem = File.substr(0, File.size() - 5);
  const aidl *Aidl = nullptr;
  output Io = captured([&] { Aidl = tessel(Path.c_str()); });
  if (Explicit)
    return !Aidl && Io.Err == Path + ": explicitly numbered methods are not supported\n"
               ? ""
               : "not refused as explicitly numbered: " + Io.Err;
  // Rows of the top-level interface, which carries the file's name; nested ones are not read.
  std::vector<const fields *> Mine;
  for (const fields &Row : FileRows)
    if (Row[1] == Stem || Row[1].ends_with("." + Stem)) Mine.push_back(&Row);
  if (!Io.Err.empty()) return "messages: " + Io.Err;
  if (Mine.empty()) return Aidl ? "an interface where there is none" : "";
  if (!Aidl) return "no interface";
  std::string Name = Aidl->name, Differences;
  if (Name.substr(0, Name.find_last_not_of(' ') + 1) != (*Mine[0])[1]) Differences += " name " + Name;
  const bool Empty = (*Mine[0])[6] == "no-methods";
  if (Aidl->numMethods != (Empty ? 0 : int(Mine.size())))
    Differences += " " + std::to_string(Aidl->numMethods) + " methods";
  for (size_t I = 0; !Empty && I < Mine.size(); ++I) {
    const fields &Row = *Mine[I];
    const int Code = std::stoi(Row[2]);
    const char *Got = getMethodNameFromAIDL(Aidl, Code);
    ++Rows;
    if (Got && Got == Row[3] && getMethodReturnFromAIDL(Aidl, Code) == Row[4] &&
        getMethodNumArgsFromAIDL(Aidl, Code) == std::stoi(Row[5]))
      ++RowsPassed;
    else
      Differences += " code " + Row[2] + " is not " + Row[4] + " " + Row[3] + "/" + Row[5];
  }
  return Differences;
}

TEST(Corpus, EveryFileGetsTheCompilersMethodNumbers) {
  const std::string Dir = TESSEL_CORPUS_DIR;
  if (!std::filesystem::is_directory(Dir)) GTEST_SKIP() << "no AIDL corpus at " << Dir;
  std::map<std::string, std::vector<fields>> Expected;
  for (fields &Row : readTable(Dir + "/expected.tsv")) Expected[Row[0]].push_back(Row);
  std::set<std::string> Explicit;
  for (const fields &Row : readTable(Dir + "/features.tsv"))
    if (("," + Row.at(1) + ",").find(",explicit-ids,") != std::string::npos) Explicit.insert(Row[0]);
  ASSERT_EQ(Explicit.size(), 10u);
  ASSERT_EQ(Expected.size(), 148u);

  int FilesPassed = 0, Rows = 0, RowsPassed = 0;
  for (const auto &[File, FileRows] : Expected) {
    std::string Differences = checkFile(Dir, File, FileRows, Explicit.count(File), Rows, RowsPassed);
    EXPECT_EQ(Differences, "") << File;
    FilesPassed += Differences.empty();
  }
  printf("[ corpus   ] %d of %zu files, %d of %d method rows match\n", FilesPassed,
         Expected.size(), RowsPassed, Rows);
}

}  // namespace
