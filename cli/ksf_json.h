// The mapping of a keyed table's definition and records to and from JSON,
// in the shape `markfit ksf dump --json` writes and `markfit ksf load` reads
// (`markfit ksf --help` documents it).
//
// A table's layout in JSON mirrors its declaration (files::FileDescriptor):
// the members of the record GROUP in order, groups nesting their members,
// END implied. Offsets are not written: they follow from the layout, as they
// do when a program declares the file. Text is Windows-1252 in the record
// and UTF-8 in the JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/json_document.h"
#include "files/driver/descriptors.h"

namespace cli {

// Where each field of a declaration lies: the driver's walk of the
// declaration (offsets run on within a GROUP, an OVER field starts where the
// field it overlays starts, a GROUP without a size takes its members'),
// repeated here so that a JSON record can be checked and turned into an
// image before anything is written. Checked against the driver's own table
// once the file is open.
struct Slot {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;  // one element
  std::uint32_t elements = 1;
};

// A table's layout, worked out once: where each field lies, each GROUP's
// members (index 0 is the record) and each field's name as JSON text.
struct Layout {
  std::vector<Slot> slots;
  std::vector<std::vector<std::size_t>> members;
  std::vector<std::string> labels;
};

Layout make_layout(const files::FileDescriptor& f);

// A sound layout shows at most one value per byte of its record (each
// element takes at least one byte, and overlays are left out); a damaged
// one, with groups of many elements nested in each other, could make a dump
// or a load run practically for ever. Allow some slack, refuse the rest.
bool layout_is_sound(const files::FileDescriptor& f, const Layout& l);

// The members of the GROUP at descriptor index `g`, by descriptor index.
std::vector<std::size_t> members_of(const files::FileDescriptor& f, std::size_t g);

// Windows-1252 bytes as UTF-8 text.
std::string text_of(const std::string& ansi);

// --- Definition and record to JSON ---

json::Json layout_fields_json(const files::FileDescriptor& f);
json::Json keys_json(const files::FileDescriptor& f);
json::Json memos_json(const files::FileDescriptor& f);

// The record buffer (f.record) and memo buffers as one JSON object.
json::Json record_json(const files::FileDescriptor& f, const Layout& layout);

// --- JSON to definition and record ---

// A problem with the JSON; `where` is its place ("tables[0].records[3]").
struct InputError {
  std::string where;
  std::string message;
};

// Fills *f with the declaration a table of the JSON describes (everything
// but its records), *name and *oem with its name and OEM flag. `where` is
// the table's place in the JSON. False with *error set when the JSON does not
// make a sound declaration.
bool table_from_json(const json::Json& table, const std::string& where, files::FileDescriptor* f,
                     std::string* name, bool* oem, InputError* error);

// Turns one JSON record of the table declared by `f` into a record image
// and memo contents. False with *error set when the record does not fit the
// layout.
bool record_from_json(const files::FileDescriptor& f, const Layout& layout, const json::Json& record,
                      const std::string& where, std::vector<std::uint8_t>* image,
                      std::vector<std::vector<std::uint8_t>>* memos, InputError* error);

}  // namespace cli
