#include "app/dictionary/dictionary.h"

#include <cstddef>

#include "files/kestrel/driver.h"

namespace dictionary {

TranslationsRecord TRA;
TransTablesRecord TTB;
CommandsRecord COM;

UsageCounts usage;
std::int32_t saved_table_key = 0;
SavedError saved_error;

namespace {

using files::FieldDescriptor;
using files::FieldType;
using files::FileDescriptor;
using files::KeyDescriptor;
namespace key_flag = files::key_flag;

FieldDescriptor field(FieldType type, std::uint32_t size, const char* label) {
  FieldDescriptor f;
  f.type = type;
  f.size = size;
  f.label = label;
  if (files::is_string_type(type)) f.declared_length = size;
  return f;
}

KeyDescriptor key(const char* label, std::vector<files::KeyComponent> components, std::uint32_t flags) {
  KeyDescriptor k;
  k.label = label;
  k.components = std::move(components);
  k.flags = flags;
  return k;
}

// Field indexes count the record itself as field 0, as the descriptors do.
void declare(FileDescriptor& fd, const char* name, const char* label, void* buffer, std::uint32_t length,
             std::vector<FieldDescriptor> members, std::vector<KeyDescriptor> keys) {
  fd.driver = &files::kestrel_driver();
  fd.name = files::TextSource(name);
  fd.attributes = files::attr::CREATE;
  fd.label = label;
  fd.record = static_cast<std::uint8_t*>(buffer);
  fd.record_length = length;
  fd.fields.push_back(field(FieldType::GROUP, length, ""));
  for (auto& m : members) fd.fields.push_back(std::move(m));
  fd.fields.push_back(field(FieldType::END, 0, ""));
  fd.keys = std::move(keys);
  fd.link_keys();
}

}  // namespace

FileDescriptor Translations;
FileDescriptor TransTables;
FileDescriptor Commands;

namespace {

// The declarations are made once, before main, in this order after the
// buffers and descriptors above (one translation unit: in order).
const bool g_declared = [] {
  declare(Translations, "TRANSLAT", "Translations", &TRA, sizeof TRA,
          {field(FieldType::LONG, 4, "TRA:TRANSLATIONTABLEID"), field(FieldType::LONG, 4, "TRA:ASCIINR"),
           field(FieldType::STRING, 2, "TRA:CHARACTER"), field(FieldType::STRING, 10, "TRA:HTMLCHARS")},
          {key("TRA:CHARACTERSKEY", {{1, false}, {3, false}}, key_flag::OPT | key_flag::PRIMARY)});
  declare(TransTables, "TRANSTAB", "TransTables", &TTB, sizeof TTB,
          {field(FieldType::LONG, 4, "TTB:IDNR"), field(FieldType::STRING, 20, "TTB:NAME")},
          {key("TTB:TRANSTABLEKEY", {{1, false}}, key_flag::OPT | key_flag::NOCASE | key_flag::PRIMARY),
           key("TTB:TABLENAMEKEY", {{2, false}}, key_flag::DUP | key_flag::OPT | key_flag::NOCASE)});
  declare(Commands, "COMMANDS", "Commands", &COM, sizeof COM, {field(FieldType::STRING, 40, "COM:COMMANDSTRING")},
          {key("COM:COMMANDKEY", {{1, false}}, key_flag::OPT | key_flag::NOCASE | key_flag::PRIMARY)});
  clear_record_buffers();
  return true;
}();

}  // namespace

files::KeyDescriptor& TRA_CHARACTERSKEY() { return Translations.keys[0]; }
files::KeyDescriptor& TTB_TRANSTABLEKEY() { return TransTables.keys[0]; }
files::KeyDescriptor& TTB_TABLENAMEKEY() { return TransTables.keys[1]; }
files::KeyDescriptor& COM_COMMANDKEY() { return Commands.keys[0]; }

void clear(TranslationsRecord& r) {
  r.translationtableid = 0;
  r.asciinr = 0;
  set_field(r.character, "");
  set_field(r.htmlchars, "");
}
void clear(TransTablesRecord& r) {
  r.idnr = 0;
  set_field(r.name, "");
}
void clear(CommandsRecord& r) { set_field(r.commandstring, ""); }

void clear_record_buffers() {
  clear(TRA);
  clear(TTB);
  clear(COM);
}

std::int32_t& usage_count(const files::FileDescriptor& file) {
  if (&file == &Commands) return usage.commands;
  if (&file == &TransTables) return usage.transtables;
  return usage.translations;
}

std::string_view label_of(const files::FileDescriptor& file) { return file.label; }

}  // namespace dictionary
