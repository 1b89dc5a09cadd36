// The update rules, the numbering of new tables, the standard table builder
// and the start-up check, on real data files in a fresh folder. "Another
// program" is a second declaration of a file opened through a file registry
// of its own, so its locks and caches meet ours as another process's would.
#include "app/data/update_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <chrono>
#include <functional>

#include "app/tables/abandoned_tables.h"
#include "app/tables/add_translations.h"
#include "app/data/data_files.h"
#include "app/dictionary/dictionary.h"
#include "app/dictionary/standard_table.h"
#include "app/data/standard_messages.h"
#include "app/data/transactions.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/kestrel/driver.h"
#include "files/kestrel/layout.h"
#include "files/kestrel/pager.h"
#include "files/kestrel/transaction.h"
#include "platform/fault_env.h"
#include "tests/app/app_fixture.h"
#include "ui/services.h"

namespace {

using namespace dictionary;
using files::ERRORCODE;
using ui::Button;

// One of the data files as another program declares it: same layout, a
// record buffer of its own.
struct OtherFile {
  explicit OtherFile(const files::FileDescriptor& like) : buffer(like.record_length, ' ') {
    fd.driver = like.driver;
    fd.name = like.name;
    fd.attributes = like.attributes;
    fd.label = like.label;
    fd.record = buffer.data();
    fd.record_length = like.record_length;
    fd.fields = like.fields;
    fd.keys = like.keys;
    fd.link_keys();
  }
  template <class R>
  R& as() { return *reinterpret_cast<R*>(buffer.data()); }
  std::vector<std::uint8_t> buffer;
  files::FileDescriptor fd;
};

class RulesTest : public gui_test::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    files::kestrel::set_control_file(file("kestrel.tcf"));
    files::clear_error();
    saved_error = {};
    clear_record_buffers();
    for (files::FileDescriptor* f : {&TransTables, &Translations, &Commands}) app::use_file(*f);
  }
  void TearDown() override {
    for (files::FileDescriptor* f : {&TransTables, &Translations, &Commands}) {
      while (usage_count(*f) > 0) app::release_file(*f);
    }
    files::set_kestrel_env(nullptr);
    GuiTest::TearDown();
  }

  // One transaction, so that the set-up costs one flush.
  void add_table(std::int32_t id, std::string_view name, int characters) {
    ASSERT_TRUE(app::begin_transaction(2, {&TransTables, &Translations})) << files::ERROR();
    TTB.idnr = id;
    set_field(TTB.name, name);
    files::add(TransTables);
    ASSERT_EQ(ERRORCODE(), 0) << files::ERROR();
    for (int c = 33; c < 33 + characters; ++c) {
      clear(TRA);
      TRA.translationtableid = id;
      TRA.asciinr = c;
      set_field(TRA.character, std::string(1, static_cast<char>(c)));
      set_field(TRA.htmlchars, standard_replacement(c));
      files::add(Translations);
      ASSERT_EQ(ERRORCODE(), 0) << files::ERROR();
    }
    ASSERT_TRUE(app::commit_transaction()) << files::ERROR();
  }
  // The table's record read back for a change the way a form does it:
  // change detection armed, then the read.
  void read_table(std::int32_t id) {
    TTB.idnr = id;
    files::watch(TransTables);
    files::get(TransTables, TTB_TRANSTABLEKEY());
    ASSERT_EQ(ERRORCODE(), 0) << files::ERROR();
    saved_table_key = id;
  }
  // The codes of table `id`'s characters, in key order.
  std::vector<int> characters_of(std::int32_t id) {
    std::vector<int> codes;
    clear(TRA);
    TRA.translationtableid = id;
    std::memset(TRA.character, 0, 2);
    files::set(TRA_CHARACTERSKEY(), TRA_CHARACTERSKEY());
    for (files::next(Translations); ERRORCODE() == 0 && TRA.translationtableid == id; files::next(Translations)) {
      codes.push_back(TRA.asciinr);
    }
    return codes;
  }
  std::vector<int> codes(int from, int count) {
    std::vector<int> v;
    for (int c = from; c < from + count; ++c) v.push_back(c);
    return v;
  }
  const ui::MessageRequest& shown() { return responder.messages().back(); }
};

TEST_F(RulesTest, DeletingATableDeletesItsCharactersAndNothingElse) {
  add_table(2, "Two", 50);
  add_table(3, "Three", 223);
  add_table(4, "Four", 50);
  add_table(5, "Empty", 0);
  read_table(3);
  EXPECT_EQ(app::delete_transtables(), app::rule::kDone);
  EXPECT_EQ(files::records(TransTables), 3);
  EXPECT_EQ(files::records(Translations), 100);
  EXPECT_TRUE(characters_of(3).empty());
  EXPECT_EQ(characters_of(2), codes(33, 50));
  EXPECT_EQ(characters_of(4), codes(33, 50));
  read_table(5);
  EXPECT_EQ(app::delete_transtables(), app::rule::kDone);
  EXPECT_EQ(files::records(TransTables), 2);
  EXPECT_TRUE(responder.messages().empty());
  EXPECT_EQ(usage.translations, 1) << "the rule gives back the count it took";
}

TEST_F(RulesTest, ChangingATableIdMovesItsCharactersWhicheverWayItSorts) {
  add_table(3, "Three", 223);
  add_table(5, "Five", 10);
  read_table(3);
  TTB.idnr = 9;
  EXPECT_EQ(app::change_transtables(true), app::rule::kDone);
  EXPECT_TRUE(characters_of(3).empty());
  EXPECT_EQ(characters_of(9), codes(33, 223));
  read_table(9);
  TTB.idnr = 1;
  EXPECT_EQ(app::change_transtables(true), app::rule::kDone);
  EXPECT_EQ(characters_of(1), codes(33, 223));
  EXPECT_EQ(characters_of(5), codes(33, 10));
  EXPECT_EQ(files::records(Translations), 233);

  // Only the name: the characters stay where they are.
  read_table(1);
  set_field(TTB.name, "Renamed");
  EXPECT_EQ(app::change_transtables(true), app::rule::kDone);
  read_table(1);
  EXPECT_EQ(field_text(TTB.name), "Renamed");
  EXPECT_EQ(characters_of(1), codes(33, 223));
  EXPECT_TRUE(responder.messages().empty());
}

TEST_F(RulesTest, AnotherProgramsChangeIsShownAndTheSecondSaveMovesTheRightCharacters) {
  add_table(3, "Three", 20);
  read_table(3);
  files::kestrel::FileRegistry registry;
  OtherFile other_tables(TransTables);
  files::set_kestrel_registry(&registry);
  files::open(other_tables.fd, 0x42);
  files::set_kestrel_registry(nullptr);
  ASSERT_EQ(ERRORCODE(), 0) << files::ERROR();
  OtherFile other_chars(Translations);
  files::set_kestrel_registry(&registry);
  files::open(other_chars.fd, 0x42);
  files::set_kestrel_registry(nullptr);
  // The other program renumbers table 3 to 5, characters and all.
  other_tables.as<TransTablesRecord>().idnr = 3;
  files::get(other_tables.fd, other_tables.fd.keys[0]);
  ASSERT_EQ(ERRORCODE(), 0);
  other_tables.as<TransTablesRecord>().idnr = 5;
  files::put(other_tables.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  files::set(other_chars.fd.keys[0]);
  for (files::next(other_chars.fd);
       ERRORCODE() == 0 && other_chars.as<TranslationsRecord>().translationtableid == 3;
       files::next(other_chars.fd)) {
    other_chars.as<TranslationsRecord>().translationtableid = 5;
    files::put(other_chars.fd);
    files::set(other_chars.fd.keys[0]);
  }
  files::close(other_chars.fd);
  files::close(other_tables.fd);

  TTB.idnr = 9;
  set_field(TTB.name, "Mine");
  responder.next_answer(Button::Ok);
  EXPECT_EQ(app::change_transtables(true), app::rule::kChangedElsewhere);
  EXPECT_EQ(shown().caption, "Record Was Not Updated");
  EXPECT_EQ(TTB.idnr, 5) << "the form now shows the other program's version";
  EXPECT_EQ(characters_of(5).size(), 20u);

  // The user saves again: the characters follow from the id stored now (5),
  // not from the one the form opened with (3).
  TTB.idnr = 9;
  EXPECT_EQ(app::change_transtables(true), app::rule::kDone);
  EXPECT_TRUE(characters_of(5).empty());
  EXPECT_EQ(characters_of(9).size(), 20u);
}

TEST_F(RulesTest, AChangeToARecordAnotherProgramDeletedIsAnUpdateOperationError) {
  add_table(3, "Three", 2);
  set_field(COM.commandstring, "gone");
  files::add(Commands);
  struct Case {
    files::FileDescriptor* file;
    std::function<void()> read;    // as the form's browse reads it
    std::function<int()> change;  // the new values, through the rule
  };
  const Case cases[] = {
      {&TransTables, [&] { read_table(3); },
       [] {
         TTB.idnr = 9;
         return app::change_transtables(true);
       }},
      {&Translations,
       [] {
         clear(TRA);
         TRA.translationtableid = 3;
         set_field(TRA.character, "!");
         files::watch(Translations);
         files::get(Translations, TRA_CHARACTERSKEY());
       },
       [] {
         set_field(TRA.htmlchars, "&excl;");
         return app::change_translations(true);
       }},
      {&Commands,
       [] {
         set_field(COM.commandstring, "gone");
         files::watch(Commands);
         files::get(Commands, COM_COMMANDKEY());
       },
       [] {
         set_field(COM.commandstring, "kept");
         return app::change_commands(true);
       }},
  };
  for (const Case& c : cases) {
    c.read();
    ASSERT_EQ(ERRORCODE(), 0) << c.file->label;
    {  // another program deletes it
      files::kestrel::FileRegistry registry;
      OtherFile other(*c.file);
      files::set_kestrel_registry(&registry);
      files::open(other.fd, 0x42);
      std::copy(c.file->record, c.file->record + c.file->record_length, other.buffer.begin());
      files::get(other.fd, other.fd.keys[0]);
      files::erase(other.fd);
      ASSERT_EQ(ERRORCODE(), 0) << files::ERROR();
      files::close(other.fd);
      files::set_kestrel_registry(nullptr);
    }
    responder.next_answer(Button::Ok);
    EXPECT_EQ(c.change(), app::rule::kFailed) << c.file->label;
    EXPECT_EQ(shown().caption, "Update Operation Error") << c.file->label;
    EXPECT_NE(shown().text.find("Probable Cause: " + c.file->label + "."), std::string::npos) << shown().text;
  }
}

TEST_F(RulesTest, ACascadeThatFailsHalfWayLeavesTheTableAndAllItsCharacters) {
  add_table(3, "Three", 223);
  // Another program holds the 100th character.
  files::kestrel::FileRegistry registry;
  OtherFile other(Translations);
  files::set_kestrel_registry(&registry);
  files::open(other.fd, 0x42);
  files::set_kestrel_registry(nullptr);
  other.as<TranslationsRecord>().translationtableid = 3;
  set_field(other.as<TranslationsRecord>().character, std::string(1, static_cast<char>(33 + 99)));
  files::hold(other.fd);
  files::get(other.fd, other.fd.keys[0]);
  ASSERT_EQ(ERRORCODE(), 0) << files::ERROR();

  read_table(3);
  responder.next_answer(Button::Ok);
  EXPECT_EQ(app::delete_transtables(), app::rule::kFailed);
  EXPECT_EQ(shown().caption, "Delete Operation Error");
  EXPECT_NE(shown().text.find("from the file Translations."), std::string::npos) << shown().text;
  EXPECT_EQ(characters_of(3), codes(33, 223));
  TTB.idnr = 3;
  files::get(TransTables, TTB_TRANSTABLEKEY());
  EXPECT_EQ(ERRORCODE(), 0);
  files::release(other.fd);
  files::close(other.fd);
}

TEST_F(RulesTest, AFailedCommitIsReportedAndRolledBack) {
  add_table(3, "Three", 30);
  add_table(4, "Four", 0);
  for (files::FileDescriptor* f : {&TransTables, &Translations, &Commands}) app::release_file(*f);
  // The files reopen through an env whose writes fail from now on.
  platform::FaultEnv faults(platform::Env::posix());
  files::set_kestrel_env(&faults);
  for (files::FileDescriptor* f : {&TransTables, &Translations, &Commands}) app::use_file(*f);
  faults.fail_nth(1, platform::fault_op::write, 0, true);

  read_table(3);
  responder.next_answer(Button::Ok);
  EXPECT_EQ(app::delete_transtables(), app::rule::kFailed);
  EXPECT_EQ(shown().caption, "Delete Operation Error");
  read_table(4);
  TTB.idnr = 8;
  responder.next_answer(Button::Ok);
  EXPECT_EQ(app::change_transtables(true), app::rule::kFailed);
  EXPECT_EQ(shown().caption, "Update Operation Error");

  faults.clear_faults();
  EXPECT_EQ(characters_of(3).size(), 30u);
  TTB.idnr = 4;
  files::get(TransTables, TTB_TRANSTABLEKEY());
  EXPECT_EQ(ERRORCODE(), 0) << "table 4 kept its id";
  // Nothing was held back for a later write to carry along.
  set_field(COM.commandstring, "later");
  files::add(Commands);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_FALSE(app::in_transaction());
}

TEST_F(RulesTest, ATransactionThatCannotBeginInTimeIsReported) {
  add_table(3, "Three", 5);
  // Another program's transaction keeps the writer byte of the file it
  // changes until it commits.
  std::unique_ptr<platform::File> other;
  ASSERT_TRUE(platform::Env::posix()->open(file("TRANSLAT.KSF"), {platform::Access::read_write}, &other).ok());
  ASSERT_TRUE(other->lock(files::kestrel::layout::kWriterByte, 1, platform::LockKind::exclusive, false).ok());
  read_table(3);
  responder.next_answer(Button::Ok);
  EXPECT_EQ(app::delete_transtables(), app::rule::kFailed);
  EXPECT_EQ(shown().caption, "Transaction Framing Error");
  EXPECT_EQ(shown().text,
            "Error: (Access Denied (5)) attempting to frame the delete transaction on TransTables.  "
            "Delete transaction cancelled.");
  EXPECT_EQ(characters_of(3).size(), 5u);
}

TEST_F(RulesTest, CommandsAreChangedAndDeletedThroughTheirRules) {
  set_field(COM.commandstring, "  HtmlLine('");
  files::add(Commands);
  set_field(COM.commandstring, "Other");
  files::add(Commands);
  set_field(COM.commandstring, "  HtmlLine('");
  files::watch(Commands);
  files::get(Commands, COM_COMMANDKEY());
  set_field(COM.commandstring, "OTHER");
  responder.next_answer(Button::Ok);
  EXPECT_EQ(app::change_commands(true), app::rule::kFailed);
  EXPECT_NE(shown().text.find("Creates Duplicate Key (40)"), std::string::npos) << shown().text;
  set_field(COM.commandstring, "  HtmlLine('");
  files::get(Commands, COM_COMMANDKEY());
  EXPECT_EQ(app::delete_commands(), app::rule::kDone);
  EXPECT_EQ(files::records(Commands), 1);
}

// A blank table is what an insert leaves when its program is killed. It
// goes, characters and all, unless another program has the tables open:
// that program's form may be inserting it right now.
TEST_F(RulesTest, BlankTablesGoWithTheirCharactersWhenNoOtherProgramHasTheTablesOpen) {
  add_table(1, "Standard", 5);
  add_table(2, "", 5);
  add_table(3, "Web", 5);
  add_table(4, "", 0);
  app::release_file(TransTables);
  {
    files::kestrel::FileRegistry registry;
    OtherFile other(TransTables);
    files::set_kestrel_registry(&registry);
    files::open(other.fd, 0x42);
    files::set_kestrel_registry(nullptr);
    ASSERT_EQ(ERRORCODE(), 0) << files::ERROR();
    EXPECT_EQ(app::remove_abandoned_tables(), 0);
    files::close(other.fd);
  }
  EXPECT_EQ(app::remove_abandoned_tables(), 2);
  app::use_file(TransTables);
  EXPECT_EQ(files::records(TransTables), 2);
  EXPECT_TRUE(characters_of(2).empty());
  EXPECT_EQ(characters_of(3), codes(33, 5));
  EXPECT_TRUE(responder.messages().empty());
}

TEST_F(RulesTest, NewTablesAreNumberedAfterTheHighestId) {
  clear(TTB);
  ASSERT_TRUE(app::number_new_table());
  EXPECT_EQ(TTB.idnr, 1);
  for (std::int32_t id : {2, 7}) add_table(id, "T", 0);
  clear(TTB);
  ASSERT_TRUE(app::number_new_table());
  EXPECT_EQ(TTB.idnr, 8);
  EXPECT_EQ(files::records(TransTables), 4);
}

// Once a table holds the largest id, new tables fill the gaps from 1 up.
TEST_F(RulesTest, NewTablesFillTheGapsOnceTheLargestIdIsTaken) {
  for (std::int32_t id : {2147483647, 1, 2, 4}) add_table(id, "T", 0);
  for (std::int32_t expected : {3, 5, 6}) {
    clear(TTB);
    ASSERT_TRUE(app::number_new_table());
    EXPECT_EQ(TTB.idnr, expected);
  }
  EXPECT_EQ(files::records(TransTables), 7);
}

class BuilderTest : public RulesTest {
 protected:
  void build(std::int32_t id) {
    ui::Task t = app::AddTranslations(id);
    ASSERT_TRUE(gui_test::pump_until([&] { return t.done(); }));
  }
};

TEST_F(BuilderTest, FirstStartBuildsTheStandardTable) {
  EXPECT_TRUE(app::standard_table_needed());
  build(1);
  EXPECT_EQ(files::records(Translations), 223);
  TTB.idnr = 1;
  files::get(TransTables, TTB_TRANSTABLEKEY());
  EXPECT_EQ(field_text(TTB.name), "Standard");
  for (auto [code, text] : {std::pair<int, std::string>{233, "&eacute"}, {65, "A"}, {150, "\x96"}}) {
    TRA.translationtableid = 1;
    set_field(TRA.character, std::string(1, static_cast<char>(code)));
    files::get(Translations, TRA_CHARACTERSKEY());
    ASSERT_EQ(ERRORCODE(), 0) << code;
    EXPECT_EQ(TRA.asciinr, code);
    EXPECT_EQ(field_text(TRA.htmlchars), text);
  }
  EXPECT_FALSE(app::standard_table_needed());
  EXPECT_TRUE(responder.messages().empty());
}

TEST_F(BuilderTest, ATableWithSomeCharactersIsCompletedAndItsNameKept) {
  add_table(1, "Mine", 40);
  TRA.translationtableid = 1;
  set_field(TRA.character, "A");
  files::get(Translations, TRA_CHARACTERSKEY());
  set_field(TRA.htmlchars, "&Alpha");
  files::put(Translations);
  build(1);
  EXPECT_EQ(characters_of(1), codes(33, 223));
  TTB.idnr = 1;
  files::get(TransTables, TTB_TRANSTABLEKEY());
  EXPECT_EQ(field_text(TTB.name), "Mine");
  TRA.translationtableid = 1;
  set_field(TRA.character, "A");
  files::get(Translations, TRA_CHARACTERSKEY());
  EXPECT_EQ(field_text(TRA.htmlchars), "&Alpha");
  build(5);
  EXPECT_EQ(characters_of(5), codes(33, 223));
  EXPECT_EQ(files::records(TransTables), 1) << "only table 1 gets a TransTables record";
}

TEST_F(BuilderTest, AFailingBuildSaysSoAndLeavesNoHalfTable) {
  for (files::FileDescriptor* f : {&TransTables, &Translations, &Commands}) app::release_file(*f);
  platform::FaultEnv faults(platform::Env::posix());
  files::set_kestrel_env(&faults);
  for (files::FileDescriptor* f : {&TransTables, &Translations, &Commands}) app::use_file(*f);
  faults.fail_nth(1, platform::fault_op::write, 0, true);
  responder.next_answer(Button::Ok);
  build(6);
  ASSERT_FALSE(responder.messages().empty());
  EXPECT_EQ(shown().caption, "Record Insert Error");
  faults.clear_faults();
  EXPECT_TRUE(characters_of(6).empty());
}

// The system as it answers a user who may read a file but not write it
// (EACCES, 5), for one path; everything else as it is. The test runs as
// root, who may write anything, as well as without.
class NotWritable final : public platform::Env {
 public:
  explicit NotWritable(std::string path) : path_(std::move(path)) {}
  platform::Status open(const std::string& path, const platform::OpenMode& mode,
                        std::unique_ptr<platform::File>* out) override {
    if (path == path_ && mode.access != platform::Access::read) return platform::Status(5);
    return base_->open(path, mode, out);
  }
  platform::Status remove(const std::string& p) override { return base_->remove(p); }
  platform::Status rename(const std::string& f, const std::string& t) override { return base_->rename(f, t); }
  bool exists(const std::string& p) override { return base_->exists(p); }
  platform::Status file_info(const std::string& p, platform::FileInfo* out) override {
    return base_->file_info(p, out);
  }
  platform::Status full_path(const std::string& p, std::string* out) override { return base_->full_path(p, out); }
  platform::Status current_directory(std::string* out) override { return base_->current_directory(out); }
  platform::Status set_current_directory(const std::string& p) override { return base_->set_current_directory(p); }
  platform::Status sync_directory_of(const std::string& p) override { return base_->sync_directory_of(p); }
  std::uint64_t ticks() override { return base_->ticks(); }
  std::int64_t now() override { return base_->now(); }

 private:
  platform::Env* base_ = platform::Env::posix();
  std::string path_;
};

struct Halted {};
[[noreturn]] void throwing_exit(int) { throw Halted{}; }

TEST_F(BuilderTest, TheStartTellsAFileItMayNotWriteFromOneAnotherProgramHolds) {
  for (files::FileDescriptor* f : {&TransTables, &Translations, &Commands}) app::release_file(*f);
  // Another program keeps the (empty) file to itself: nothing is built,
  // nothing said.
  files::kestrel::FileRegistry registry;
  OtherFile other(Translations);
  files::set_kestrel_registry(&registry);
  files::open(other.fd, 0x12);
  files::set_kestrel_registry(nullptr);
  ASSERT_EQ(ERRORCODE(), 0) << files::ERROR();
  EXPECT_FALSE(app::standard_table_needed());
  EXPECT_TRUE(responder.messages().empty());
  files::close(other.fd);

  // The system does not let this user write it: said at once, at the start.
  NotWritable env(file("TRANSLAT.KSF"));
  files::set_kestrel_env(&env);
  ui::set_exit_function(&throwing_exit);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(app::standard_table_needed(), Halted);
  ui::set_exit_function(nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, app::kRetryTime) << "no waiting for permissions";
  ASSERT_EQ(responder.messages().size(), 2u);
  EXPECT_EQ(responder.messages()[0].text,
            "File (" + file("TRANSLAT.KSF") + ") could not be opened.  Error: Access Denied (5).");
  EXPECT_EQ(responder.messages()[1].text, "Disk Error");
}

TEST_F(BuilderTest, AnyRecordAtAllKeepsTheStartFromBuilding) {
  add_table(4, "Four", 1);
  EXPECT_FALSE(app::standard_table_needed());
}

}  // namespace
