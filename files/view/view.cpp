#include "files/view/view.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "files/driver/control_block.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"

namespace files::view {
namespace {

constexpr std::size_t kHeader = 4;  // decimal digits of the driver position's length
constexpr std::size_t kMaxDriverPosition = View::kPositionLength - kHeader;

bool integer_type(FieldType t) {
  switch (t) {
    case FieldType::BYTE:
    case FieldType::SHORT:
    case FieldType::USHORT:
    case FieldType::LONG:
    case FieldType::ULONG:
    case FieldType::DATE:
    case FieldType::TIME:
      return true;
    default:
      return false;
  }
}

bool integer_fits(FieldType t, std::int64_t v) {
  switch (t) {
    case FieldType::BYTE:
      return v >= 0 && v <= 0xFF;
    case FieldType::SHORT:
      return v >= std::numeric_limits<std::int16_t>::min() && v <= std::numeric_limits<std::int16_t>::max();
    case FieldType::USHORT:
      return v >= 0 && v <= 0xFFFF;
    case FieldType::LONG:
      return v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max();
    default:
      return v >= 0 && v <= 0xFFFF'FFFFll;
  }
}

void store_integer(std::uint8_t* p, std::uint32_t size, std::int64_t v) {
  const auto u = static_cast<std::uint64_t>(v);
  for (std::uint32_t i = 0; i < size && i < 8; ++i) p[i] = static_cast<std::uint8_t>(u >> (8 * i));
}

// The value of a field that sorts first (low) or last in ascending key
// order: what the runtime's "clear to lowest / highest" gives each type.
// Strings take the characters 0 and 255, which every collation keeps at
// the ends.
void store_extreme(std::uint8_t* p, FieldType type, std::uint32_t n, bool low) {
  if (n == 0) return;
  switch (type) {
    case FieldType::SHORT:
    case FieldType::LONG:
      std::memset(p, low ? 0x00 : 0xFF, n);
      p[n - 1] = low ? 0x80 : 0x7F;
      break;
    case FieldType::SREAL:
    case FieldType::REAL: {
      const double inf = std::numeric_limits<double>::infinity();
      if (n == sizeof(float)) {
        const float f = low ? -static_cast<float>(inf) : static_cast<float>(inf);
        std::memcpy(p, &f, sizeof f);
      } else if (n == sizeof(double)) {
        const double d = low ? -inf : inf;
        std::memcpy(p, &d, sizeof d);
      }
      break;
    }
    case FieldType::DECIMAL:
      std::memset(p, 0x99, n);
      p[0] = low ? 0xF9 : 0x09;
      break;
    case FieldType::CSTRING:
      std::memset(p, low ? 0x00 : 0xFF, n);
      p[n - 1] = 0;
      break;
    case FieldType::PSTRING:
      std::memset(p, low ? 0x00 : 0xFF, n);
      p[0] = low ? 0 : static_cast<std::uint8_t>(std::min<std::uint32_t>(n - 1, 0xFF));
      break;
    default:
      std::memset(p, low ? 0x00 : 0xFF, n);
      break;
  }
}

bool all_blank(std::string_view s) { return s.find_first_not_of(' ') == std::string_view::npos; }

}  // namespace

View::View(FileDescriptor& file, KeyDescriptor& key, const Bindings* bindings)
    : file_(file), key_(key), bindings_(bindings), position_(kPositionLength, ' ') {
  if (key.file != &file) throw std::invalid_argument("view: the key " + key.label + " is not a key of its file");
}

// --- Projection -----------------------------------------------------------------------------------

bool View::project(const std::vector<std::string_view>& labels, std::string* unknown) {
  std::vector<FieldRef> columns;
  columns.reserve(labels.size());
  for (const std::string_view label : labels) {
    auto f = find_field(file_, label);
    if (!f) {
      if (unknown) unknown->assign(label);
      return false;
    }
    columns.push_back(*f);
  }
  columns_ = std::move(columns);
  return true;
}

std::span<const std::uint8_t> View::bytes(std::size_t i) const {
  const FieldRef& f = columns_.at(i);
  return {file_.record + f.offset, f.size};
}

Value View::value(std::size_t i) const { return field_value(columns_.at(i), file_.record); }

// --- Filter ---------------------------------------------------------------------------------------

std::optional<FilterError> View::set_filter(std::string_view expression) {
  placed_ = false;
  fixed_.clear();
  Filter parsed;
  auto error = Filter::parse(expression, file_, bindings_, &parsed);
  filter_ = error ? Filter{} : std::move(parsed);
  return error;
}

bool View::take_values() {
  filter_.take_values();
  fixed_.clear();
  empty_range_ = false;
  if (filter_.empty()) return true;
  const std::vector<Filter::Equality> equalities = filter_.fixed();
  const bool nocase = key_.flags & key_flag::NOCASE;
  for (const KeyComponent& component : key_.components) {
    const auto eq = std::find_if(equalities.begin(), equalities.end(),
                                 [&](const Filter::Equality& e) { return e.field.index == component.field; });
    if (eq == equalities.end()) break;
    const FieldRef& f = eq->field;
    if (integer_type(f.type) && eq->value.kind == Value::Kind::integer) {
      // A value the field cannot hold leaves nothing to read.
      if (!integer_fits(f.type, eq->value.integer)) empty_range_ = true;
    } else if (f.type == FieldType::STRING && !nocase && eq->value.kind == Value::Kind::text) {
      const std::string_view text = eq->value.text;
      if (text.size() > f.size && !all_blank(text.substr(f.size))) empty_range_ = true;
    } else {
      break;
    }
    fixed_.push_back(Fixed{f, component.descending, eq->value});
  }
  return !empty_range_;
}

void View::fill_key(bool low, bool only_fixed) {
  const FileControlBlock* fcb = file_.fcb.get();
  if (!fcb || !file_.record) return;
  const std::size_t count = only_fixed ? fixed_.size() : key_.components.size();
  for (std::size_t i = 0; i < count && i < key_.components.size(); ++i) {
    const KeyComponent& c = key_.components[i];
    const auto index = static_cast<std::size_t>(c.field);
    if (index >= fcb->field_table.size() || index >= file_.fields.size()) return;
    const FieldEntry& e = fcb->field_table[index];
    const std::uint64_t span = std::uint64_t{e.size} * e.elements;
    if (e.offset + span > file_.record_length) return;
    std::uint8_t* p = file_.record + e.offset;
    const auto n = static_cast<std::uint32_t>(span);
    if (i < fixed_.size()) {
      const Fixed& f = fixed_[i];
      if (f.value.kind == Value::Kind::integer) {
        store_integer(p, n, f.value.integer);
      } else {
        std::memset(p, ' ', n);
        std::memcpy(p, f.value.text.data(), std::min<std::size_t>(n, f.value.text.size()));
      }
    } else {
      store_extreme(p, file_.fields[index].type, n, low != c.descending);
    }
  }
}

int View::against_range() const {
  for (const Fixed& f : fixed_) {
    int c = compare(field_value(f.field, file_.record), f.value);
    if (f.descending) c = -c;
    if (c != 0) return c;
  }
  return 0;
}

// --- Placing --------------------------------------------------------------------------------------

int View::seek_edge(bool low) {
  if (fixed_.empty() || !file_.record) {
    files::set(key_);
    return ERRORCODE();
  }
  const std::vector<std::uint8_t> kept(file_.record, file_.record + file_.record_length);
  fill_key(low, false);
  files::set(key_, key_);
  std::copy(kept.begin(), kept.end(), file_.record);
  return ERRORCODE();
}

int View::first() {
  placed_ = false;
  just_reset_ = false;
  if (take_values()) {
    if (const int rc = seek_edge(true); rc != 0) return rc;
  } else {
    clear_error();
  }
  placed_ = true;
  edge_ = Edge::start;
  return 0;
}

int View::last() {
  placed_ = false;
  just_reset_ = false;
  if (take_values()) {
    if (const int rc = seek_edge(false); rc != 0) return rc;
  } else {
    clear_error();
  }
  placed_ = true;
  edge_ = Edge::end;
  return 0;
}

int View::reset(std::string_view position) {
  placed_ = false;
  const auto at = driver_position(position);
  if (!at) return fail(35);
  if (take_values()) {
    files::reset(key_, *at);
    if (const int rc = ERRORCODE(); rc != 0) return rc;
  } else {
    clear_error();
  }
  placed_ = true;
  just_reset_ = true;
  edge_ = Edge::none;
  return 0;
}

int View::locate() {
  placed_ = false;
  just_reset_ = false;
  if (take_values()) {
    if (file_.record && !fixed_.empty()) {
      // The range's own values go into the fixed components, so that a
      // located value never leads out of the range.
      const std::vector<std::uint8_t> kept(file_.record, file_.record + file_.record_length);
      fill_key(true, true);
      files::set(key_, key_);
      std::copy(kept.begin(), kept.end(), file_.record);
    } else {
      files::set(key_, key_);
    }
    if (const int rc = ERRORCODE(); rc != 0) return rc;
  } else {
    clear_error();
  }
  placed_ = true;
  edge_ = Edge::none;
  return 0;
}

// --- Reading --------------------------------------------------------------------------------------

int View::fail(int code) {
  placed_ = false;
  post(code, &file_);
  return code;
}

int View::read(bool forward) {
  if (!placed_ || empty_range_ || edge_ == (forward ? Edge::end : Edge::start)) return fail(33);
  // A file whose layout comes from the data file has no buffer before it is
  // opened; the driver answers that read itself.
  if (file_.record) saved_.assign(file_.record, file_.record + file_.record_length);
  const auto give_back = [this] {
    if (file_.record) std::copy(saved_.begin(), saved_.end(), file_.record);
  };
  for (;;) {
    forward ? files::next(file_) : files::previous(file_);
    ++reads_;
    int rc = ERRORCODE();
    if (rc != 0) {
      if (rc == 33) give_back();
      placed_ = false;
      return rc;
    }
    if (!fixed_.empty()) {
      if (const int where = against_range(); where != 0) {
        // Only a reset can land outside the range, in front of it: then the
        // range starts (or, reading backward, ends) further on.
        if (just_reset_ && (forward ? where < 0 : where > 0)) {
          just_reset_ = false;
          if (rc = seek_edge(forward); rc != 0) {
            placed_ = false;
            return rc;
          }
          continue;
        }
        give_back();
        return fail(33);
      }
    }
    just_reset_ = false;
    if (!filter_.matches(file_.record)) continue;
    const std::string at = files::position(key_);
    if (rc = ERRORCODE(); rc != 0) {
      placed_ = false;
      return rc;
    }
    auto mine = view_position(at);
    if (!mine) return fail(88);
    position_ = std::move(*mine);
    edge_ = Edge::none;
    return 0;
  }
}

int View::reget(std::string_view position) {
  const auto at = driver_position(position);
  if (!at) {
    post(35, &file_);
    return 35;
  }
  files::reget(key_, *at);
  return ERRORCODE();
}

// --- Position strings -------------------------------------------------------------------------------

std::optional<std::string> View::view_position(std::string_view driver_position) {
  if (driver_position.empty() || driver_position.size() > kMaxDriverPosition) return std::nullopt;
  std::string out(kPositionLength, ' ');
  const std::string length = std::to_string(driver_position.size());
  out.replace(kHeader - length.size(), length.size(), length);
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(kHeader - length.size()), '0');
  out.replace(kHeader, driver_position.size(), driver_position);
  return out;
}

std::optional<std::string> View::driver_position(std::string_view position) {
  if (position.size() < kHeader || position.size() > kPositionLength) return std::nullopt;
  std::size_t length = 0;
  for (std::size_t i = 0; i < kHeader; ++i) {
    const char c = position[i];
    if (c < '0' || c > '9') return std::nullopt;
    length = length * 10 + static_cast<std::size_t>(c - '0');
  }
  if (length == 0 || kHeader + length > position.size()) return std::nullopt;
  if (!all_blank(position.substr(kHeader + length))) return std::nullopt;
  return std::string(position.substr(kHeader, length));
}

}  // namespace files::view
