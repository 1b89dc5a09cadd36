// The three data files as the program declares them: what a new file
// stores, seen from outside through the data-file commands, and the key
// rules the application relies on.
#include "app/dictionary/dictionary.h"

#include <gtest/gtest.h>

#include <sstream>

#include "app/dictionary/standard_table.h"
#include "cli/json_document.h"
#include "cli/ksf_command.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "tests/platform/temp_dir.h"

namespace {

using namespace dictionary;
using cli::json::Json;

const Json& member(const Json& object, std::string_view name) {
  static const Json null;
  const Json* v = cli::json::member(object, name);
  return v ? *v : null;
}
bool flag(const Json& object, std::string_view name) {
  const Json& v = member(object, name);
  return v.is_boolean() && v.get<bool>();
}

class DictionaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("MARKFIT_PROFILE", dir_.file("profile.ini").c_str(), 1);
    setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    files::clear_error();
    clear_record_buffers();
  }
  void TearDown() override {
    for (files::FileDescriptor* f : {&Translations, &TransTables, &Commands}) files::close(*f);
    std::filesystem::current_path(previous_);
  }
  void create_open(files::FileDescriptor& f) {
    files::create(f);
    ASSERT_EQ(files::ERRORCODE(), 0) << files::ERROR();
    files::open(f, 0x42);
    ASSERT_EQ(files::ERRORCODE(), 0) << files::ERROR();
  }
  Json dump(const std::string& file) {
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(cli::run_ksf({"dump", file, "--json"}, in, out, err, platform::Env::posix()), 0) << err.str();
    cli::json::ParseError error;
    auto doc = cli::json::parse(out.str(), &error);
    EXPECT_TRUE(doc) << error.describe();
    return doc ? *doc : Json();
  }

  platform_test::TempDir dir_;
  std::filesystem::path previous_;
};

std::string components(const Json& key) {
  std::string s;
  for (const Json& c : member(key, "components")) {
    if (!s.empty()) s += ",";
    s += (flag(c, "descending") ? "-" : "+") + member(c, "field").get<std::string>();
  }
  return s;
}

std::string flags(const Json& key) {
  std::string s;
  for (const char* f : {"primary", "dup", "opt", "nocase", "index"}) {
    if (flag(key, f)) s += std::string(s.empty() ? "" : " ") + f;
  }
  return s;
}

TEST_F(DictionaryTest, NewFilesStoreExactlyTheDeclaredDefinitions) {
  create_open(Translations);
  create_open(TransTables);
  create_open(Commands);
  for (files::FileDescriptor* f : {&Translations, &TransTables, &Commands}) files::close(*f);

  struct Expected {
    const char* file;
    std::vector<std::pair<std::string, std::string>> fields;  // name, type(length)
    std::vector<std::tuple<std::string, std::string, std::string>> keys;  // name, components, flags
  };
  const Expected expected[] = {
      {"TRANSLAT.KSF",
       {{"TRA:TRANSLATIONTABLEID", "LONG"}, {"TRA:ASCIINR", "LONG"}, {"TRA:CHARACTER", "STRING(2)"},
        {"TRA:HTMLCHARS", "STRING(10)"}},
       {{"TRA:CHARACTERSKEY", "+TRA:TRANSLATIONTABLEID,+TRA:CHARACTER", "primary opt"}}},
      {"TRANSTAB.KSF",
       {{"TTB:IDNR", "LONG"}, {"TTB:NAME", "STRING(20)"}},
       {{"TTB:TRANSTABLEKEY", "+TTB:IDNR", "primary opt nocase"},
        {"TTB:TABLENAMEKEY", "+TTB:NAME", "dup opt nocase"}}},
      {"COMMANDS.KSF",
       {{"COM:COMMANDSTRING", "STRING(40)"}},
       {{"COM:COMMANDKEY", "+COM:COMMANDSTRING", "primary opt nocase"}}},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.file);
    const Json doc = dump(e.file);
    ASSERT_EQ(member(doc, "tables").size(), 1u);
    const Json& table = member(doc, "tables")[0];
    EXPECT_EQ(member(table, "name").get<std::string>(), "UNNAMED");
    EXPECT_FALSE(flag(table, "oem"));
    std::vector<std::pair<std::string, std::string>> fields;
    for (const Json& f : member(table, "fields")) {
      std::string type = member(f, "type").get<std::string>();
      if (cli::json::member(f, "length")) type += "(" + cli::json::number_string(member(f, "length")) + ")";
      EXPECT_EQ(cli::json::member(f, "dim"), nullptr);
      fields.emplace_back(member(f, "name").get<std::string>(), type);
    }
    EXPECT_EQ(fields, e.fields);
    std::vector<std::tuple<std::string, std::string, std::string>> keys;
    for (const Json& k : member(table, "keys")) {
      keys.emplace_back(member(k, "name").get<std::string>(), components(k), flags(k));
      EXPECT_EQ(cli::json::member(k, "external"), nullptr);
    }
    EXPECT_EQ(keys, e.keys);
    EXPECT_TRUE(member(table, "memos").empty());
    EXPECT_TRUE(member(table, "records").empty());
  }
}

TEST_F(DictionaryTest, KeysFollowTheirCaseAndDuplicateRules) {
  create_open(Translations);
  create_open(TransTables);
  create_open(Commands);

  // One table holds a letter in both cases; the same character twice is refused.
  for (const char* c : {"a", "A", "a"}) {
    clear(TRA);
    TRA.translationtableid = 1;
    set_field(TRA.character, c);
    set_field(TRA.htmlchars, c);
    files::add(Translations);
  }
  EXPECT_EQ(files::ERRORCODE(), 40);
  EXPECT_EQ(files::records(Translations), 2);

  // Two tables may share a name, never an id.
  for (auto [id, name] : {std::pair{1, "Standard"}, {2, "standard"}, {1, "Other"}}) {
    TTB.idnr = id;
    set_field(TTB.name, name);
    files::add(TransTables);
  }
  EXPECT_EQ(files::ERRORCODE(), 40);
  EXPECT_EQ(files::records(TransTables), 2);

  // Commands that differ only in letter case may not both be stored.
  set_field(COM.commandstring, "HtmlLine('");
  files::add(Commands);
  EXPECT_EQ(files::ERRORCODE(), 0);
  set_field(COM.commandstring, "HTMLLINE('");
  files::add(Commands);
  EXPECT_EQ(files::ERRORCODE(), 40);
}

TEST(StandardTableTest, HoldsTheCharacterOrItsEntityForEveryCodeFrom33) {
  int count = 0;
  for (int c = 0; c <= 255; ++c) count += standard_replacement(c).empty() ? 0 : 1;
  EXPECT_EQ(count, kStandardCount);
  EXPECT_EQ(kStandardCount, 223);
  EXPECT_EQ(standard_replacement(32), "");
  EXPECT_EQ(standard_replacement(65), "A");
  EXPECT_EQ(standard_replacement(150), std::string(1, '\x96'));
  EXPECT_EQ(standard_replacement(160), "&nbsp");
  EXPECT_EQ(standard_replacement(167), "&sect");
  EXPECT_EQ(standard_replacement(172), "&not");
  EXPECT_EQ(standard_replacement(215), "&times");
  EXPECT_EQ(standard_replacement(233), "&eacute");
  EXPECT_EQ(standard_replacement(255), "&yuml");
  // The entity list itself is blank between 129 and 159.
  EXPECT_EQ(standard_entity(128), std::string(1, '\x80'));
  EXPECT_EQ(standard_entity(129), "");
  for (int c = 160; c <= 255; ++c) {
    const std::string_view e = standard_entity(c);
    EXPECT_TRUE(e.size() >= 3 && e.size() <= 10 && e[0] == '&') << c;
  }
}

}  // namespace
