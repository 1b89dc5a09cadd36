// The standard messages and the checked open: the texts as the user reads
// them, the saved error reported once, and every rung of the open's ladder
// against a scripted driver (and the real one for the files it makes).
#include "app/data/standard_messages.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "app/data/data_files.h"
#include "app/dictionary/dictionary.h"
#include "files/driver/driver.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/kestrel/pager.h"
#include "files/kestrel/driver.h"
#include <chrono>
#include "tests/app/app_fixture.h"
#include "ui/services.h"

namespace {

using ui::Button;
using ui::MessageIcon;
namespace msg = app::msg;

struct Halted {
  int code;
};
[[noreturn]] void throwing_exit(int code) { throw Halted{code}; }

// Answers each operation with the next code of its script (0 when the
// script is used up) and remembers the order of the calls.
class ScriptedDriver final : public files::Driver {
 public:
  ScriptedDriver()
      : descriptor_(files::make_driver_descriptor("SCRIPTED", "", "", "Scripted", {},
                                                  {static_cast<std::uint8_t>(files::FieldType::GROUP),
                                                   static_cast<std::uint8_t>(files::FieldType::STRING)})) {}
  const files::DriverDescriptor& descriptor() const override { return descriptor_; }
  bool supports_keys() const override { return true; }
  std::int32_t perform(files::Op op, files::FileDescriptor&, files::FileControlBlock& fcb, files::Operands& o,
                       std::int32_t*) override {
    calls.push_back(op);
    if (op == files::Op::NAME) {
      o.answer = path;
      return 0;
    }
    std::int32_t code = 0;
    if (auto& s = script[op]; !s.empty()) {
      code = s.front();
      s.pop_front();
    }
    if (code == 0 && (op == files::Op::OPEN || op == files::Op::SHARE)) fcb.state |= files::state::W;
    return code;
  }
  std::int32_t apply_option(files::FileControlBlock&, std::string_view, std::string*) override { return 0; }
  int count(files::Op op) const { return static_cast<int>(std::count(calls.begin(), calls.end(), op)); }

  std::map<files::Op, std::deque<std::int32_t>> script;
  std::vector<files::Op> calls;
  std::string path;

 private:
  files::DriverDescriptor descriptor_;
};

class StandardMessageTest : public gui_test::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    files::clear_error();
    dictionary::saved_error = {};
    ui::set_exit_function(&throwing_exit);
  }
  void TearDown() override {
    ui::set_exit_function(nullptr);
    GuiTest::TearDown();
  }
  const ui::MessageRequest& shown() { return responder.messages().back(); }
};

TEST_F(StandardMessageTest, TextsAreBuiltFromTheirPiecesWithTheErrorText) {
  files::post(2);
  app::standard_message(msg::kFileAccessError, "/data/TRANSLAT.KSF   ");
  EXPECT_EQ(shown().caption, "File Access Error");
  EXPECT_EQ(shown().text, "File (/data/TRANSLAT.KSF) could not be opened.  Error: File Not Found (2).");
  EXPECT_EQ(shown().icon, MessageIcon::Asterisk);
  EXPECT_EQ(shown().buttons, ui::code(Button::Ok));

  files::post(5);
  app::standard_message(msg::kTransactionFramingError, "Delete", "Translations");
  EXPECT_EQ(shown().text,
            "Error: (Access Denied (5)) attempting to frame the delete transaction on Translations.  "
            "Delete transaction cancelled.");

  files::setDriverError("1735", "Possible data corruption in file X (1735)");
  files::post(90);
  app::standard_message(msg::kRecordRetrievalError, "TransTables");
  EXPECT_EQ(shown().text,
            "Error: (Possible data corruption in file X (1735) (1735)) attempting to access a record from the "
            "TransTables file.  Returning to previous window.");

  responder.next_answer(Button::No);
  EXPECT_EQ(app::standard_message(msg::kRecordUpdateErrorChange), ui::code(Button::No));
  EXPECT_EQ(shown().buttons, ui::code(Button::Yes) | Button::No | Button::Cancel);
  EXPECT_EQ(shown().default_button, Button::Cancel);
  responder.next_answer(Button::Ok);
  EXPECT_EQ(app::standard_message(msg::kConfirmDelete), ui::code(Button::Ok));
  EXPECT_EQ(shown().icon, MessageIcon::Exclamation);
  EXPECT_EQ(app::standard_message(msg::kDuplicateKeyError, "Table ID"), 1);
  EXPECT_EQ(shown().text, "Adding this record creates a duplicate entry for the key:Table ID");
}

TEST_F(StandardMessageTest, TheSavedErrorIsReportedOnceThenTheCurrentOne) {
  files::post(89);
  app::keep_error();
  files::post(33);  // what a later operation (the rollback's re-read) left
  app::standard_message(msg::kUpdateOperationError, "TransTables");
  EXPECT_EQ(shown().text, "This record was changed by another station.");
  EXPECT_EQ(app::reported_code(), 89);
  app::standard_message(msg::kUpdateOperationError, "TransTables");
  EXPECT_EQ(shown().text,
            "An error (Record Not Available (33)) was experienced when attempting to update a record from the "
            "file.  Probable Cause: TransTables.");
  // A long error text is cut at 150 characters.
  files::setDriverError("7", std::string(200, 'x'));
  files::post(90);
  app::standard_message(msg::kRecordInsertError);
  EXPECT_EQ(shown().text, "An error was experienced during the update of record.  Error: " + std::string(150, 'x') + ".");
}

TEST_F(StandardMessageTest, FatalMessagesEndTheProgramWithTheirHaltTextAndCodeOne) {
  const auto halt_of = [&](int number, Button answer) -> std::string {
    responder.next_answer(answer);
    responder.next_answer(Button::Ok);
    try {
      app::standard_message(number, "F");
    } catch (const Halted& h) {
      EXPECT_EQ(h.code, 1);
      return shown().text;
    }
    return "(returned)";
  };
  EXPECT_EQ(halt_of(msg::kInvalidFile, Button::Ok), "Invalid File!");
  EXPECT_EQ(halt_of(msg::kInvalidKey, Button::No), "Invalid Key!");
  EXPECT_EQ(halt_of(msg::kInvalidKey, Button::Yes), "(returned)");
  EXPECT_EQ(halt_of(msg::kKeyRebuildError, Button::Ok), "Error Rebuilding Key!");
  EXPECT_EQ(halt_of(msg::kFileCreationError, Button::Ok), "File Creation Error!");
  EXPECT_EQ(halt_of(msg::kCreatedFileOpenError, Button::Ok), "File Creation Error!");
  EXPECT_EQ(responder.messages()[responder.messages().size() - 2].text,
            "Error: ( (0)) opening created file:F.  Press OK to end this application.")
      << "message 5 has no blank after \"file:\"";
}

class CheckedOpenTest : public StandardMessageTest {
 protected:
  void SetUp() override {
    StandardMessageTest::SetUp();
    fd.driver = &driver;
    fd.name = "SCRIPTED";
    fd.attributes = files::attr::CREATE;
    fd.record = record;
    fd.record_length = sizeof record;
    files::FieldDescriptor group;
    group.type = files::FieldType::GROUP;
    group.size = sizeof record;
    fd.fields = {group};
    driver.path = file("scripted.dat");
  }
  void TearDown() override {
    fd.fcb.reset();
    StandardMessageTest::TearDown();
  }
  // The halt text, or "" when the open returned.
  std::string open() {
    fd.fcb.reset();
    try {
      app::checked_open(fd);
    } catch (const Halted&) {
      return shown().text;
    }
    return "";
  }

  ScriptedDriver driver;
  files::FileDescriptor fd;
  std::uint8_t record[4] = {};
};

TEST_F(CheckedOpenTest, ARefusedOpenIsTriedAgainBeforeAnythingIsSaid) {
  driver.script[files::Op::OPEN] = {32, 5, 5};
  EXPECT_EQ(open(), "");
  EXPECT_EQ(driver.count(files::Op::OPEN), 4);
  EXPECT_TRUE(responder.messages().empty());
}

TEST_F(CheckedOpenTest, AMissingFileIsMadeSilentlyAndFailuresToMakeItEndTheProgram) {
  driver.script[files::Op::OPEN] = {2};
  EXPECT_EQ(open(), "");
  EXPECT_EQ(driver.count(files::Op::CREATE), 1);
  EXPECT_TRUE(responder.messages().empty());

  std::filesystem::remove(driver.path);
  driver.script[files::Op::OPEN] = {2};
  driver.script[files::Op::CREATE] = {5};
  EXPECT_EQ(open(), "File Creation Error!");

  std::filesystem::remove(driver.path);
  driver.script[files::Op::OPEN] = {2, 36};
  EXPECT_EQ(open(), "File Creation Error!");
  EXPECT_EQ(responder.messages()[responder.messages().size() - 2].caption, "File Creation Error");
}

TEST_F(CheckedOpenTest, AFileAnotherProgramJustMadeIsOpenedNotReplaced) {
  app_test::write_file(driver.path, "");  // the other program won the create
  driver.script[files::Op::OPEN] = {2, 2, 0};  // its table arrives a moment later
  EXPECT_EQ(open(), "");
  EXPECT_EQ(driver.count(files::Op::CREATE), 0);
}

TEST_F(CheckedOpenTest, DamagedKeysAreRebuiltOnYesAndEndTheProgramOnNo) {
  driver.script[files::Op::OPEN] = {46};
  responder.next_answer(Button::Yes);
  EXPECT_EQ(open(), "");
  EXPECT_EQ(driver.count(files::Op::BUILDfile), 1);
  EXPECT_EQ(responder.messages()[0].text, driver.path + " key file is invalid.  Do you want to rebuild the key?");

  driver.script[files::Op::OPEN] = {46};
  driver.script[files::Op::BUILDfile] = {5};
  responder.next_answer(Button::Yes);
  EXPECT_EQ(open(), "Error Rebuilding Key!");

  driver.script[files::Op::OPEN] = {46};
  responder.next_answer(Button::No);
  EXPECT_EQ(open(), "Invalid Key!");
}

TEST_F(CheckedOpenTest, AnInvalidDeclarationOrAnyOtherErrorEndsTheProgram) {
  driver.script[files::Op::OPEN] = {47};
  EXPECT_EQ(open(), "Invalid File!");
  driver.script[files::Op::OPEN] = {36};
  EXPECT_EQ(open(), "Disk Error");
  EXPECT_EQ(responder.messages()[responder.messages().size() - 2].text,
            "File (" + driver.path + ") could not be opened.  Error: Invalid Data File (36).");
}

TEST_F(StandardMessageTest, UsageCountsOpenOnceAndCloseWithTheLast) {
  app::use_file(dictionary::Commands);
  ASSERT_EQ(files::ERRORCODE(), 0) << files::ERROR();
  EXPECT_TRUE(std::filesystem::exists(file("COMMANDS.KSF")));
  app::use_file(dictionary::Commands);
  EXPECT_EQ(dictionary::usage.commands, 2);
  app::release_file(dictionary::Commands);
  EXPECT_TRUE(dictionary::Commands.fcb && (dictionary::Commands.fcb->state & files::state::O));
  app::release_file(dictionary::Commands);
  app::release_file(dictionary::Commands);
  EXPECT_EQ(dictionary::usage.commands, 0);
  EXPECT_FALSE(dictionary::Commands.fcb && (dictionary::Commands.fcb->state & files::state::O));
}

}  // namespace

namespace {

// The checked open against the keyed driver and real files that are not
// what they should be.
TEST_F(StandardMessageTest, BadDataFilesEndInTheirMessageNeverInACrashOrAHang) {
  const auto halt_text = [&] {
    try {
      app::checked_open(dictionary::Translations);
    } catch (const Halted&) {
      return shown().text;
    }
    files::close(dictionary::Translations);
    return std::string("(opened)");
  };
  app_test::write_file(file("TRANSLAT.KSF"), std::string(2000, 'x'));
  EXPECT_EQ(halt_text(), "Disk Error");
  EXPECT_EQ(responder.messages()[responder.messages().size() - 2].text,
            "File (" + file("TRANSLAT.KSF") + ") could not be opened.  Error: Invalid Data File (36).");

  // Another program keeps the file to itself and never lets go: the open is
  // tried for a while, then the user is told.
  std::filesystem::remove(file("TRANSLAT.KSF"));
  files::kestrel::FileRegistry registry;
  std::vector<std::uint8_t> buffer(dictionary::Translations.record_length);
  files::FileDescriptor other;
  other.driver = dictionary::Translations.driver;
  other.name = dictionary::Translations.name;
  other.attributes = dictionary::Translations.attributes;
  other.record = buffer.data();
  other.record_length = dictionary::Translations.record_length;
  other.fields = dictionary::Translations.fields;
  other.keys = dictionary::Translations.keys;
  other.link_keys();
  files::set_kestrel_registry(&registry);
  files::create(other);
  files::open(other, 0x12);  // read/write, others denied everything
  files::set_kestrel_registry(nullptr);
  ASSERT_EQ(files::ERRORCODE(), 0) << files::ERROR();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(halt_text(), "Disk Error");
  EXPECT_GE(std::chrono::steady_clock::now() - start, app::kRetryTime);
  EXPECT_NE(responder.messages()[responder.messages().size() - 2].text.find("Access Denied (5)"), std::string::npos);
  files::close(other);
  EXPECT_EQ(halt_text(), "(opened)") << "once it lets go, the file opens";
}

}  // namespace
