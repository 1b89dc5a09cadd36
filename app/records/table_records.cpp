#include <cstring>

#include "app/dictionary/dictionary.h"
#include "app/records/records.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"

namespace records {
namespace {

using namespace dictionary;

constexpr std::int32_t kEndOfFile = 33;
constexpr std::int32_t kRecordNotFound = 35;

// Positions the read before the first character of table `id`.
std::int32_t start_characters_of(std::int32_t id) {
  clear(TRA);
  TRA.translationtableid = id;
  std::memset(TRA.character, 0, sizeof TRA.character);  // below every stored character
  files::set(TRA_CHARACTERSKEY(), TRA_CHARACTERSKEY());
  return files::ERRORCODE();
}

// The next character of table `id`: 0, kEndOfFile past its last, or the error.
std::int32_t next_character_of(std::int32_t id) {
  files::next(Translations);
  const std::int32_t rc = files::ERRORCODE();
  if (rc == 0 && TRA.translationtableid != id) return kEndOfFile;
  return rc;
}

}  // namespace

std::int32_t list_tables(std::vector<TableInfo>* tables) {
  tables->clear();
  files::set(TTB_TABLENAMEKEY());
  if (const std::int32_t rc = files::ERRORCODE(); rc != 0) return rc;
  for (;;) {
    files::next(TransTables);
    const std::int32_t rc = files::ERRORCODE();
    if (rc == kEndOfFile) break;
    if (rc != 0) return rc;
    tables->push_back(TableInfo{TTB.idnr, field_text(TTB.name), 0});
  }
  for (TableInfo& t : *tables) {
    std::int32_t rc = start_characters_of(t.id);
    while (rc == 0 && (rc = next_character_of(t.id)) == 0) ++t.characters;
    if (rc != kEndOfFile) return rc;
  }
  return 0;
}

std::int32_t read_characters(std::int32_t id, std::vector<Character>* characters) {
  characters->clear();
  std::int32_t rc = start_characters_of(id);
  while (rc == 0 && (rc = next_character_of(id)) == 0) {
    characters->push_back(Character{field_text(TRA.character), field_text(TRA.htmlchars), TRA.asciinr});
  }
  return rc == kEndOfFile ? 0 : rc;
}

std::int32_t next_table_id(std::int32_t* id) {
  files::set(TTB_TRANSTABLEKEY());
  files::previous(TransTables);
  std::int32_t rc = files::ERRORCODE();
  if (rc == kEndOfFile) {
    *id = 1;
    return 0;
  }
  if (rc != 0) return rc;
  if (TTB.idnr < INT32_MAX) {
    *id = TTB.idnr < 0 ? 1 : TTB.idnr + 1;
    return 0;
  }
  // The highest number is taken: the first gap from 1 up.
  std::int32_t wanted = 1;
  files::set(TTB_TRANSTABLEKEY());
  for (;;) {
    files::next(TransTables);
    rc = files::ERRORCODE();
    if (rc != 0) return rc == kEndOfFile ? kRecordNotFound : rc;
    if (TTB.idnr < wanted) continue;
    if (TTB.idnr > wanted) break;
    if (wanted == INT32_MAX) return kRecordNotFound;
    ++wanted;
  }
  *id = wanted;
  return 0;
}

std::int32_t add_numbered_table(std::string_view name, std::int32_t* id) {
  std::int32_t next = 0;
  if (const std::int32_t rc = next_table_id(&next); rc != 0) {
    if (rc == kRecordNotFound) files::post(kRecordNotFound);
    return rc;
  }
  clear(TTB);
  TTB.idnr = next;
  set_field(TTB.name, name);
  files::add(TransTables);
  if (const std::int32_t rc = files::ERRORCODE(); rc != 0) return rc;
  *id = next;
  return 0;
}

std::int32_t delete_characters(std::int32_t id) {
  for (;;) {
    std::int32_t rc = start_characters_of(id);
    if (rc == 0) rc = next_character_of(id);
    if (rc == kEndOfFile) return 0;
    if (rc != 0) return rc;
    files::erase(Translations);
    if ((rc = files::ERRORCODE()) != 0) return rc;
  }
}

std::int32_t add_characters(std::int32_t id, const std::vector<Character>& characters, std::size_t* failed) {
  for (std::size_t i = 0; i < characters.size(); ++i) {
    clear(TRA);
    TRA.translationtableid = id;
    TRA.asciinr = characters[i].code;
    set_field(TRA.character, characters[i].character);
    set_field(TRA.htmlchars, characters[i].html);
    files::add(Translations);
    if (const std::int32_t rc = files::ERRORCODE(); rc != 0) {
      *failed = i;
      return rc;
    }
  }
  return 0;
}

std::string duplicate_entry_text(std::string_view key) {
  return "Adding this record creates a duplicate entry for the key:" + std::string(key);
}

}  // namespace records
