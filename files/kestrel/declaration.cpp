#include "files/kestrel/declaration.h"

#include <algorithm>
#include <limits>

namespace files::kestrel {
namespace {

constexpr int kBadDeclaration = 47;
constexpr std::size_t kStreamLimit = std::numeric_limits<std::uint16_t>::max();

bool is_decimal(FieldType t) { return t == FieldType::DECIMAL || t == FieldType::PDECIMAL; }

DefString optional_text(const std::string& s) {
  if (s.empty()) return std::nullopt;
  return s;
}

}  // namespace

std::uint8_t stored_key_flags(const KeyDescriptor& key) {
  std::uint8_t flags = 0;
  if (key.flags & key_flag::DUP) flags |= layout::kKeyFlagDup;
  if (key.flags & key_flag::OPT) flags |= layout::kKeyFlagOpt;
  if (key.flags & key_flag::NOCASE) flags |= layout::kKeyFlagNocase;
  if (key.flags & key_flag::PRIMARY) flags |= layout::kKeyFlagPrimary;
  if (key.flags & key_flag::INDEX) flags |= layout::kKeyFlagIndex;
  return flags;
}

int definition_from_declaration(const FileDescriptor& file, const FileControlBlock& fcb, Definition* out,
                                std::vector<int>* key_map) {
  Definition def;
  if (fcb.record_length > std::numeric_limits<std::uint16_t>::max()) return kBadDeclaration;
  def.record_length = static_cast<std::uint16_t>(fcb.record_length);
  if (file.fields.size() != fcb.field_table.size()) return kBadDeclaration;

  // Descriptor index -> definition field number (-1: the record or an END).
  std::vector<int> number(file.fields.size(), -1);
  for (std::size_t i = 1; i < file.fields.size(); ++i) {
    const FieldDescriptor& d = file.fields[i];
    const FieldEntry& e = fcb.field_table[i];
    if (d.type == FieldType::END) continue;
    if (def.fields.size() >= kStreamLimit) return kBadDeclaration;
    FieldDef f;
    f.type = static_cast<std::uint8_t>(d.type);
    const std::uint64_t length = std::uint64_t{e.size} * e.elements;
    if (e.offset > 0xFFFF || length > 0xFFFF || e.elements > 0xFFFF) return kBadDeclaration;
    f.offset = static_cast<std::uint16_t>(e.offset);
    f.name = d.label;
    f.elements = static_cast<std::uint16_t>(e.elements);
    f.length = static_cast<std::uint16_t>(length);
    if (e.parent > 0) {
      f.enclosing = static_cast<std::uint16_t>(number[static_cast<std::size_t>(e.parent)] + 1);
    } else if (d.over > 0 && number[static_cast<std::size_t>(d.over)] >= 0) {
      f.enclosing = static_cast<std::uint16_t>(number[static_cast<std::size_t>(d.over)] + 1);
      f.attribute |= kAttributeOverlays;
    }
    if (d.over >= 0) f.attribute |= kAttributeOver;
    if (is_decimal(d.type)) {
      f.digits = d.digits;
      f.places = d.places;
    }
    if (is_string_type(d.type)) {
      f.string_length = static_cast<std::uint16_t>(d.declared_length ? d.declared_length : e.size);
      f.picture = optional_text(d.picture);
    }
    number[i] = static_cast<int>(def.fields.size());
    def.fields.push_back(std::move(f));
  }

  if (file.memos.size() > kStreamLimit) return kBadDeclaration;
  for (const MemoDescriptor& m : file.memos) {
    MemoDef md;
    md.external_name = optional_text(m.name);
    md.name = m.label;
    md.length = static_cast<std::uint16_t>(std::min<std::uint32_t>(m.size, 0xFFFF));
    if (m.blob) md.flags |= layout::kMemoFlagBlob;
    if (m.binary) md.flags |= layout::kMemoFlagBinary;
    def.memos.push_back(std::move(md));
  }

  key_map->assign(file.keys.size(), -1);
  for (std::size_t k = 0; k < file.keys.size(); ++k) {
    const KeyDescriptor& key = file.keys[k];
    if (key.is_dynamic()) continue;
    if (def.keys.size() >= 0xF0) return kBadDeclaration;  // key numbers must sort below 0xF3
    KeyDef kd;
    kd.external_name = optional_text(key.name);
    kd.name = key.label;
    kd.flags = stored_key_flags(key);
    if (key.components.empty() || key.components.size() > kStreamLimit) return kBadDeclaration;
    for (const KeyComponent& c : key.components) {
      if (c.field < 0 || static_cast<std::size_t>(c.field) >= number.size()) return kBadDeclaration;
      const int n = number[static_cast<std::size_t>(c.field)];
      if (n < 0) return kBadDeclaration;
      kd.components.push_back(
          KeyComponentDef{static_cast<std::uint16_t>(n), c.descending ? layout::kComponentDescending : std::uint16_t{0}});
    }
    (*key_map)[k] = static_cast<int>(def.keys.size());
    def.keys.push_back(std::move(kd));
  }

  def.version = definition_version(def);
  if (!check_definition(def).ok()) return kBadDeclaration;
  // A data record and every index entry must fit a page of their own.
  if (layout::kDataKeySize + def.record_length > layout::kMaxRecordInPage) return kBadDeclaration;
  for (const KeyDef& k : def.keys) {
    const std::size_t key_part = 2 * layout::kNumberSize + 1 + key_value_length(def, k);
    if (key_part > layout::kMaxKeyPart) return kBadDeclaration;
  }
  *out = std::move(def);
  return 0;
}

void declaration_from_definition(const Definition& def, const std::string& table, FileDescriptor* file) {
  file->fields.clear();
  file->keys.clear();
  file->memos.clear();

  FieldDescriptor record;
  record.type = FieldType::GROUP;
  record.size = def.record_length;
  record.label = table;
  file->fields.push_back(record);

  // Definition field number -> descriptor index, and the open groups with
  // the definition number each was given.
  std::vector<int> index(def.fields.size(), -1);
  struct Open {
    std::size_t number;
  };
  std::vector<Open> groups;
  auto close_group = [&] {
    FieldDescriptor end;
    end.type = FieldType::END;
    file->fields.push_back(end);
    groups.pop_back();
  };
  for (std::size_t j = 0; j < def.fields.size(); ++j) {
    const FieldDef& f = def.fields[j];
    const bool over = f.attribute & kAttributeOver;
    // A field belongs to the group its enclosing word names; the groups
    // opened since are closed first.
    const std::size_t group = (f.attribute & kAttributeOverlays) ? 0 : f.enclosing;
    while (!groups.empty() && groups.back().number + 1 != group) close_group();
    FieldDescriptor d;
    d.type = static_cast<FieldType>(f.type);
    const std::uint32_t elements = std::max<std::uint32_t>(f.elements, 1);
    d.size = f.length / elements;
    if (elements > 1) d.dims.push_back(elements);
    d.label = f.name.value_or("");
    if (is_decimal(d.type)) {
      d.digits = f.digits;
      d.places = f.places;
    }
    if (is_string_type(d.type)) {
      if (f.picture) {
        d.picture = *f.picture;
      } else {
        d.declared_length = f.string_length;
      }
    }
    if (over) {
      // Any earlier field at the same offset gives the same place.
      for (std::size_t e = j; e-- > 0;) {
        if (def.fields[e].offset == f.offset && index[e] >= 0 && !(def.fields[e].attribute & kAttributeOver)) {
          d.over = index[e];
          break;
        }
      }
    }
    index[j] = static_cast<int>(file->fields.size());
    file->fields.push_back(std::move(d));
    if (static_cast<FieldType>(f.type) == FieldType::GROUP) groups.push_back(Open{j});
  }
  while (!groups.empty()) close_group();
  FieldDescriptor end;
  end.type = FieldType::END;
  file->fields.push_back(end);

  for (const MemoDef& m : def.memos) {
    MemoDescriptor md;
    md.blob = m.blob();
    md.binary = m.flags & layout::kMemoFlagBinary;
    md.size = m.length;
    md.name = m.external_name.value_or("");
    md.label = m.name.value_or("");
    file->memos.push_back(std::move(md));
  }

  for (const KeyDef& k : def.keys) {
    KeyDescriptor kd;
    kd.label = k.name.value_or("");
    kd.name = k.external_name.value_or("");
    if (k.flags & layout::kKeyFlagDup) kd.flags |= key_flag::DUP;
    if (k.flags & layout::kKeyFlagOpt) kd.flags |= key_flag::OPT;
    if (k.flags & layout::kKeyFlagNocase) kd.flags |= key_flag::NOCASE;
    if (k.flags & layout::kKeyFlagPrimary) kd.flags |= key_flag::PRIMARY;
    if (k.flags & layout::kKeyFlagIndex) kd.flags |= key_flag::INDEX;
    for (const KeyComponentDef& c : k.components) {
      kd.components.push_back(KeyComponent{index[c.field], (c.flags & layout::kComponentDescending) != 0});
    }
    file->keys.push_back(std::move(kd));
  }
  file->link_keys();

  file->record_length = def.record_length;
  if (file->record == nullptr || file->record == file->owned_record.data()) {
    file->owned_record.assign(def.record_length, ' ');
    file->record = file->owned_record.data();
  }
}

}  // namespace files::kestrel
