// The per-driver operation trace.
//
// Everything one call writes (declaration, line, record) is built in memory
// first and appended with a single write, so that two programs tracing into
// the same file interleave whole operations rather than pieces of lines.
//
// Choices where the trace format leaves room:
//   * Declaration dump: every labelled line (file, key, memo, field) starts
//     with its label padded to one column, the longest label of the
//     declaration plus one blank; lines without a label (RECORD of an
//     unlabelled record, END) start with that many blanks, so the keywords
//     line up. Keys and memos carry their labels like fields do. The record
//     is closed by an END line and the file by a last END and a blank line.
//   * Record dump: an array is dumped element by element, its label followed
//     by the 1-based element number over all dimensions ("TRA:X[3]"). GROUP
//     entries are not dumped themselves; their members are (those of a
//     GROUP array: its first element). A GROUP key component, in the dump
//     after SETkeykey, is written as its bytes in hex. A memo is dumped
//     only up to its last significant byte.
//   * DECIMAL: packed digits, d div 2 + 1 bytes, sign in the high nibble of
//     the first byte (0xF negative, 0 positive), the digits in the nibbles
//     after it, `places` of them after the decimal point: "-123.45".
//   * PDECIMAL: packed digits with the sign in the low nibble of the last
//     byte (0xB or 0xD negative, any other sign nibble positive), the digits
//     in the nibbles before it, written like DECIMAL.
//   * A packed value holding a nibble that is no digit (or a DECIMAL sign
//     that is neither 0 nor 0xF) is written "Invalid decimal (<hex bytes>)".
//   * BFLOAT8: the binary float with the biased exponent (bias 129, 0 for
//     zero) in the last byte, the sign in the top bit of byte 6 and the 55
//     bits of mantissa below it, behind an implied leading 1; written "%f"
//     like REAL. BFLOAT4 likewise with 4 bytes (23 bits of mantissa).
//   * Types without a value notation of their own (ANY, the internal types)
//     are written as their bytes in hex.
#include "files/driver/trace.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "files/driver/driver.h"
#include "files/driver/error_state.h"
#include "platform/env.h"
#include "runtime/messages.h"
#include "runtime/profile.h"

namespace files {
namespace {

constexpr std::size_t kMaxTraceFileName = 260;
constexpr const char* kCrLf = "\r\n";

// Restores the caller's error state however the trace call ends.
class ErrorStateGuard {
 public:
  ErrorStateGuard() : saved_(save_error_state()) {}
  ~ErrorStateGuard() { restore_error_state(saved_); }
  ErrorStateGuard(const ErrorStateGuard&) = delete;
  ErrorStateGuard& operator=(const ErrorStateGuard&) = delete;

 private:
  ErrorState saved_;
};

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Leading blanks, an optional sign and digits, as the profile reads numbers.
long leading_integer(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min(value * 10 + (text[i] - '0'), 1000000L);
  }
  return negative ? -value : value;
}

template <class... Args>
void appendf(std::string& out, const char* format, Args... args) {
  char buffer[128];
  const int n = std::snprintf(buffer, sizeof buffer, format, args...);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) < sizeof buffer) {
    out.append(buffer, static_cast<std::size_t>(n));
    return;
  }
  std::string big(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), format, args...);
  big.resize(static_cast<std::size_t>(n));
  out += big;
}

// "%-18s" for texts that may hold any byte, a NUL included.
void append_padded(std::string& out, std::string_view text, std::size_t width) {
  out += text;
  if (text.size() < width) out.append(width - text.size(), ' ');
}

// Details are a way to read record contents out of the program; an
// encrypted file allows that only when its declaration says so.
bool details_allowed(const FileDescriptor& file, const FileControlBlock& fcb) {
  if (!((fcb.attributes | file.attributes) & attr::ENCRYPT)) return true;
  std::size_t pos = 0;
  std::string token;
  while (nextOption(fcb.options, &pos, &token)) {
    if (equal_ignoring_case(token, "ALLOWDETAILS")) return true;
  }
  return false;
}

// Appends `text` at the end of the trace file, creating it when missing.
// The file is opened for appending, so the system puts the one write at the
// end as it is then: another program appending to the same file between
// our learning its size and writing could not tear or overwrite a line.
// A trace that cannot be written is lost silently: diagnosis must never
// change the outcome of the operation it describes.
bool append_to_trace(const std::string& path, const std::string& text) {
  platform::Env* env = platform::Env::posix();
  platform::OpenMode mode;
  mode.access = platform::Access::write;
  mode.create = true;
  mode.append = true;
  std::unique_ptr<platform::File> file;
  if (!env->open(path, mode, &file) || !file) return false;
  return file->write_at(0, text.data(), text.size()).ok();
}

// --- Declaration dump -------------------------------------------------------

class DeclarationWriter {
 public:
  DeclarationWriter(const FileDescriptor& file, const FileControlBlock& fcb, std::string& out)
      : file_(file), fcb_(fcb), out_(out) {
    std::size_t longest = file.label.size();
    for (const auto& f : file.fields) longest = std::max(longest, f.label.size());
    for (const auto& k : file.keys) longest = std::max(longest, k.label.size());
    for (const auto& m : file.memos) longest = std::max(longest, m.label.size());
    column_ = longest + 1;
  }

  void write() {
    write_file_line();
    const bool keys_and_memos = file_.driver && file_.driver->supports_keys();
    if (keys_and_memos) {
      for (const auto& key : file_.keys) write_key_line(key);
      for (const auto& memo : file_.memos) write_memo_line(memo);
    }
    write_record();
    out_ += kCrLf;
  }

 private:
  void start_line(std::string_view label) {
    out_ += label;
    out_.append(column_ - std::min(column_, label.size()), ' ');
  }

  void write_file_line() {
    start_line(file_.label);
    const std::string driver_name =
        file_.driver ? std::string(file_.driver->descriptor().name_view()) : std::string();
    out_ += "FILE,DRIVER(" + driver_name;
    if (!fcb_.options.empty()) out_ += ",'" + fcb_.options + "'";
    out_ += ")";
    // The password itself never leaves the program; only that there is one.
    if (!fcb_.owner.empty() || !file_.owner.empty()) out_ += ",OWNER(******)";
    out_ += ",NAME('" + fcb_.name + "')";
    const std::uint32_t a = fcb_.attributes | file_.attributes;
    if (a & attr::CREATE) out_ += ",CREATE";
    if (a & attr::ENCRYPT) out_ += ",ENCRYPT";
    if (a & attr::RECLAIM) out_ += ",RECLAIM";
    out_ += kCrLf;
  }

  std::string_view field_label(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= file_.fields.size()) return {};
    return file_.fields[static_cast<std::size_t>(index)].label;
  }

  void write_key_line(const KeyDescriptor& key) {
    start_line(key.label);
    out_ += key.is_index() ? "INDEX(" : "KEY(";
    for (std::size_t i = 0; i < key.components.size(); ++i) {
      if (i > 0) out_ += ",";
      out_ += key.components[i].descending ? '-' : '+';
      out_ += field_label(key.components[i].field);
    }
    out_ += ")";
    if (key.flags & key_flag::DUP) out_ += ",DUP";
    if (key.flags & key_flag::OPT) out_ += ",OPT";
    if (key.flags & key_flag::NOCASE) out_ += ",NOCASE";
    if (key.flags & key_flag::PRIMARY) out_ += ",PRIMARY";
    if (!key.name.empty()) out_ += ",NAME(" + key.name + ")";
    out_ += kCrLf;
  }

  void write_memo_line(const MemoDescriptor& memo) {
    start_line(memo.label);
    if (memo.blob) {
      out_ += "BLOB";
    } else {
      appendf(out_, "MEMO(%u)", memo.size);
    }
    if (!memo.name.empty()) out_ += ",NAME(" + memo.name + ")";
    if (memo.binary) out_ += ",BINARY";
    out_ += kCrLf;
  }

  void write_field_line(const FieldDescriptor& f) {
    start_line(f.label);
    out_ += field_type_name(f.type);
    if (f.type == FieldType::DECIMAL || f.type == FieldType::PDECIMAL) {
      appendf(out_, "(%u,%u)", static_cast<unsigned>(f.digits), static_cast<unsigned>(f.places));
    } else if (is_string_type(f.type)) {
      if (!f.picture.empty()) {
        out_ += "(@" + f.picture + ")";
      } else {
        appendf(out_, "(%u)", f.declared_length);
      }
    }
    if (!f.dims.empty()) {
      out_ += ", DIM(";
      for (std::size_t i = 0; i < f.dims.size(); ++i) {
        if (i > 0) out_ += ",";
        appendf(out_, "%u", f.dims[i]);
      }
      out_ += ")";
    }
    if (f.over >= 0 && static_cast<std::size_t>(f.over) < file_.fields.size()) {
      out_ += ", OVER(" + std::string(field_label(f.over)) + ")";
    }
    out_ += kCrLf;
  }

  void write_end() {
    start_line({});
    out_ += "END";
    out_ += kCrLf;
  }

  // The record is the first descriptor when it is a GROUP; a declaration
  // that is not shaped so (the dispatch refuses it, a direct caller might
  // not) is dumped as if all its descriptors were members. Ends without a
  // matching GROUP close the record; groups left open are closed.
  void write_record() {
    std::size_t i = 0;
    std::string_view record_label;
    if (!file_.fields.empty() && file_.fields.front().type == FieldType::GROUP) {
      record_label = file_.fields.front().label;
      i = 1;
    }
    start_line(record_label);
    out_ += "RECORD";
    out_ += kCrLf;
    std::size_t depth = 0;
    for (; i < file_.fields.size(); ++i) {
      const FieldDescriptor& f = file_.fields[i];
      if (f.type == FieldType::END) {
        if (depth == 0) break;
        --depth;
        write_end();
        continue;
      }
      write_field_line(f);
      if (f.type == FieldType::GROUP) ++depth;
    }
    for (; depth > 0; --depth) write_end();
    write_end();  // the record
    write_end();  // the file
  }

  const FileDescriptor& file_;
  const FileControlBlock& fcb_;
  std::string& out_;
  std::size_t column_ = 1;
};

// --- Record dump ------------------------------------------------------------

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The first n (at most 8) bytes of an element as a little-endian number;
// bytes the element does not have read as 0.
std::uint64_t little_endian(const std::uint8_t* p, std::size_t have, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = std::min(have, n); i-- > 0;) v = (v << 8) | p[i];
  return v;
}

void append_hex_bytes(std::string& out, const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) appendf(out, i == 0 ? "%02X" : " %02X", static_cast<unsigned>(p[i]));
}

// Digits of a packed number with the decimal point put `places` from the
// right; leading zeros dropped, one kept before the point.
void append_packed_digits(std::string& out, bool negative, const std::string& digits, unsigned places) {
  std::string d = digits;
  if (d.size() < places + 1) d.insert(0, places + 1 - d.size(), '0');
  const std::size_t point = d.size() - places;
  std::size_t first = 0;
  while (first + 1 < point && d[first] == '0') ++first;
  std::string text = d.substr(first, point - first);
  if (places > 0) text += "." + d.substr(point);
  if (negative && digits.find_first_not_of('0') != std::string::npos) out += '-';
  out += text;
}

void append_decimal(std::string& out, FieldType type, const std::uint8_t* p, std::size_t n,
                    unsigned places) {
  auto invalid = [&] {
    out += "Invalid decimal (";
    append_hex_bytes(out, p, n);
    out += ")";
  };
  if (n == 0) {
    invalid();
    return;
  }
  std::string digits;
  bool negative = false;
  const std::size_t nibbles = n * 2;
  for (std::size_t i = 0; i < nibbles; ++i) {
    const unsigned nibble = (i % 2 == 0) ? (p[i / 2] >> 4) : (p[i / 2] & 0x0F);
    const bool is_sign = type == FieldType::DECIMAL ? i == 0 : i == nibbles - 1;
    if (is_sign) {
      if (type == FieldType::DECIMAL) {
        if (nibble != 0 && nibble != 0xF) return invalid();
        negative = nibble == 0xF;
      } else {
        if (nibble <= 9) return invalid();
        negative = nibble == 0xB || nibble == 0xD;
      }
      continue;
    }
    if (nibble > 9) return invalid();
    digits += static_cast<char>('0' + nibble);
  }
  append_packed_digits(out, negative, digits, places);
}

// The binary floats: biased exponent in the last byte (0 is zero), sign in
// the top bit of the byte before it, mantissa below with an implied 1.
double binary_float(const std::uint8_t* p, std::size_t width) {
  const int exponent = p[width - 1];
  if (exponent == 0) return 0.0;
  const bool negative = p[width - 2] & 0x80;
  std::uint64_t mantissa = p[width - 2] & 0x7F;
  for (std::size_t i = width - 2; i-- > 0;) mantissa = (mantissa << 8) | p[i];
  const int mantissa_bits = static_cast<int>(width - 1) * 8 - 1;
  const double fraction = 1.0 + std::ldexp(static_cast<double>(mantissa), -mantissa_bits);
  const double value = std::ldexp(fraction, exponent - 129);
  return negative ? -value : value;
}

void append_text(std::string& out, const std::uint8_t* p, std::size_t n) {
  const void* nul = std::memchr(p, 0, n);
  const std::size_t len = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - p) : n;
  out += '\'';
  out.append(reinterpret_cast<const char*>(p), len);
  out += '\'';
}

void append_value(std::string& out, const FieldEntry& entry, const FieldDescriptor* decl,
                  const std::uint8_t* p, std::size_t n) {
  const auto u = [&](std::size_t width) { return little_endian(p, n, width); };
  switch (entry.type) {
    case FieldType::BYTE:
      appendf(out, "%02XH", static_cast<unsigned>(u(1)));
      break;
    case FieldType::SHORT:
      appendf(out, "%d", static_cast<int>(static_cast<std::int16_t>(u(2))));
      break;
    case FieldType::USHORT:
      appendf(out, "%u", static_cast<unsigned>(static_cast<std::uint16_t>(u(2))));
      break;
    case FieldType::LONG:
      appendf(out, "%ld", static_cast<long>(static_cast<std::int32_t>(u(4))));
      break;
    case FieldType::ULONG:
      appendf(out, "%lu", static_cast<unsigned long>(static_cast<std::uint32_t>(u(4))));
      break;
    case FieldType::SREAL: {
      const auto bits = static_cast<std::uint32_t>(u(4));
      float f;
      std::memcpy(&f, &bits, sizeof f);
      appendf(out, "%f", static_cast<double>(f));
      break;
    }
    case FieldType::REAL: {
      const std::uint64_t bits = u(8);
      double d;
      std::memcpy(&d, &bits, sizeof d);
      appendf(out, "%f", d);
      break;
    }
    case FieldType::BFLOAT4:
    case FieldType::BFLOAT8: {
      const std::size_t width = entry.type == FieldType::BFLOAT8 ? 8 : 4;
      std::uint8_t bytes[8] = {};
      std::memcpy(bytes, p, std::min(n, width));
      appendf(out, "%f", binary_float(bytes, width));
      break;
    }
    case FieldType::DECIMAL:
    case FieldType::PDECIMAL:
      append_decimal(out, entry.type, p, n, decl ? decl->places : 0);
      break;
    case FieldType::STRING:
    case FieldType::CSTRING:
      append_text(out, p, n);
      break;
    case FieldType::PSTRING:
      append_text(out, p + std::min<std::size_t>(n, 1), n == 0 ? 0 : std::min<std::size_t>(p[0], n - 1));
      break;
    case FieldType::DATE: {
      const auto stored = static_cast<long>(static_cast<std::int32_t>(u(4)));
      const int day = static_cast<int>(u(1));
      const int month = static_cast<int>((u(2) >> 8) & 0xFF);
      const int year = static_cast<int>((u(4) >> 16) & 0xFFFF);
      if (day >= 1 && day <= 31 && month >= 1 && month <= 12) {
        appendf(out, "%02d %s %d (%ld)", day, kMonths[month - 1], year, stored);
      } else {
        appendf(out, "Invalid date (%ld)", stored);
      }
      break;
    }
    case FieldType::TIME: {
      const std::uint64_t v = u(4);
      const auto stored = static_cast<long>(static_cast<std::int32_t>(v));
      const int hundredths = static_cast<int>(v & 0xFF);
      const int seconds = static_cast<int>((v >> 8) & 0xFF);
      const int minutes = static_cast<int>((v >> 16) & 0xFF);
      const int hours = static_cast<int>((v >> 24) & 0xFF);
      if (hours < 24 && minutes < 60 && seconds < 60) {
        appendf(out, "%02d:%02d:%02d.%02d (%ld)", hours, minutes, seconds, hundredths, stored);
      } else {
        appendf(out, "Invalid time (%ld)", stored);
      }
      break;
    }
    default:
      append_hex_bytes(out, p, n);
      break;
  }
}

// One line per element of field `index`, each inside the record buffer;
// elements that would reach past the record are left out.
// A GROUP is written only when asked for (a key component), as its bytes.
void dump_field(std::string& out, const FileDescriptor& file, const FileControlBlock& fcb, std::size_t index,
                bool groups_too = false) {
  if (index >= fcb.field_table.size()) return;
  const FieldEntry& entry = fcb.field_table[index];
  if (entry.type == FieldType::END || (entry.type == FieldType::GROUP && !groups_too)) return;
  const FieldDescriptor* decl = index < file.fields.size() ? &file.fields[index] : nullptr;
  const std::string label = decl ? decl->label : std::string();
  const std::uint64_t elements = entry.size == 0 ? 1 : entry.elements;
  for (std::uint64_t e = 0; e < elements; ++e) {
    const std::uint64_t start = static_cast<std::uint64_t>(entry.offset) + e * entry.size;
    if (start + entry.size > fcb.record_length) break;
    std::string name = label;
    if (elements > 1) name += "[" + std::to_string(e + 1) + "]";
    out += "  ";
    append_padded(out, name, 18);
    out += ": ";
    append_value(out, entry, decl, fcb.record + start, entry.size);
    out += kCrLf;
  }
}

std::size_t significant_length(const MemoDescriptor& memo) {
  const std::uint8_t filler = memo.binary ? 0 : ' ';
  std::size_t n = memo.buffer.size();
  while (n > 0 && memo.buffer[n - 1] == filler) --n;
  return n;
}

void dump_memo(std::string& out, const std::uint8_t* p, std::size_t n) {
  for (std::size_t line = 0; line < n; line += 16) {
    const std::size_t count = std::min<std::size_t>(16, n - line);
    out += "  ";
    for (std::size_t i = 0; i < 16; ++i) {
      if (i < count) {
        appendf(out, "%02X ", static_cast<unsigned>(p[line + i]));
      } else {
        out += "   ";
      }
    }
    out += " | ";
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint8_t c = p[line + i];
      out += (c < 0x20 || c > 0x7E) ? '.' : static_cast<char>(c);
    }
    out += kCrLf;
  }
  out += kCrLf;
}

bool moves_record(Op op) {
  switch (op) {
    case Op::ADD:
    case Op::ADDfilelen:
    case Op::APPEND:
    case Op::APPENDlen:
    case Op::DELETE:
    case Op::GETfilekey:
    case Op::GETfileptrlen:
    case Op::GETfileptr:
    case Op::GETkeyptr:
    case Op::NEXT:
    case Op::PREVIOUS:
    case Op::PUT:
    case Op::PUTfileptr:
    case Op::PUTfileptrlen:
    case Op::REGETfile:
    case Op::REGETkey:
      return true;
    default:
      return false;
  }
}

void dump_record(std::string& out, const FileDescriptor& file, const FileControlBlock& fcb) {
  for (const auto& memo : file.memos) {
    if (const std::size_t n = significant_length(memo); n > 0) dump_memo(out, memo.buffer.data(), n);
  }
  if (fcb.record != nullptr) {
    for (std::size_t i = 0; i < fcb.field_table.size(); ++i) dump_field(out, file, fcb, i);
  }
  out += kCrLf;
}

void dump_key_fields(std::string& out, const FileDescriptor& file, const FileControlBlock& fcb,
                     const KeyDescriptor& key) {
  if (fcb.record != nullptr) {
    for (const auto& c : key.components) {
      if (c.field >= 0) dump_field(out, file, fcb, static_cast<std::size_t>(c.field), true);
    }
  }
  out += kCrLf;
}

// The first part of a trace line, before its padding.
std::string operation_head(const FileControlBlock& fcb, Op op, const KeyDescriptor* key) {
  std::string head(op_rule(op).name);
  head += "(" + fcb.name;
  if (key != nullptr) head += "," + key->label + "[" + std::to_string(key->number) + "]";
  head += " " + std::to_string(current_thread_number()) + ") ";
  return head;
}


}  // namespace

void read_trace_settings(const FileDescriptor& file, FileControlBlock& fcb) {
  fcb.trace = TraceSettings{};
  if (file.driver == nullptr) return;
  const std::string driver_name(file.driver->descriptor().name_view());
  const std::string section = "OV" + driver_name;
  if (runtime::GETPROFILEINT(section, "Profile", 0) == 0) return;
  std::string name = runtime::GETPROFILESTR(section, "TraceFile", driver_name + ".LOG");
  if (name.size() > kMaxTraceFileName) name.resize(kMaxTraceFileName);
  // A trace file that cannot be named cannot be written.
  if (name.empty()) return;
  fcb.trace.on = true;
  fcb.trace.file_name = std::move(name);
  fcb.trace.details = details_allowed(file, fcb) && runtime::GETPROFILEINT(section, "Details", 0) != 0;
}

void trace_operation(const FileDescriptor& file, FileControlBlock& fcb, Op op, const KeyDescriptor* key,
                     std::int32_t code, std::uint64_t hundredths) {
  const int number = static_cast<int>(op);
  if (!fcb.trace.on || fcb.trace.file_name.empty() || !valid_op(number)) return;
  if (number == 87 || number == 91 || fcb.name.empty()) return;
  ErrorStateGuard guard;

  // Details may have been switched on by a property after the settings were
  // read; the encrypted file's rule holds whichever way they came on.
  const bool details = fcb.trace.details && details_allowed(file, fcb);
  std::string text;
  const bool dump_declaration = details && !fcb.trace.declaration_dumped;
  if (dump_declaration) DeclarationWriter(file, fcb, text).write();

  append_padded(text, operation_head(fcb, op, key), 18);
  if (code == 90) {
    text += "File Error: " + FILEERROR() + " ";
  } else if (code != 0) {
    // The message exactly as worded, a trailing blank of its own included.
    text += "Error: " + runtime::message_text(code) + " ";
  }
  appendf(text, "Time Taken: %ld.%02ld secs\r\n", static_cast<long>(hundredths / 100),
          static_cast<long>(hundredths % 100));

  if (details) {
    if (moves_record(op)) {
      dump_record(text, file, fcb);
    } else if ((op == Op::SETkeykey || op == Op::SETkeykeyptr) && key != nullptr) {
      dump_key_fields(text, file, fcb, *key);
    }
  }
  if (append_to_trace(fcb.trace.file_name, text) && dump_declaration) fcb.trace.declaration_dumped = true;
}

bool set_trace_property(const FileDescriptor& file, FileControlBlock& fcb, std::string_view name,
                        std::string_view value) {
  if (equal_ignoring_case(name, "TraceFile")) {
    std::string file_name(value.substr(0, kMaxTraceFileName));
    if (file_name.empty()) {
      fcb.trace.on = false;
      fcb.trace.file_name.clear();
      fcb.trace.declaration_dumped = false;
      return true;
    }
    if (file_name != fcb.trace.file_name) fcb.trace.declaration_dumped = false;
    fcb.trace.file_name = std::move(file_name);
    fcb.trace.on = true;
    return true;
  }
  if (equal_ignoring_case(name, "Details")) {
    fcb.trace.details = leading_integer(value) != 0 && details_allowed(file, fcb);
    return true;
  }
  if (equal_ignoring_case(name, "Log")) {
    if (fcb.trace.on && !fcb.trace.file_name.empty()) {
      ErrorStateGuard guard;
      std::string line(value);
      line += kCrLf;
      append_to_trace(fcb.trace.file_name, line);
    }
    return true;
  }
  return false;
}

bool get_trace_property(const FileControlBlock& fcb, std::string_view name, std::string* value) {
  std::string answer;
  if (equal_ignoring_case(name, "TraceFile")) {
    answer = fcb.trace.on ? fcb.trace.file_name : std::string();
  } else if (equal_ignoring_case(name, "Details")) {
    answer = fcb.trace.details ? "1" : "0";
  } else {
    // "Log" only writes; there is nothing to read back.
    return false;
  }
  if (value != nullptr) *value = std::move(answer);
  return true;
}

}  // namespace files
