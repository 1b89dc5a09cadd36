#include "app/data/update_rules.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "app/data/data_files.h"
#include "app/dictionary/dictionary.h"
#include "app/records/records.h"
#include "app/data/standard_messages.h"
#include "app/data/transactions.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"

namespace app {
namespace {

using namespace dictionary;
using files::ERRORCODE;

constexpr std::uint32_t kFrameSeconds = 2;
constexpr std::int32_t kRecordNotAvailable = 33;
constexpr std::int32_t kChangedByAnotherStation = 89;

// The position of the record being written, in its file's primary key.
std::string g_position;

// A failure after the transaction began: the error is kept and the
// transaction rolled back before the message shows it.
int fail(int message, std::string_view text) {
  keep_error();
  standard_message(message, text);
  return rule::kFailed;
}

// Positions `key` at the first Translations record of table `id`.
void start_characters_of(std::int32_t id) {
  clear(TRA);
  TRA.translationtableid = id;
  std::memset(TRA.character, 0, sizeof TRA.character);
  files::set(TRA_CHARACTERSKEY(), TRA_CHARACTERSKEY());
}

// Deletes every character of table `id`; false when it failed (reported).
bool delete_characters_of(std::int32_t id) {
  start_characters_of(id);
  for (;;) {
    files::next(Translations);
    if (ERRORCODE() == kRecordNotAvailable) return true;
    if (ERRORCODE() != 0) {
      fail(msg::kRecordRetrievalError, "Translations");
      return false;
    }
    if (TRA.translationtableid != id) return true;
    files::erase(Translations);
    if (ERRORCODE() != 0) {
      fail(msg::kDeleteOperationError, "Translations");
      return false;
    }
  }
}

// Moves every character of table `from` to table `to`. Each record leaves
// the range of `from` when it is written, so the reading starts at the
// range again after every write and never depends on where `to` sorts.
bool move_characters(std::int32_t from, std::int32_t to) {
  for (;;) {
    start_characters_of(from);
    files::next(Translations);
    if (ERRORCODE() == kRecordNotAvailable) return true;
    if (ERRORCODE() != 0) {
      fail(msg::kRecordRetrievalError, "Translations");
      return false;
    }
    if (TRA.translationtableid != from) return true;
    TRA.translationtableid = to;
    files::put(Translations);
    if (ERRORCODE() != 0) {
      fail(msg::kUpdateOperationError, "Translations");
      return false;
    }
  }
}

// The id of the TransTables record stored at `position` now, read through
// a declaration of its own so that the rule's record buffer, current record
// and armed change detection stay as they are. False when it cannot be read.
bool stored_table_id(const std::string& position, std::int32_t* id) {
  static TransTablesRecord buffer;
  static files::FileDescriptor stored;
  if (!stored.driver) {
    stored.driver = TransTables.driver;
    stored.name = TransTables.name;
    stored.attributes = TransTables.attributes;
    stored.label = TransTables.label;
    stored.record = reinterpret_cast<std::uint8_t*>(&buffer);
    stored.record_length = sizeof buffer;
    stored.fields = TransTables.fields;
    stored.keys = TransTables.keys;
    stored.link_keys();
  }
  files::open(stored, 0x42);
  if (ERRORCODE() != 0 && ERRORCODE() != 52) return false;
  files::reget(stored.keys[0], position);
  const bool ok = ERRORCODE() == 0;
  *id = buffer.idnr;
  const files::ErrorState read = files::save_error_state();
  files::close(stored);
  files::restore_error_state(read);
  return ok;
}

struct RuleFiles {
  files::FileDescriptor& file;
  files::KeyDescriptor& primary;
  bool with_characters;  // TransTables: its characters are in the transaction too
};

RuleFiles rule_files(files::FileDescriptor& file) {
  if (&file == &TransTables) return {file, TTB_TRANSTABLEKEY(), true};
  if (&file == &Translations) return {file, TRA_CHARACTERSKEY(), false};
  return {file, COM_COMMANDKEY(), false};
}

bool begin(const RuleFiles& r, const char* operation) {
  const bool begun = r.with_characters ? begin_transaction(kFrameSeconds, {&TransTables, &Translations})
                                       : begin_transaction(kFrameSeconds, {&r.file});
  if (begun) return true;
  keep_error();
  standard_message(msg::kTransactionFramingError, operation, r.file.label);
  return false;
}

int delete_rule(files::FileDescriptor& file) {
  const RuleFiles r = rule_files(file);
  const std::string position = files::position(r.primary);
  if (r.with_characters) use_file(Translations);
  const auto done = [&](int result) {
    if (r.with_characters) release_file(Translations);
    return result;
  };
  if (!begin(r, "Delete")) return done(rule::kFailed);
  // The delete acts on the version on disk; a record another program has
  // deleted meanwhile is not there to act on.
  files::reget(r.primary, position);
  if (ERRORCODE() != 0) return done(fail(msg::kRecordRetrievalError, file.label));
  if (r.with_characters && !delete_characters_of(TTB.idnr)) return done(rule::kFailed);
  files::erase(file);
  if (ERRORCODE() != 0) return done(fail(msg::kDeleteOperationError, file.label));
  if (!commit_transaction()) return done(fail(msg::kDeleteOperationError, file.label));
  return done(rule::kDone);
}

int change_rule(files::FileDescriptor& file, bool ask) {
  const RuleFiles r = rule_files(file);
  if (r.with_characters) use_file(Translations);
  const auto done = [&](int result) {
    if (r.with_characters) release_file(Translations);
    return result;
  };
  if (!begin(r, "Update")) return done(rule::kFailed);
  g_position = files::position(r.primary);
  // The characters follow the id of the record this write replaces, read
  // now, inside the transaction: not a value kept from when a form opened.
  std::int32_t old_id = saved_table_key;
  // A record that cannot be read back (another program deleted it) cannot
  // be written either: the put below fails and says so (message 15), as it
  // does for every file; the id kept from the form's opening stands in.
  if (r.with_characters && !stored_table_id(g_position, &old_id)) old_id = saved_table_key;
  files::put(file);
  if (ERRORCODE() == kChangedByAnotherStation) {
    keep_error();
    if (ask) {
      standard_message(msg::kRecordWasNotUpdated);
    } else {
      standard_message(msg::kUpdateOperationError, "Record Changed by Another Station");
    }
    files::watch(file);
    files::reget(r.primary, g_position);
    if (ERRORCODE() != 0) {
      standard_message(msg::kRecordRetrievalError, file.label);
      return done(rule::kFailed);
    }
    if (r.with_characters) saved_table_key = TTB.idnr;
    return done(rule::kChangedElsewhere);
  }
  if (ERRORCODE() != 0) return done(fail(msg::kUpdateOperationError, file.label));
  if (r.with_characters && TTB.idnr != old_id) {
    const TransTablesRecord table = TTB;
    const bool moved = move_characters(old_id, TTB.idnr);
    TTB = table;
    if (!moved) {
      TRA.translationtableid = TTB.idnr;
      return done(rule::kFailed);
    }
  }
  if (!commit_transaction()) return done(fail(msg::kUpdateOperationError, file.label));
  if (r.with_characters) saved_table_key = TTB.idnr;
  return done(rule::kDone);
}

}  // namespace

int delete_transtables() { return delete_rule(TransTables); }
int delete_commands() { return delete_rule(Commands); }
int change_transtables(bool ask) { return change_rule(TransTables, ask); }
int change_translations(bool ask) { return change_rule(Translations, ask); }
int change_commands(bool ask) { return change_rule(Commands, ask); }

FormRecord::FormRecord(files::FileDescriptor& file, files::KeyDescriptor& primary)
    : file_(file),
      primary_(primary),
      position_(files::position(primary)),
      as_read_(file.record, file.record + file.record_length) {}

int FormRecord::take_back() {
  // Nothing else read the file since: its current record is still ours and
  // the detection armed when it was read still holds.
  if (files::position(primary_) == position_) return rule::kDone;
  const std::vector<std::uint8_t> values(file_.record, file_.record + file_.record_length);
  files::watch(file_);
  files::reget(primary_, position_);
  if (ERRORCODE() != 0) {
    std::copy(values.begin(), values.end(), file_.record);
    standard_message(msg::kUpdateOperationError, file_.label);
    return rule::kFailed;
  }
  if (!std::equal(as_read_.begin(), as_read_.end(), file_.record)) {
    as_read_.assign(file_.record, file_.record + file_.record_length);
    standard_message(msg::kRecordWasNotUpdated);
    return rule::kChangedElsewhere;
  }
  std::copy(values.begin(), values.end(), file_.record);
  return rule::kDone;
}

bool number_new_table() {
  const TransTablesRecord primed = TTB;
  int failures = 0;
  for (;;) {
    std::int32_t id = 0;
    if (records::next_table_id(&id) != 0) {
      standard_message(msg::kRecordRetrievalError, "TransTables");
      TTB = primed;
      return false;
    }
    TTB = primed;
    TTB.idnr = id;
    files::add(TransTables);
    if (ERRORCODE() == 0) return true;
    if (++failures >= 3) {
      if (standard_message(msg::kAutoIncrementError) != ui::code(ui::Button::Retry)) {
        TTB = primed;
        return false;
      }
      failures = 0;
    }
  }
}

}  // namespace app
