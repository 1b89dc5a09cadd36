// `markfit table` as teams use it: tables carried between folders in JSON
// and CSV, names with blanks and accents, bad files refused with their place
// and nothing changed, imports while another program has the files open.
//
// One test holds the data files open in a second, real process; that is the
// only reason this file reaches for <unistd.h> and <sys/wait.h>.
#include "cli/table_command.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/dictionary/dictionary.h"
#include "app/dictionary/standard_table.h"
#include "app/records/records.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "tests/cli/files.h"
#include "tests/platform/temp_dir.h"

namespace cli {
namespace {

using test::read;
using test::write;

namespace fs = std::filesystem;
using records::Character;

struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
};

class TableCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    setenv("MARKFIT_PROFILE", dir_.file("profile.ini").c_str(), 1);
    setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
    for (const char* d : {"a", "b", "c"}) fs::create_directory(dir_.file(d));
  }

  Outcome table(const std::vector<std::string>& args, const std::string& input = {}) {
    std::istringstream in(input);
    std::ostringstream out, err;
    Outcome o;
    o.status = run_table(args, in, out, err);
    o.out = out.str();
    o.err = err.str();
    return o;
  }

  // The tables of `folder` with their characters, read as the program does.
  static std::vector<std::pair<records::TableInfo, std::vector<Character>>> contents(const std::string& folder) {
    const auto previous = fs::current_path();
    fs::current_path(folder);
    std::vector<std::pair<records::TableInfo, std::vector<Character>>> all;
    for (files::FileDescriptor* f : {&dictionary::TransTables, &dictionary::Translations}) files::open(*f, 0x40);
    std::vector<records::TableInfo> tables;
    EXPECT_EQ(records::list_tables(&tables), 0) << files::ERROR();
    for (const records::TableInfo& t : tables) {
      std::vector<Character> characters;
      EXPECT_EQ(records::read_characters(t.id, &characters), 0);
      all.emplace_back(t, characters);
    }
    for (files::FileDescriptor* f : {&dictionary::TransTables, &dictionary::Translations}) files::close(*f);
    fs::current_path(previous);
    return all;
  }


  platform_test::TempDir dir_;
};

TEST_F(TableCommandTest, TheStandardTableCarriedToAnEmptyFolderIsEqualRecordForRecord) {
  // Folder a gets the standard table through an import of the built-in one.
  const Outcome built = table({"export", "standard", "-C", dir_.file("a")});
  ASSERT_EQ(built.status, 0) << built.err;
  ASSERT_EQ(table({"import", "-", "-C", dir_.file("a")}, built.out).status, 0);
  const auto standard = contents(dir_.file("a"));
  ASSERT_EQ(standard.size(), 1u);
  EXPECT_EQ(standard[0].first.name, "Standard");
  ASSERT_EQ(standard[0].second.size(), std::size_t{dictionary::kStandardCount});
  EXPECT_EQ(standard[0].second[233 - 33], (Character{"\xE9", "&eacute", 233}));

  for (const char* format : {"json", "csv"}) {
    SCOPED_TRACE(format);
    const std::string file = dir_.file(std::string("standard.") + format);
    fs::remove_all(dir_.file("b"));
    fs::create_directory(dir_.file("b"));
    Outcome o = table({"export", "Standard", "-o", file, "-C", dir_.file("a")});
    ASSERT_EQ(o.status, 0) << o.err;
    o = table({"import", file, "--name", "Standard", "-C", dir_.file("b")});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "added table \"Standard\" (number 1) with 223 characters\n");
    const auto copy = contents(dir_.file("b"));
    ASSERT_EQ(copy.size(), 1u);
    EXPECT_EQ(copy[0].first.id, standard[0].first.id);
    EXPECT_EQ(copy[0].first.name, standard[0].first.name);
    EXPECT_EQ(copy[0].second, standard[0].second);
  }
  // UTF-8 in both formats.
  EXPECT_NE(read(dir_.file("standard.csv")).find("\n\xC3\xA9,&eacute,233\n"), std::string::npos);
  EXPECT_NE(read(dir_.file("standard.json")).find(R"({"character": "é", "html": "&eacute", "code": 233})"),
            std::string::npos);
}

TEST_F(TableCommandTest, NamesWithBlanksAndAccentsNewNumbersAndReplace) {
  const std::string a = dir_.file("a");
  const std::string csv = "character,html,code\n\xC3\xA9,&eacute;,233\n\"\"\"\",&quot;,34\n\",\",\"a,b\",\n";
  write(dir_.file("Ma table é.csv"), csv);
  Outcome o = table({"import", dir_.file("Ma table é.csv"), "-C", a});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "added table \"Ma table é\" (number 1) with 3 characters\n");
  o = table({"import", "-", "--name", "Zweite", "--format", "csv", "-C", a}, csv);
  EXPECT_EQ(o.out, "added table \"Zweite\" (number 2) with 3 characters\n");
  o = table({"list", "-C", a});
  EXPECT_EQ(o.out,
            "        ID  NAME                  CHARACTERS\n"
            "         1  Ma table é            3\n"
            "         2  Zweite                3\n");
  // The same name again is refused unless it replaces, in any case of letters.
  o = table({"import", "-", "--name", "ZWEITE", "-C", a}, csv);
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("a table named \"ZWEITE\" exists already (number 2); give --replace"), std::string::npos)
      << o.err;
  o = table({"import", "-", "--name", "zweite", "--replace", "-C", a},
            R"({"table": "ignored", "characters": [{"character": "x", "html": "&#120;"}]})");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "replaced the 3 characters of table \"Zweite\" (number 2) by 1\n");
  const auto all = contents(a);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].second, (std::vector<Character>{{"\"", "&quot;", 34}, {",", "a,b", 0}, {"\xE9", "&eacute;", 233}}));
  EXPECT_EQ(all[1].second, (std::vector<Character>{{"x", "&#120;", 0}}));
  // Exported and read back, the quoting holds.
  o = table({"export", "ma table \xC3\xA9", "--format", "csv", "-C", a});
  EXPECT_EQ(o.out, "character,html,code\n\"\"\"\",&quot;,34\n\",\",\"a,b\",0\n\xC3\xA9,&eacute;,233\n");
}

TEST_F(TableCommandTest, AMalformedFileIsRefusedWithItsPlaceAndNothingChanges) {
  const std::string a = dir_.file("a");
  ASSERT_EQ(table({"import", "-", "--name", "Kept", "-C", a}, "character,html\nk,kept\n").status, 0);
  const std::string tables = read(a + "/TRANSTAB.KSF");
  const std::string characters = read(a + "/TRANSLAT.KSF");
  const struct {
    const char* input;
    const char* says;
  } cases[] = {
      {"{\"table\": \"T\",\n \"characters\": [}", "standard input: line 2, column 17: "},
      {R"({"table": "T", "characters": [{"character": "a", "html": "x"}, {"character": "b", "htm": "y"}]})",
       "characters[1]: unknown member \"htm\""},
      {R"({"characters": [{"character": "\u4e2d", "html": "x"}]})",
       "characters[0].character: the character U+4E2D (\xE4\xB8\xAD) has no Windows-1252 byte"},
      {"character,html,code\na,x,1\nb,0123456789a,2\n", "line 3, field 2 (html): its html holds at most 10"},
      {"character,html\na,x\n\"b\"c,y\n", "line 3, field 1: text after the closing quote"},
      {"character,html,code\na,x,1\nb,y\n", "line 3: 2 fields, the first line has 3"},
      {"character,html,code\na,x,one\n", "line 2, field 3 (code): a whole number is expected, not \"one\""},
      {"char,html\na,x\n", "line 1, field 1: \"char\" is not a column"},
      {"character,html\na,x\n\xE2\x82\xAC,euro\na ,y\n",
       "standard input: line 4: Adding this record creates a duplicate entry for the key:Character order (the "
       "character \"a\" is at line 2 too)"},
      {"character,html\n,x\n", "line 2, field 1 (character): a character is needed"},
      {"character,html\n\"a,x\n", "line 2, field 1: the quoted field is never closed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    const Outcome o = table({"import", "-", "--name", "New", "-C", a}, c.input);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
  }
  EXPECT_EQ(read(a + "/TRANSTAB.KSF"), tables);
  EXPECT_EQ(read(a + "/TRANSLAT.KSF"), characters);
  // Wrong usage, for each command.
  for (const auto& args : {std::vector<std::string>{}, {"export"}, {"import"},
                           {"export", "Kept", "--format", "xml"}, {"export", "Kept", "-o", ""}, {"lst"}}) {
    EXPECT_EQ(table(args).status, 2) << (args.empty() ? "" : args[0]);
  }
  EXPECT_NE(table({"import", "-"}, "character,html\na,b\n").err.find("give the table's name with --name"),
            std::string::npos);
  EXPECT_EQ(table({"export", "Nothing", "-C", a}).status, 1);
}

TEST_F(TableCommandTest, ImportWhileAnotherProgramHasTheFilesOpenAndNumbersAtTheBound) {
  const std::string a = dir_.file("a");
  ASSERT_EQ(table({"import", "-", "--name", "First", "-C", a}, "character,html\na,b\n").status, 0);
  // Another program (a toolbox, say) opens both files shared and keeps them
  // open until told to end; then it reads the tables as it sees them.
  int go[2], done[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(done), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    fs::current_path(a);
    for (files::FileDescriptor* f : {&dictionary::TransTables, &dictionary::Translations}) {
      files::open(*f, 0x42);
      if (files::ERRORCODE() != 0) ::_exit(10);
    }
    char c = 0;
    if (::write(done[1], "r", 1) != 1 || ::read(go[0], &c, 1) != 1) ::_exit(11);
    std::vector<records::TableInfo> tables;
    if (records::list_tables(&tables) != 0) ::_exit(12);
    ::_exit(static_cast<int>(tables.size()));
  }
  char ready = 0;
  ASSERT_EQ(::read(done[0], &ready, 1), 1);
  // Table ids at the end of their range: the next one is the lowest free.
  const auto previous = fs::current_path();
  fs::current_path(a);
  for (files::FileDescriptor* f : {&dictionary::TransTables, &dictionary::Translations}) files::open(*f, 0x42);
  dictionary::clear(dictionary::TTB);
  dictionary::TTB.idnr = INT_MAX;
  dictionary::set_field(dictionary::TTB.name, "Last");
  files::add(dictionary::TransTables);
  ASSERT_EQ(files::ERRORCODE(), 0);
  for (files::FileDescriptor* f : {&dictionary::TransTables, &dictionary::Translations}) files::close(*f);
  fs::current_path(previous);

  const Outcome o = table({"import", "-", "--name", "Second", "-C", a}, R"({"characters": [{"character": "c", "html": "d"}]})");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "added table \"Second\" (number 2) with 1 character\n");
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);  // First, Last, Second: the other program sees the new table
}

}  // namespace
}  // namespace cli
