#include "cli/ksf_json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace cli {

using files::FieldDescriptor;
using files::FieldType;
using files::FileDescriptor;
using json::Json;

namespace {

// A string's text; empty for anything else.
const std::string& text(const Json& v) {
  static const std::string none;
  return v.is_string() ? v.get_ref<const std::string&>() : none;
}

// --- Layouts ---------------------------------------------------------------------

std::vector<Slot> layout_slots(const FileDescriptor& f) {
  std::vector<Slot> slots(f.fields.size());
  struct Open {
    std::size_t index;
    std::uint64_t start;
    std::uint64_t cursor;
  };
  std::vector<Open> stack;
  std::uint64_t top = 0;
  for (std::size_t i = 0; i < f.fields.size(); ++i) {
    const FieldDescriptor& d = f.fields[i];
    Slot& s = slots[i];
    s.size = d.size;
    s.elements = d.element_count();
    std::uint64_t& cursor = stack.empty() ? top : stack.back().cursor;
    if (d.type == FieldType::END) {
      if (stack.empty()) continue;
      const Open closed = stack.back();
      stack.pop_back();
      Slot& g = slots[closed.index];
      if (g.size == 0) g.size = static_cast<std::uint32_t>(closed.cursor - closed.start);
      std::uint64_t& outer = stack.empty() ? top : stack.back().cursor;
      if (f.fields[closed.index].over < 0) outer = g.offset + std::uint64_t{g.size} * g.elements;
      s.offset = static_cast<std::uint32_t>(std::min<std::uint64_t>(outer, UINT32_MAX));
      continue;
    }
    s.offset = d.over >= 0 && static_cast<std::size_t>(d.over) < i ? slots[static_cast<std::size_t>(d.over)].offset
                                                                     : static_cast<std::uint32_t>(cursor);
    if (d.type == FieldType::GROUP) {
      stack.push_back(Open{i, s.offset, s.offset});
      continue;
    }
    if (d.over < 0) cursor = s.offset + std::uint64_t{s.size} * s.elements;
  }
  return slots;
}

// Index just past the END that closes the GROUP at `g` (or the end).
std::size_t after_group(const FileDescriptor& f, std::size_t g) {
  int depth = 0;
  for (std::size_t i = g; i < f.fields.size(); ++i) {
    if (f.fields[i].type == FieldType::GROUP) ++depth;
    if (f.fields[i].type == FieldType::END && --depth == 0) return i + 1;
  }
  return f.fields.size();
}

// The bytes of one element that its type gives, when it gives them.
std::optional<std::uint32_t> natural_size(const FieldDescriptor& d) {
  switch (d.type) {
    case FieldType::BYTE: return 1;
    case FieldType::SHORT:
    case FieldType::USHORT: return 2;
    case FieldType::DATE:
    case FieldType::TIME:
    case FieldType::LONG:
    case FieldType::ULONG:
    case FieldType::SREAL: return 4;
    case FieldType::REAL: return 8;
    case FieldType::DECIMAL:
    case FieldType::PDECIMAL: return d.digits / 2 + 1;
    case FieldType::STRING:
    case FieldType::CSTRING:
    case FieldType::PSTRING:
      if (d.declared_length != 0) return d.declared_length;
      return std::nullopt;
    default: return std::nullopt;
  }
}

// The span of a GROUP's members as the layout walk makes it.
std::uint32_t members_span(const FileDescriptor& f, std::size_t g) {
  std::uint64_t n = 0;
  for (std::size_t m : members_of(f, g)) {
    const FieldDescriptor& d = f.fields[m];
    if (d.over >= 0) continue;
    const std::uint64_t one = d.type == FieldType::GROUP && d.size == 0 ? members_span(f, m) : d.size;
    n += one * d.element_count();
  }
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(n, UINT32_MAX));
}

// How many values a record shows: every element of every field and group,
// through the nesting. Saturates just above `cap`.
std::uint64_t layout_values(const FileDescriptor& f, const Layout& l, std::size_t g, std::uint64_t cap) {
  std::uint64_t n = 0;
  for (std::size_t m : l.members[g]) {
    if (f.fields[m].over >= 0) continue;
    const std::uint64_t each = f.fields[m].type == FieldType::GROUP ? 1 + layout_values(f, l, m, cap) : 1;
    n += std::min<std::uint64_t>(cap + 1, each * f.fields[m].element_count());
    if (n > cap) return cap + 1;
  }
  return n;
}

// The field types a data file can hold (the driver's list, less the memo
// kinds, which are not fields here).
const std::vector<FieldType>& record_field_types() {
  static const std::vector<FieldType> types = {
      FieldType::BYTE,  FieldType::SHORT, FieldType::USHORT,  FieldType::DATE,   FieldType::TIME,
      FieldType::LONG,  FieldType::ULONG, FieldType::SREAL,   FieldType::REAL,   FieldType::DECIMAL,
      FieldType::STRING, FieldType::CSTRING, FieldType::PSTRING, FieldType::GROUP};
  return types;
}

std::optional<FieldType> type_named(std::string_view name) {
  for (FieldType t : record_field_types()) {
    if (files::field_type_name(t) == name) return t;
  }
  return std::nullopt;
}


Json field_json(const FileDescriptor& f, std::size_t i) {
  const FieldDescriptor& d = f.fields[i];
  Json v = Json::object();
  v["name"] = Json(text_of(d.label));
  v["type"] = Json(std::string(files::field_type_name(d.type)));
  if (files::is_string_type(d.type)) {
    if (!d.picture.empty()) {
      v["picture"] = Json(text_of(d.picture));
    } else {
      v["length"] = Json(d.declared_length);
    }
  }
  if (d.type == FieldType::DECIMAL || d.type == FieldType::PDECIMAL) {
    v["digits"] = Json(unsigned{d.digits});
    v["places"] = Json(unsigned{d.places});
  }
  if (!d.dims.empty()) {
    Json dims = Json::array();
    for (std::uint32_t n : d.dims) dims.push_back(Json(n));
    v["dim"] = std::move(dims);
  }
  if (d.over >= 0 && static_cast<std::size_t>(d.over) < f.fields.size()) {
    v["over"] = Json(text_of(f.fields[static_cast<std::size_t>(d.over)].label));
  }
  if (d.type == FieldType::GROUP) {
    if (d.size != 0 && d.size != members_span(f, i)) v["size"] = Json(d.size);
    Json members = Json::array();
    for (std::size_t m : members_of(f, i)) members.push_back(field_json(f, m));
    v["fields"] = std::move(members);
  } else if (natural_size(d) != d.size) {
    v["size"] = Json(d.size);
  }
  return v;
}

// --- Record values ------------------------------------------------------------------

template <class T>
T load_le(const std::uint8_t* p) {
  T v{};
  std::memcpy(&v, p, sizeof v);  // the record image is little-endian, as is every machine we build for
  return v;
}

template <class T>
void store_le(std::uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

Json bytes_value(const std::uint8_t* p, std::size_t n) {
  Json v = Json::object();
  v["bytes"] = Json(json::base64_encode(std::string_view(reinterpret_cast<const char*>(p), n)));
  return v;
}

// A packed DECIMAL as exact decimal text; nullopt when a nibble is not a
// digit or the sign is neither 0 nor F.
std::optional<std::string> decimal_text(const std::uint8_t* p, std::size_t n, unsigned places) {
  const unsigned sign = p[0] >> 4;
  if (sign != 0 && sign != 0xF) return std::nullopt;
  std::string digits;
  for (std::size_t k = 1; k < 2 * n; ++k) {
    const unsigned nibble = k % 2 ? (p[k / 2] & 0x0F) : (p[k / 2] >> 4);
    if (nibble > 9) return std::nullopt;
    digits.push_back(static_cast<char>('0' + nibble));
  }
  if (digits.size() <= places) digits.insert(0, places + 1 - digits.size(), '0');
  std::string whole = digits.substr(0, digits.size() - places);
  const std::string fraction = digits.substr(digits.size() - places);
  const std::size_t first = whole.find_first_not_of('0');
  whole = first == std::string::npos ? "0" : whole.substr(first);
  std::string text = (sign == 0xF ? "-" : "") + whole;
  if (places) text += "." + fraction;
  return text;
}

// The shortest text that reads back as the same value.
template <class Real>
Json real_value(Real x) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, x);
  return json::number_text(std::string(buf, r.ptr));
}

Json scalar_value(const FieldDescriptor& d, const std::uint8_t* p, std::uint32_t size) {
  if (natural_size(d) != size && !files::is_string_type(d.type)) return bytes_value(p, size);
  switch (d.type) {
    case FieldType::BYTE: return Json(unsigned{p[0]});
    case FieldType::SHORT: return Json(int{load_le<std::int16_t>(p)});
    case FieldType::USHORT: return Json(unsigned{load_le<std::uint16_t>(p)});
    case FieldType::LONG: return Json(std::int64_t{load_le<std::int32_t>(p)});
    case FieldType::DATE:
    case FieldType::TIME:
    case FieldType::ULONG: return Json(std::uint64_t{load_le<std::uint32_t>(p)});
    case FieldType::SREAL: {
      const float x = load_le<float>(p);
      return std::isfinite(x) ? real_value(x) : bytes_value(p, size);
    }
    case FieldType::REAL: {
      const double x = load_le<double>(p);
      return std::isfinite(x) ? real_value(x) : bytes_value(p, size);
    }
    case FieldType::DECIMAL: {
      auto text = decimal_text(p, size, d.places);
      return text ? json::number_text(*text) : bytes_value(p, size);
    }
    case FieldType::STRING:
      return Json(text_of(std::string(reinterpret_cast<const char*>(p), size)));
    case FieldType::CSTRING: {
      const void* nul = std::memchr(p, 0, size);
      const std::size_t n = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - p) : size;
      return Json(text_of(std::string(reinterpret_cast<const char*>(p), n)));
    }
    case FieldType::PSTRING: {
      if (size == 0) return Json("");
      const std::size_t n = std::min<std::size_t>(p[0], size - 1);
      return Json(text_of(std::string(reinterpret_cast<const char*>(p + 1), n)));
    }
    default: return bytes_value(p, size);
  }
}

struct ImageView {
  const FileDescriptor& f;
  const Layout& layout;
  const std::uint8_t* image;
  std::size_t length;
};

Json group_value(const ImageView& v, std::size_t g, std::uint64_t shift);

Json element_value(const ImageView& v, std::size_t i, std::uint64_t shift, std::uint32_t k) {
  const Slot& s = v.layout.slots[i];
  const std::uint64_t at = shift + s.offset + std::uint64_t{k} * s.size;
  if (v.f.fields[i].type == FieldType::GROUP) return group_value(v, i, shift + std::uint64_t{k} * s.size);
  if (at + s.size > v.length) return Json();
  return scalar_value(v.f.fields[i], v.image + at, s.size);
}

// Nested arrays, one level per dimension, elements in row-major order.
Json array_value(const ImageView& v, std::size_t i, std::uint64_t shift, std::size_t level, std::uint32_t* next) {
  const std::vector<std::uint32_t>& dims = v.f.fields[i].dims;
  Json a = Json::array();
  for (std::uint32_t n = 0; n < dims[level]; ++n) {
    if (level + 1 == dims.size()) {
      a.push_back(element_value(v, i, shift, (*next)++));
    } else {
      a.push_back(array_value(v, i, shift, level + 1, next));
    }
  }
  return a;
}

Json field_value(const ImageView& v, std::size_t i, std::uint64_t shift) {
  if (v.f.fields[i].dims.empty()) return element_value(v, i, shift, 0);
  std::uint32_t next = 0;
  return array_value(v, i, shift, 0, &next);
}

Json group_value(const ImageView& v, std::size_t g, std::uint64_t shift) {
  Json obj = Json::object();
  for (std::size_t m : v.layout.members[g]) {
    if (v.f.fields[m].over >= 0) continue;
    obj[v.layout.labels[m]] = field_value(v, m, shift);
  }
  return obj;
}

std::string trimmed(const std::vector<std::uint8_t>& b) {
  std::size_t n = b.size();
  while (n > 0 && b[n - 1] == ' ') --n;
  return std::string(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
}

class LayoutReader {
 public:
  explicit LayoutReader(std::string where) : where_(std::move(where)) {}
  const std::optional<InputError>& error() const { return error_; }

  bool fail(const std::string& where, const std::string& message) {
    if (!error_) error_ = InputError{where, message};
    return false;
  }

  // Text member `name` of `v` as Windows-1252 bytes.
  bool ansi(const Json& v, const std::string& where, std::string* out) {
    if (!v.is_string()) return fail(where, "a string is expected");
    char32_t bad = 0;
    auto a = json::utf8_to_windows1252(text(v), &bad);
    if (!a) return fail(where, "the character " + json::character_name(bad) + " has no Windows-1252 byte");
    *out = std::move(*a);
    return true;
  }

  bool unsigned_member(const Json& obj, const char* name, const std::string& where, std::uint64_t limit,
                       std::optional<std::uint32_t>* out) {
    const Json* v = json::member(obj, name);
    if (!v) return true;
    auto n = json::as_int64(*v);
    if (!n || *n < 0 || static_cast<std::uint64_t>(*n) > limit) {
      return fail(where + "." + name, "a whole number from 0 to " + std::to_string(limit) + " is expected");
    }
    *out = static_cast<std::uint32_t>(*n);
    return true;
  }

  bool flag(const Json& obj, const char* name, const std::string& where, bool* out) {
    const Json* v = json::member(obj, name);
    if (!v) {
      *out = false;
      return true;
    }
    if (!v->is_boolean()) return fail(where + "." + name, "true or false is expected");
    *out = v->get<bool>();
    return true;
  }

  bool only_members(const Json& obj, const std::string& where, std::initializer_list<const char*> allowed) {
    for (auto m = obj.begin(); m != obj.end(); ++m) {
      if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return m.key() == a; })) {
        return fail(where, "unknown member \"" + m.key() + "\"");
      }
    }
    return true;
  }

  // Appends the field `v` (and, for a GROUP, its members and END) to f.
  bool field(const Json& v, const std::string& where, FileDescriptor* f, int depth) {
    if (!v.is_object()) return fail(where, "a field object is expected");
    if (!only_members(v, where, {"name", "type", "length", "picture", "digits", "places", "dim", "over", "size",
                                 "fields"})) {
      return false;
    }
    FieldDescriptor d;
    const Json* name = json::member(v, "name");
    if (!name) return fail(where, "\"name\" is missing");
    if (!ansi(*name, where + ".name", &d.label)) return false;
    if (d.label.empty()) return fail(where + ".name", "a field needs a name");
    const Json* type = json::member(v, "type");
    if (!type || !type->is_string()) return fail(where, "\"type\" is missing");
    auto t = type_named(text(*type));
    if (!t) return fail(where + ".type", "\"" + text(*type) + "\" is not a field type a data file can hold");
    d.type = *t;
    std::optional<std::uint32_t> length, digits, places, size;
    if (!unsigned_member(v, "length", where, 0xFFFF, &length) || !unsigned_member(v, "digits", where, 31, &digits) ||
        !unsigned_member(v, "places", where, 31, &places) || !unsigned_member(v, "size", where, 0xFFFF, &size)) {
      return false;
    }
    const bool is_string = files::is_string_type(d.type);
    const bool is_decimal = d.type == FieldType::DECIMAL;
    if (json::member(v, "picture")) {
      if (!is_string) return fail(where + ".picture", "only string fields have a picture");
      if (!ansi(*json::member(v, "picture"), where + ".picture", &d.picture)) return false;
      if (d.picture.empty()) return fail(where + ".picture", "an empty picture");
      if (!size) return fail(where, "a string declared by picture needs \"size\"");
    }
    if (length && !is_string) return fail(where + ".length", "only string fields have a length");
    if (is_string && !length && d.picture.empty()) return fail(where, "a string field needs \"length\" or \"picture\"");
    if (is_string && length && !d.picture.empty()) return fail(where, "\"length\" and \"picture\" exclude each other");
    if ((digits || places) && !is_decimal) return fail(where, "only DECIMAL fields have digits and places");
    if (is_decimal) {
      if (!digits || !places) return fail(where, "a DECIMAL needs \"digits\" and \"places\"");
      if (*places > *digits) return fail(where + ".places", "more places than digits");
      d.digits = static_cast<std::uint8_t>(*digits);
      d.places = static_cast<std::uint8_t>(*places);
    }
    if (length) d.declared_length = *length;
    if (const Json* dims = json::member(v, "dim")) {
      if (!dims->is_array() || dims->empty() || dims->size() > files::kMaxDimensions) {
        return fail(where + ".dim", "an array of 1 to " + std::to_string(files::kMaxDimensions) + " sizes is expected");
      }
      std::uint64_t product = 1;
      for (const Json& n : *dims) {
        auto k = json::as_int64(n);
        if (!k || *k < 1 || *k > 0xFFFF) return fail(where + ".dim", "each size must be from 1 to 65535");
        d.dims.push_back(static_cast<std::uint32_t>(*k));
        product *= static_cast<std::uint64_t>(*k);
      }
      if (product > 0xFFFF) return fail(where + ".dim", "more than 65535 elements");
    }
    if (const Json* over = json::member(v, "over")) {
      std::string target;
      if (!ansi(*over, where + ".over", &target)) return false;
      for (std::size_t i = f->fields.size(); i-- > 1;) {
        if (f->fields[i].label == target && f->fields[i].type != FieldType::END) {
          d.over = static_cast<int>(i);
          break;
        }
      }
      if (d.over < 0) return fail(where + ".over", "no earlier field is named \"" + text(*over) + "\"");
    }
    if (d.type == FieldType::GROUP) {
      if (depth >= 100) return fail(where, "groups nested too deep");
      d.size = size.value_or(0);
      const Json* members = json::member(v, "fields");
      if (!members || !members->is_array()) return fail(where, "a GROUP lists its members in \"fields\"");
      f->fields.push_back(d);
      const std::size_t g = f->fields.size() - 1;
      for (std::size_t k = 0; k < members->size(); ++k) {
        if (!field((*members)[k], where + ".fields[" + std::to_string(k) + "]", f, depth + 1)) return false;
      }
      FieldDescriptor end;
      end.type = FieldType::END;
      f->fields.push_back(end);
      if (d.size != 0 && d.size < members_span(*f, g)) return fail(where + ".size", "smaller than its members");
      return true;
    }
    if (json::member(v, "fields")) return fail(where + ".fields", "only a GROUP has members");
    d.size = size ? *size : natural_size(d).value_or(0);
    if (d.size == 0) return fail(where, "a field of no bytes");
    if (d.type == FieldType::PSTRING && d.size > 256) return fail(where, "a PSTRING holds at most 256 bytes");
    f->fields.push_back(d);
    return true;
  }

  // The table's declaration from its JSON (everything but the records).
  bool table(const Json& t, FileDescriptor* f, std::string* name, bool* oem) {
    if (!t.is_object()) return fail(where_, "a table object is expected");
    if (!only_members(t, where_, {"name", "oem", "fields", "keys", "memos", "records"})) return false;
    const Json* n = json::member(t, "name");
    if (!n) return fail(where_, "\"name\" is missing");
    if (!ansi(*n, where_ + ".name", name)) return false;
    if (name->empty() || name->find("\\!") != std::string::npos || name->find('\0') != std::string::npos) {
      return fail(where_ + ".name", "not a table name");
    }
    if (!flag(t, "oem", where_, oem)) return false;

    FieldDescriptor record;
    record.type = FieldType::GROUP;
    record.label = *name;
    f->fields.push_back(record);
    const Json* fields = json::member(t, "fields");
    if (!fields || !fields->is_array() || fields->empty()) {
      return fail(where_ + ".fields", "a table needs at least one field");
    }
    for (std::size_t k = 0; k < fields->size(); ++k) {
      if (!field((*fields)[k], where_ + ".fields[" + std::to_string(k) + "]", f, 1)) return false;
    }
    FieldDescriptor end;
    end.type = FieldType::END;
    f->fields.push_back(end);
    const std::vector<Slot> slots = layout_slots(*f);
    const std::uint64_t length = std::uint64_t{slots[0].size};
    if (length == 0 || length > 0xFFFF) return fail(where_ + ".fields", "the record must hold 1 to 65535 bytes");
    f->record_length = static_cast<std::uint32_t>(length);
    f->fields[0].size = f->record_length;
    if (!layout_is_sound(*f, make_layout(*f))) {
      return fail(where_ + ".fields", "more elements than the record has bytes (a GROUP without members?)");
    }

    if (const Json* keys = json::member(t, "keys")) {
      if (!keys->is_array()) return fail(where_ + ".keys", "an array is expected");
      for (std::size_t k = 0; k < keys->size(); ++k) {
        if (!key((*keys)[k], where_ + ".keys[" + std::to_string(k) + "]", f)) return false;
      }
    }
    if (const Json* memos = json::member(t, "memos")) {
      if (!memos->is_array()) return fail(where_ + ".memos", "an array is expected");
      for (std::size_t k = 0; k < memos->size(); ++k) {
        if (!memo((*memos)[k], where_ + ".memos[" + std::to_string(k) + "]", f)) return false;
      }
    }
    f->link_keys();
    return true;
  }

  bool key(const Json& v, const std::string& where, FileDescriptor* f) {
    if (!v.is_object()) return fail(where, "a key object is expected");
    if (!only_members(v, where, {"name", "external", "primary", "dup", "opt", "nocase", "index", "components"})) {
      return false;
    }
    files::KeyDescriptor k;
    const Json* name = json::member(v, "name");
    if (!name) return fail(where, "\"name\" is missing");
    if (!ansi(*name, where + ".name", &k.label)) return false;
    if (const Json* ext = json::member(v, "external"); ext && !ansi(*ext, where + ".external", &k.name)) return false;
    bool primary = false, dup = false, opt = false, nocase = false, index = false;
    if (!flag(v, "primary", where, &primary) || !flag(v, "dup", where, &dup) || !flag(v, "opt", where, &opt) ||
        !flag(v, "nocase", where, &nocase) || !flag(v, "index", where, &index)) {
      return false;
    }
    if (primary) k.flags |= files::key_flag::PRIMARY;
    if (dup) k.flags |= files::key_flag::DUP;
    if (opt) k.flags |= files::key_flag::OPT;
    if (nocase) k.flags |= files::key_flag::NOCASE;
    if (index) k.flags |= files::key_flag::INDEX;
    const Json* components = json::member(v, "components");
    if (!components || !components->is_array() || components->empty()) {
      return fail(where + ".components", "a key needs at least one component");
    }
    for (std::size_t c = 0; c < components->size(); ++c) {
      const Json& cv = (*components)[c];
      const std::string at = where + ".components[" + std::to_string(c) + "]";
      if (!cv.is_object() || !only_members(cv, at, {"field", "descending"})) return fail(at, "a component object is expected");
      std::string label;
      const Json* fv = json::member(cv, "field");
      if (!fv || !ansi(*fv, at + ".field", &label)) return fail(at, "\"field\" is missing");
      files::KeyComponent kc;
      kc.field = -1;
      for (std::size_t i = 1; i < f->fields.size(); ++i) {
        if (f->fields[i].label == label && f->fields[i].type != FieldType::END) {
          kc.field = static_cast<int>(i);
          break;
        }
      }
      if (kc.field < 0) return fail(at + ".field", "no field is named \"" + text(*fv) + "\"");
      if (!flag(cv, "descending", at, &kc.descending)) return false;
      k.components.push_back(kc);
    }
    f->keys.push_back(std::move(k));
    return true;
  }

  bool memo(const Json& v, const std::string& where, FileDescriptor* f) {
    if (!v.is_object()) return fail(where, "a memo object is expected");
    if (!only_members(v, where, {"name", "external", "type", "size", "binary"})) return false;
    files::MemoDescriptor m;
    const Json* name = json::member(v, "name");
    if (!name) return fail(where, "\"name\" is missing");
    if (!ansi(*name, where + ".name", &m.label)) return false;
    if (const Json* ext = json::member(v, "external"); ext && !ansi(*ext, where + ".external", &m.name)) return false;
    const Json* type = json::member(v, "type");
    if (!type || !type->is_string() || (text(*type) != "MEMO" && text(*type) != "BLOB")) {
      return fail(where + ".type", "\"MEMO\" or \"BLOB\" is expected");
    }
    m.blob = text(*type) == "BLOB";
    std::optional<std::uint32_t> size;
    if (!unsigned_member(v, "size", where, 0xFFFF, &size)) return false;
    if (!m.blob && (!size || *size == 0)) return fail(where, "a MEMO needs its \"size\"");
    m.size = size.value_or(0);
    if (!flag(v, "binary", where, &m.binary)) return false;
    f->memos.push_back(std::move(m));
    return true;
  }

 private:
  std::string where_;
  std::optional<InputError> error_;
};

// Turns a JSON record into a record image and memo contents.
class RecordWriter {
 public:
  RecordWriter(const FileDescriptor& f, const Layout& layout) : f_(f), layout_(layout), slots_(layout.slots) {}

  // False with *error set when the record does not fit the layout.
  bool make(const Json& rec, const std::string& where, std::vector<std::uint8_t>* image,
            std::vector<std::vector<std::uint8_t>>* memos, InputError* error) {
    where_ = where;
    error_ = error;
    image_ = image;
    image->assign(f_.record_length, 0);
    if (!rec.is_object()) return fail(where, "a record object is expected");
    // Every member must name a field of the record or a memo.
    for (auto member = rec.begin(); member != rec.end(); ++member) {
      const std::string& name = member.key();
      bool known = false;
      for (std::size_t m : layout_.members[0]) known = known || (f_.fields[m].over < 0 && layout_.labels[m] == name);
      for (const files::MemoDescriptor& m : f_.memos) known = known || text_of(m.label) == name;
      if (!known) return fail(where, "no field or memo is named \"" + name + "\"");
    }
    if (!group(rec, 0, 0, where)) return false;
    memos->assign(f_.memos.size(), {});
    for (std::size_t m = 0; m < f_.memos.size(); ++m) {
      const files::MemoDescriptor& md = f_.memos[m];
      const Json* v = json::member(rec, text_of(md.label));
      if (!v) continue;
      const std::string at = where + "." + text_of(md.label);
      if (!v->is_string()) return fail(at, "a string is expected");
      std::optional<std::string> bytes;
      if (md.blob || md.binary) {
        bytes = json::base64_decode(text(*v));
        if (!bytes) return fail(at, "base64 is expected");
      } else {
        char32_t bad = 0;
        bytes = json::utf8_to_windows1252(text(*v), &bad);
        if (!bytes) return fail(at, "the character " + json::character_name(bad) + " has no Windows-1252 byte");
      }
      if (!md.blob && bytes->size() > md.size) {
        return fail(at, std::to_string(bytes->size()) + " bytes, the memo holds " + std::to_string(md.size));
      }
      (*memos)[m].assign(bytes->begin(), bytes->end());
    }
    return true;
  }

 private:
  bool fail(const std::string& where, const std::string& message) {
    *error_ = InputError{where, message};
    return false;
  }

  std::uint8_t* at(std::size_t i, std::uint64_t shift, std::uint32_t k, const std::string& where, bool* ok) {
    const Slot& s = slots_[i];
    const std::uint64_t off = shift + s.offset + std::uint64_t{k} * s.size;
    if (off + s.size > image_->size()) {
      *ok = fail(where, "the field lies outside the record");
      return nullptr;
    }
    return image_->data() + off;
  }

  bool group(const Json& obj, std::size_t g, std::uint64_t shift, const std::string& where) {
    if (!obj.is_object()) return fail(where, "an object is expected");
    for (auto member = obj.begin(); member != obj.end(); ++member) {
      const std::string& name = member.key();
      bool known = g == 0;  // the record's own members were checked with the memos
      for (std::size_t m : layout_.members[g]) known = known || (f_.fields[m].over < 0 && layout_.labels[m] == name);
      if (!known) return fail(where, "no member is named \"" + name + "\"");
    }
    for (std::size_t m : layout_.members[g]) {
      if (f_.fields[m].over >= 0) continue;
      const std::string& label = layout_.labels[m];
      if (!field(json::member(obj, label), m, shift, where + "." + label)) return false;
    }
    return true;
  }

  bool field(const Json* v, std::size_t i, std::uint64_t shift, const std::string& where) {
    const FieldDescriptor& d = f_.fields[i];
    std::uint32_t next = 0;
    if (d.dims.empty()) return element(v, i, shift, 0, where);
    return array(v, i, shift, 0, &next, where);
  }

  bool array(const Json* v, std::size_t i, std::uint64_t shift, std::size_t level, std::uint32_t* next,
             const std::string& where) {
    const std::vector<std::uint32_t>& dims = f_.fields[i].dims;
    if (v && (!v->is_array() || v->size() != dims[level])) {
      return fail(where, "an array of " + std::to_string(dims[level]) + " elements is expected");
    }
    for (std::uint32_t n = 0; n < dims[level]; ++n) {
      const Json* item = v ? &(*v)[n] : nullptr;
      const std::string at = where + "[" + std::to_string(n) + "]";
      const bool ok = level + 1 == dims.size() ? element(item, i, shift, (*next)++, at)
                                               : array(item, i, shift, level + 1, next, at);
      if (!ok) return false;
    }
    return true;
  }

  // One element; v == nullptr clears it (blanks for STRING, zero otherwise).
  bool element(const Json* v, std::size_t i, std::uint64_t shift, std::uint32_t k, const std::string& where) {
    const FieldDescriptor& d = f_.fields[i];
    const Slot& s = slots_[i];
    if (d.type == FieldType::GROUP) {
      static const Json empty = Json::object();
      return group(v ? *v : empty, i, shift + std::uint64_t{k} * s.size, where);
    }
    bool ok = true;
    std::uint8_t* p = at(i, shift, k, where, &ok);
    if (!p) return ok;
    if (!v) {
      std::memset(p, d.type == FieldType::STRING ? ' ' : 0, s.size);
      return true;
    }
    if (v->is_object()) {
      const Json* b = json::member(*v, "bytes");
      std::optional<std::string> raw;
      if (v->size() != 1 || !b || !b->is_string() || !(raw = json::base64_decode(text(*b)))) {
        return fail(where, "{\"bytes\": \"<base64>\"} is expected");
      }
      if (raw->size() != s.size) return fail(where, "the bytes must be exactly " + std::to_string(s.size));
      std::memcpy(p, raw->data(), s.size);
      return true;
    }
    return scalar(*v, d, p, s.size, where);
  }

  bool integer(const Json& v, std::int64_t low, std::int64_t high, std::int64_t* out, const std::string& where) {
    auto n = json::as_int64(v);
    if (!n || *n < low || *n > high) {
      return fail(where, "a whole number from " + std::to_string(low) + " to " + std::to_string(high) + " is expected");
    }
    *out = *n;
    return true;
  }

  bool scalar(const Json& v, const FieldDescriptor& d, std::uint8_t* p, std::uint32_t size, const std::string& where) {
    if (!files::is_string_type(d.type) && natural_size(d) != size) {
      return fail(where, "a field of this size takes only {\"bytes\": ...}");
    }
    std::int64_t n = 0;
    switch (d.type) {
      case FieldType::BYTE:
        if (!integer(v, 0, 255, &n, where)) return false;
        p[0] = static_cast<std::uint8_t>(n);
        return true;
      case FieldType::SHORT:
        if (!integer(v, INT16_MIN, INT16_MAX, &n, where)) return false;
        store_le(p, static_cast<std::int16_t>(n));
        return true;
      case FieldType::USHORT:
        if (!integer(v, 0, UINT16_MAX, &n, where)) return false;
        store_le(p, static_cast<std::uint16_t>(n));
        return true;
      case FieldType::LONG:
        if (!integer(v, INT32_MIN, INT32_MAX, &n, where)) return false;
        store_le(p, static_cast<std::int32_t>(n));
        return true;
      case FieldType::DATE:
      case FieldType::TIME:
      case FieldType::ULONG:
        if (!integer(v, 0, UINT32_MAX, &n, where)) return false;
        store_le(p, static_cast<std::uint32_t>(n));
        return true;
      case FieldType::SREAL: {
        float x = 0;
        const std::string t = json::number_string(v);
        auto r = std::from_chars(t.data(), t.data() + t.size(), x);
        if (!json::is_number(v) || r.ec != std::errc() || r.ptr != t.data() + t.size()) {
          return fail(where, "a number within the range of an SREAL is expected");
        }
        store_le(p, x);
        return true;
      }
      case FieldType::REAL: {
        auto x = json::as_double(v);
        if (!x) return fail(where, "a number within the range of a REAL is expected");
        store_le(p, *x);
        return true;
      }
      case FieldType::DECIMAL: return decimal(v, d, p, size, where);
      case FieldType::STRING:
      case FieldType::CSTRING:
      case FieldType::PSTRING: return string(v, d, p, size, where);
      default: return fail(where, "this type takes only {\"bytes\": ...}");
    }
  }

  bool decimal(const Json& v, const FieldDescriptor& d, std::uint8_t* p, std::uint32_t size, const std::string& where) {
    if (!json::is_number(v)) return fail(where, "a number is expected");
    std::string t = json::number_string(v);
    if (t.find_first_of("eE") != std::string::npos) return fail(where, "write a DECIMAL without an exponent");
    const bool negative = t[0] == '-';
    if (negative) t.erase(0, 1);
    const std::size_t dot = t.find('.');
    std::string whole = t.substr(0, dot);
    std::string fraction = dot == std::string::npos ? "" : t.substr(dot + 1);
    if (fraction.size() > d.places) return fail(where, "more than " + std::to_string(d.places) + " decimal places");
    fraction.append(d.places - fraction.size(), '0');
    whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
    const std::size_t nibbles = 2 * std::size_t{size} - 1;
    const std::size_t room = std::min<std::size_t>(d.digits, nibbles) - d.places;
    if (whole.size() > room) return fail(where, "more digits than DECIMAL(" + std::to_string(d.digits) + "," +
                                                    std::to_string(d.places) + ") holds");
    const std::string digits = whole + fraction;
    std::memset(p, 0, size);
    if (negative) p[0] = 0xF0;
    for (std::size_t k = 0; k < digits.size(); ++k) {
      const std::size_t nibble = nibbles - digits.size() + k + 1;  // nibble 0 is the sign
      const auto digit = static_cast<std::uint8_t>(digits[k] - '0');
      p[nibble / 2] |= nibble % 2 ? digit : static_cast<std::uint8_t>(digit << 4);
    }
    return true;
  }

  bool string(const Json& v, const FieldDescriptor& d, std::uint8_t* p, std::uint32_t size, const std::string& where) {
    if (!v.is_string()) return fail(where, "a string is expected");
    char32_t bad = 0;
    auto bytes = json::utf8_to_windows1252(text(v), &bad);
    if (!bytes) return fail(where, "the character " + json::character_name(bad) + " has no Windows-1252 byte");
    const std::size_t room = d.type == FieldType::PSTRING ? size - 1 : size;
    if (bytes->size() > room) {
      return fail(where, std::to_string(bytes->size()) + " characters, the field holds " + std::to_string(room));
    }
    if (d.type == FieldType::CSTRING && bytes->find('\0') != std::string::npos) {
      return fail(where, "a CSTRING cannot hold a NUL character");
    }
    std::memset(p, d.type == FieldType::STRING ? ' ' : 0, size);
    if (d.type == FieldType::PSTRING) {
      p[0] = static_cast<std::uint8_t>(bytes->size());
      std::memcpy(p + 1, bytes->data(), bytes->size());
    } else {
      std::memcpy(p, bytes->data(), bytes->size());
    }
    return true;
  }

  const FileDescriptor& f_;
  const Layout& layout_;
  const std::vector<Slot>& slots_;
  std::string where_;
  InputError* error_ = nullptr;
  std::vector<std::uint8_t>* image_ = nullptr;
};

}  // namespace

std::string text_of(const std::string& ansi) { return json::windows1252_to_utf8(ansi); }

// The members of the GROUP at `g`, by descriptor index.
std::vector<std::size_t> members_of(const FileDescriptor& f, std::size_t g) {
  std::vector<std::size_t> out;
  std::size_t i = g + 1;
  while (i < f.fields.size() && f.fields[i].type != FieldType::END) {
    out.push_back(i);
    i = f.fields[i].type == FieldType::GROUP ? after_group(f, i) : i + 1;
  }
  return out;
}

Layout make_layout(const FileDescriptor& f) {
  Layout l;
  l.slots = layout_slots(f);
  l.members.resize(f.fields.size());
  l.labels.resize(f.fields.size());
  for (std::size_t i = 0; i < f.fields.size(); ++i) {
    if (i == 0 || f.fields[i].type == FieldType::GROUP) l.members[i] = members_of(f, i);
    l.labels[i] = text_of(f.fields[i].label);
  }
  return l;
}

// A sound layout shows at most one value per byte of its record (each
// element takes at least one byte, and overlays are left out); a damaged
// one, with groups of many elements nested in each other, could make a dump
// or a load run practically for ever. Allow some slack, refuse the rest.
bool layout_is_sound(const FileDescriptor& f, const Layout& l) {
  const std::uint64_t cap = 2 * std::uint64_t{f.record_length} + 64;
  return !f.fields.empty() && layout_values(f, l, 0, cap) <= cap;
}

Json layout_fields_json(const FileDescriptor& f) {
  Json fields = Json::array();
  if (f.fields.empty()) return fields;
  for (std::size_t m : members_of(f, 0)) fields.push_back(field_json(f, m));
  return fields;
}

Json keys_json(const FileDescriptor& f) {
  Json keys = Json::array();
  for (const files::KeyDescriptor& k : f.keys) {
    Json v = Json::object();
    v["name"] = Json(text_of(k.label));
    if (!k.name.empty()) v["external"] = Json(text_of(k.name));
    v["primary"] = Json(static_cast<bool>(k.flags & files::key_flag::PRIMARY));
    v["dup"] = Json(static_cast<bool>(k.flags & files::key_flag::DUP));
    v["opt"] = Json(static_cast<bool>(k.flags & files::key_flag::OPT));
    v["nocase"] = Json(static_cast<bool>(k.flags & files::key_flag::NOCASE));
    if (k.flags & files::key_flag::INDEX) v["index"] = Json(static_cast<bool>(true));
    Json components = Json::array();
    for (const files::KeyComponent& c : k.components) {
      Json cv = Json::object();
      const bool known = c.field >= 0 && static_cast<std::size_t>(c.field) < f.fields.size();
      cv["field"] = Json(known ? text_of(f.fields[static_cast<std::size_t>(c.field)].label) : "");
      cv["descending"] = Json(static_cast<bool>(c.descending));
      components.push_back(std::move(cv));
    }
    v["components"] = std::move(components);
    keys.push_back(std::move(v));
  }
  return keys;
}

Json memos_json(const FileDescriptor& f) {
  Json memos = Json::array();
  for (const files::MemoDescriptor& m : f.memos) {
    Json v = Json::object();
    v["name"] = Json(text_of(m.label));
    if (!m.name.empty()) v["external"] = Json(text_of(m.name));
    v["type"] = Json(m.blob ? "BLOB" : "MEMO");
    if (!m.blob) v["size"] = Json(m.size);
    v["binary"] = Json(static_cast<bool>(m.binary));
    memos.push_back(std::move(v));
  }
  return memos;
}

Json record_json(const FileDescriptor& f, const Layout& layout) {
  const ImageView v{f, layout, f.record, f.record_length};
  Json rec = group_value(v, 0, 0);
  for (const files::MemoDescriptor& m : f.memos) {
    if (m.blob || m.binary) {
      const std::string raw = m.blob ? std::string(m.buffer.begin(), m.buffer.end()) : trimmed(m.buffer);
      rec[text_of(m.label)] = Json(json::base64_encode(raw));
    } else {
      rec[text_of(m.label)] = Json(text_of(trimmed(m.buffer)));
    }
  }
  return rec;
}

bool table_from_json(const Json& table, const std::string& where, FileDescriptor* f, std::string* name, bool* oem,
                     InputError* error) {
  LayoutReader reader(where);
  if (reader.table(table, f, name, oem)) return true;
  *error = *reader.error();
  return false;
}

bool record_from_json(const FileDescriptor& f, const Layout& layout, const Json& record, const std::string& where,
                      std::vector<std::uint8_t>* image, std::vector<std::vector<std::uint8_t>>* memos,
                      InputError* error) {
  return RecordWriter(f, layout).make(record, where, image, memos, error);
}

}  // namespace cli
