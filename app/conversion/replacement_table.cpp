#include "app/conversion/replacement_table.h"

#include <algorithm>
#include <cstring>

#include "app/dictionary/dictionary.h"
#include "app/dictionary/standard_table.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "runtime/char_tables.h"

namespace conversion {
namespace {

constexpr std::int32_t kEndOfFile = 33;
constexpr std::int32_t kRecordNotFound = 35;

std::string_view clipped(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

// The names compare as TTB:TABLENAMEKEY does: case folded, trailing blanks
// ignored.
bool same_name(std::string_view a, std::string_view b) {
  a = clipped(a);
  b = clipped(b);
  if (a.size() != b.size()) return false;
  const runtime::CharTables& tables = runtime::char_tables();
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (tables.fold_case(static_cast<std::uint8_t>(a[i])) != tables.fold_case(static_cast<std::uint8_t>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

ReplacementTable::ReplacementTable() = default;

ReplacementTable ReplacementTable::standard() {
  ReplacementTable t;
  for (int code = dictionary::kFirstStandardCode; code <= dictionary::kLastStandardCode; ++code) {
    t.set(static_cast<std::uint8_t>(code), dictionary::standard_replacement(code));
  }
  return t;
}

void ReplacementTable::set(std::uint8_t code, std::string_view htmlchars) {
  htmlchars = clipped(htmlchars.substr(0, text_[code].size()));
  if (!htmlchars.empty()) std::memcpy(text_[code].data(), htmlchars.data(), htmlchars.size());
  length_[code] = static_cast<std::uint8_t>(htmlchars.size());
  held_[code] = 1;
}

bool ReplacementTable::operator==(const ReplacementTable& other) const {
  for (int code = 0; code < 256; ++code) {
    const auto c = static_cast<std::uint8_t>(code);
    if (holds(c) != other.holds(c) || text(c) != other.text(c)) return false;
  }
  return true;
}

std::int32_t find_table(std::string_view name, std::int32_t* id) {
  using dictionary::TTB;
  // A lookup that finds nothing leaves the buffer as it was, as a failed
  // read by key does.
  const dictionary::TransTablesRecord kept = TTB;
  dictionary::clear(TTB);
  dictionary::set_field(TTB.name, name);
  files::set(dictionary::TTB_TABLENAMEKEY(), dictionary::TTB_TABLENAMEKEY());
  std::int32_t rc = files::ERRORCODE();
  if (rc == 0) {
    files::next(dictionary::TransTables);
    rc = files::ERRORCODE();
    if (rc == kEndOfFile || (rc == 0 && !same_name(dictionary::field_bytes(TTB.name), name))) rc = kRecordNotFound;
  }
  if (rc != 0) {
    const files::ErrorState saved = files::save_error_state();
    TTB = kept;
    files::restore_error_state(saved);
    return rc;
  }
  *id = TTB.idnr;
  return 0;
}

std::int32_t table_names(std::vector<std::string>* names) {
  names->clear();
  files::set(dictionary::TTB_TABLENAMEKEY());
  if (const std::int32_t rc = files::ERRORCODE(); rc != 0) return rc;
  for (;;) {
    files::next(dictionary::TransTables);
    const std::int32_t rc = files::ERRORCODE();
    if (rc == kEndOfFile) return 0;
    if (rc != 0) return rc;
    names->push_back(dictionary::field_text(dictionary::TTB.name));
  }
}

std::int32_t load_table(std::int32_t id, ReplacementTable* table) {
  using dictionary::TRA;
  *table = ReplacementTable();
  dictionary::clear(TRA);
  TRA.translationtableid = id;
  std::memset(TRA.character, 0, sizeof TRA.character);  // below every stored character
  files::set(dictionary::TRA_CHARACTERSKEY(), dictionary::TRA_CHARACTERSKEY());
  if (const std::int32_t rc = files::ERRORCODE(); rc != 0) return rc;
  for (;;) {
    files::next(dictionary::Translations);
    const std::int32_t rc = files::ERRORCODE();
    if (rc == kEndOfFile) return 0;
    if (rc != 0) return rc;
    if (TRA.translationtableid != id) return 0;
    // The lookup of character c asks for c followed by a blank; an entry
    // stored any other way is never found by it.
    if (TRA.character[1] != ' ') continue;
    table->set(static_cast<std::uint8_t>(TRA.character[0]), dictionary::field_bytes(TRA.htmlchars));
  }
}

}  // namespace conversion
