// Between a program's declaration of a file (files/driver descriptors) and
// the definition stream a table keeps in the file.
//
// The record itself is not a field: the definition's fields are the record
// GROUP's members in declaration order, nested GROUPs and their members
// included, END entries left out. Each field's enclosing-field word holds the
// 1-based number (in the definition's field list) of the GROUP it lies in,
// or, for a field declared OVER another outside any group, of the field it
// overlays; 0 for the plain fields of the record. Such fields take no part in
// OEM conversion, so no byte is ever converted twice. The field attribute
// word carries kAttributeOver for an OVER field, and kAttributeOverlays when
// the enclosing word names the overlaid field rather than a group.
//
// Dynamic indexes (components given at build time) are not part of the
// definition: they belong to the running program, not to the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files/driver/control_block.h"
#include "files/driver/descriptors.h"
#include "files/kestrel/format.h"

namespace files::kestrel {

inline constexpr std::uint16_t kAttributeOver = 0x0001;
inline constexpr std::uint16_t kAttributeOverlays = 0x0002;

// The definition the declaration describes, with offsets from the dispatch's
// field table. key_map receives, per declared key, its number in the
// definition (0-based) or -1 for a dynamic index. Returns 0, or 47 when the
// declaration cannot be stored: a key component that names no field (or an
// END), too many fields, keys or components for the stream, a record too
// long for a data record, a key value too long for an index entry.
int definition_from_declaration(const FileDescriptor& file, const FileControlBlock& fcb, Definition* out,
                                std::vector<int>* key_map);

// Fills an undeclared file's fields, keys, memos and record length from a
// stored definition (the layout-from-file open). The record GROUP is labelled
// with the table name. A record buffer the program did not give is made in
// file->owned_record. Requires check_definition to have passed.
void declaration_from_definition(const Definition& def, const std::string& table, FileDescriptor* file);

// The key flag byte of a declared key, and whether the key's index entries
// carry the record number in their key part (DUP, and every INDEX).
std::uint8_t stored_key_flags(const KeyDescriptor& key);
inline bool entries_have_duplicates(const KeyDef& key) {
  return key.flags & (layout::kKeyFlagDup | layout::kKeyFlagIndex);
}

}  // namespace files::kestrel
