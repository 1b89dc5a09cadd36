// The application's three keyed data files, declared once for the whole
// program: their descriptors on the keyed driver, their record layouts and
// keys, the one record buffer of each, and the globals the procedures share
// around them (usage counts, the saved key of the table being changed, the
// saved error state).
//
//   TransTables   "TRANSTAB"  TTB:IDNR LONG, TTB:NAME STRING(20)
//   Translations  "TRANSLAT"  TRA:TRANSLATIONTABLEID LONG, TRA:ASCIINR LONG,
//                             TRA:CHARACTER STRING(2), TRA:HTMLCHARS STRING(10)
//   Commands      "COMMANDS"  COM:COMMANDSTRING STRING(40)
//
// Keys, with their stored flag bytes:
//   TTB:TRANSTABLEKEY  TTB:IDNR                            OPT NOCASE PRIMARY  0x16
//   TTB:TABLENAMEKEY   TTB:NAME                            DUP OPT NOCASE      0x07
//   TRA:CHARACTERSKEY  TRA:TRANSLATIONTABLEID, TRA:CHARACTER  OPT PRIMARY      0x12
//   COM:COMMANDKEY     COM:COMMANDSTRING                   OPT NOCASE PRIMARY  0x16
//
// The files carry the CREATE attribute (the program makes a missing file)
// and nothing else: no OEM text, no encipherment. The names have no path, so
// the files live in the current directory, "TRANSLAT.KSF" and so on.
//
// No Qt here: the command line's conversion uses these declarations too.
// Everything is for the UI thread (or the one thread of a command).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "files/driver/descriptors.h"

namespace dictionary {

// The record buffers. Strings are blank-padded, never NUL-terminated.
struct TranslationsRecord {
  std::int32_t translationtableid;
  std::int32_t asciinr;
  char character[2];
  char htmlchars[10];
};
struct TransTablesRecord {
  std::int32_t idnr;
  char name[20];
};
struct CommandsRecord {
  char commandstring[40];
};
static_assert(sizeof(TranslationsRecord) == 20);
static_assert(sizeof(TransTablesRecord) == 24);
static_assert(sizeof(CommandsRecord) == 40);

// The one record buffer of each file, named by the file's prefix:
// TRA.htmlchars is TRA:HTMLCHARS.
extern TranslationsRecord TRA;
extern TransTablesRecord TTB;
extern CommandsRecord COM;

// The files (labels "Translations", "TransTables", "Commands").
extern files::FileDescriptor Translations;
extern files::FileDescriptor TransTables;
extern files::FileDescriptor Commands;

// The keys.
files::KeyDescriptor& TRA_CHARACTERSKEY();
files::KeyDescriptor& TTB_TRANSTABLEKEY();
files::KeyDescriptor& TTB_TABLENAMEKEY();
files::KeyDescriptor& COM_COMMANDKEY();

// CLEAR of one record buffer: strings to blanks, numbers to 0.
void clear(TranslationsRecord& r);
void clear(TransTablesRecord& r);
void clear(CommandsRecord& r);
// The module set-up's part: all three buffers cleared.
void clear_record_buffers();

// A blank-padded string field from a text: cut to the field, padded with
// blanks. And back: the field's text without its trailing blanks.
template <std::size_t N>
void set_field(char (&field)[N], std::string_view text) {
  const std::size_t n = text.size() < N ? text.size() : N;
  std::memcpy(field, text.data(), n);
  std::memset(field + n, ' ', N - n);
}
template <std::size_t N>
std::string field_text(const char (&field)[N]) {
  std::size_t n = N;
  while (n > 0 && field[n - 1] == ' ') --n;
  return std::string(field, n);
}
// The field's whole content, blanks included.
template <std::size_t N>
std::string_view field_bytes(const char (&field)[N]) {
  return std::string_view(field, N);
}

// How many procedures hold each file open (see use.h in the application
// for the open on demand). 0 means closed.
struct UsageCounts {
  std::int32_t commands = 0;
  std::int32_t transtables = 0;
  std::int32_t translations = 0;
};
extern UsageCounts usage;
// The count of one of the three files.
std::int32_t& usage_count(const files::FileDescriptor& file);

// TTB:IDNR as it was when the table form opened for a change.
extern std::int32_t saved_table_key;

// The state of the last failed file operation inside a transaction, kept
// by the error keeper for the message that reports it; code 0: nothing.
struct SavedError {
  std::int32_t code = 0;
  std::string text;           // the runtime's text for the code, at most 255 characters
  std::int32_t file_code = 0; // the driver's own code (meaningful for 90)
  std::string file_text;      // the driver's own text, at most 255 characters
  std::string file_name;      // the file the failure was on
};
extern SavedError saved_error;

// The label the application shows for a file ("Translations", ...).
std::string_view label_of(const files::FileDescriptor& file);

}  // namespace dictionary
