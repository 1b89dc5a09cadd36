// The driver entry: opening and creating tables, the operations on closed
// files, driver commands, and the routing of every operation code to the
// table layer.
#include "files/kestrel/driver.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <memory>

#include "files/driver/error_state.h"
#include "files/driver/trace.h"
#include "files/kestrel/declaration.h"
#include "files/kestrel/table.h"
#include "files/kestrel/table_names.h"
#include "files/kestrel/transaction.h"
#include "platform/system_error.h"

namespace files {
namespace {

std::atomic<platform::Env*> g_env{nullptr};
std::atomic<kestrel::FileRegistry*> g_registry{nullptr};

}  // namespace

void set_kestrel_env(platform::Env* env) { g_env.store(env); }
platform::Env* kestrel_env() {
  platform::Env* env = g_env.load();
  return env ? env : platform::Env::posix();
}

void set_kestrel_registry(kestrel::FileRegistry* registry) { g_registry.store(registry); }
kestrel::FileRegistry& kestrel_registry() {
  kestrel::FileRegistry* r = g_registry.load();
  return r ? *r : kestrel::FileRegistry::process();
}

namespace kestrel {
namespace {

constexpr std::int32_t kAccessDenied = 5;
constexpr std::int32_t kFileNotOpen = 37;
constexpr std::int32_t kBadDeclaration = 47;
constexpr std::int32_t kNoCreateAttribute = 54;
constexpr std::int32_t kUnsupported = 80;
constexpr std::int32_t kInternal = 90;
constexpr std::uint32_t kBuildMode = 0x12;  // read/write, others denied: what a build of a closed file needs

// The file name internal errors are reported under: the table of the
// running operation.
std::string& current_file_name() {
  static std::string name;
  return name;
}

struct KestrelState final : DriverState {
  explicit KestrelState(const FileControlBlock* block) : owner(block) {}
  // A block that goes away inside a transaction (its descriptor destroyed)
  // must not stay enlisted.
  ~KestrelState() override { forget(*owner); }

  const FileControlBlock* owner;
  std::unique_ptr<Table> table;
  std::vector<int> key_map;       // declared key -> definition key (-1: dynamic index)
  bool full_build = false;
  bool skip_memos = false;        // NOMEMO: the next read leaves the memos alone
  std::uint32_t hold_seconds = 0; // HOLDfilesec: the retry test's patience
  std::string recover;            // RECOVER, kept only to be answered
};

KestrelState& state_of(FileControlBlock& fcb) {
  if (!fcb.driver) fcb.driver = std::make_unique<KestrelState>(&fcb);
  return *fcb.driver_state<KestrelState>();
}

std::int32_t system_code(int number) {
  set_system_error(number);
  if (number == 32) return kAccessDenied;  // a sharing violation
  if (number == 161) return 3;             // a bad path name
  if (number == platform::syserr::filename_too_long) return 45;  // Invalid Filename
  return number >= 2 && number <= 5 ? number : 300 + number;
}

std::string trimmed(std::string s) {
  const auto end = s.find_last_not_of(' ');
  s.erase(end == std::string::npos ? 0 : end + 1);
  return s;
}

std::string stripped(std::string_view s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return std::string();
  const auto last = s.find_last_not_of(' ');
  return std::string(s.substr(first, last - first + 1));
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// Splits a name and completes it; 0 or the code to post.
std::int32_t resolve(std::string_view name, TableName* out) {
  const int rc = split_table_name(kestrel_env(), name, out);
  if (rc == 0 || rc == 45) return rc;
  return system_code(rc);
}

OpenOptions options_for(std::uint32_t mode_word, const FileControlBlock& fcb) {
  OpenOptions o;
  const std::uint32_t access = mode_word & mode::access_mask;
  o.writable = access == mode::write_only || access == mode::read_write;
  switch (mode_word & mode::sharing_mask) {
    case mode::deny_all:
      o.sharing = Sharing::deny_all;
      break;
    case mode::deny_write:
      o.sharing = Sharing::deny_write;
      break;
    case mode::deny_read:
      o.sharing = Sharing::deny_read;
      break;
    default:
      o.sharing = Sharing::deny_none;
      break;
  }
  const std::string owner = trimmed(fcb.owner);
  if (!owner.empty()) o.password = owner;
  return o;
}

std::int32_t open_pager(const std::string& path, const OpenOptions& options, std::shared_ptr<Pager>* out) {
  platform::Env* env = kestrel_env();
  FileRegistry* registry = &kestrel_registry();
  Status s = open_file(env, *registry, path, options, out);
  if (s.is(Code::invalid_file)) return 36;
  if (s.is(Code::io_error)) return system_code(s.number);
  if (!s.ok()) return kAccessDenied;
  return 0;
}

class KestrelDriver final : public Driver {
 public:
  KestrelDriver();
  const DriverDescriptor& descriptor() const override { return descriptor_; }
  bool supports_keys() const override { return true; }
  std::int32_t perform(Op op, FileDescriptor& file, FileControlBlock& fcb, Operands& operands,
                       std::int32_t* result) override;
  std::int32_t apply_option(FileControlBlock& fcb, std::string_view token, std::string* answer) override;
  void release(FileControlBlock& fcb) override;

 private:
  std::int32_t run(Op op, FileDescriptor& file, FileControlBlock& fcb, KestrelState& st, Operands& o,
                   std::int32_t* result, int* internal);
  std::int32_t open_table(FileDescriptor& file, FileControlBlock& fcb, KestrelState& st, std::uint32_t mode_word,
                          int* internal);
  std::int32_t create_table(FileDescriptor& file, FileControlBlock& fcb, int* internal);
  std::int32_t remove_file(FileControlBlock& fcb, int* internal);
  std::int32_t copy_table(FileControlBlock& fcb, const std::string& target, bool rename, int* internal);
  std::int32_t build(FileDescriptor& file, FileControlBlock& fcb, KestrelState& st, const KeyDescriptor* key,
                     int* internal);
  std::int32_t logout_list(const Operands& o, int* internal);

  DriverDescriptor descriptor_;
};

std::vector<std::uint8_t> operation_codes() {
  std::vector<std::uint8_t> codes;
  for (int c = 1; c <= 93; ++c) {
    const bool left_out = c == 35 || c == 39 || c == 51 || c == 53 || c == 55 || c == 59 ||
                          (c >= 68 && c <= 70) || c == 73 || c == 74 || (c >= 80 && c <= 84) || c >= 87;
    if (!left_out) codes.push_back(static_cast<std::uint8_t>(c));
  }
  return codes;
}

KestrelDriver::KestrelDriver()
    : descriptor_(make_driver_descriptor(
          "KESTREL", "KESTREL", "", "Kestrel (KSF) Driver 1.00", operation_codes(),
          {static_cast<std::uint8_t>(FieldType::BYTE), static_cast<std::uint8_t>(FieldType::SHORT),
           static_cast<std::uint8_t>(FieldType::USHORT), static_cast<std::uint8_t>(FieldType::DATE),
           static_cast<std::uint8_t>(FieldType::TIME), static_cast<std::uint8_t>(FieldType::LONG),
           static_cast<std::uint8_t>(FieldType::ULONG), static_cast<std::uint8_t>(FieldType::SREAL),
           static_cast<std::uint8_t>(FieldType::REAL), static_cast<std::uint8_t>(FieldType::DECIMAL),
           static_cast<std::uint8_t>(FieldType::STRING), static_cast<std::uint8_t>(FieldType::CSTRING),
           static_cast<std::uint8_t>(FieldType::PSTRING), static_cast<std::uint8_t>(FieldType::MEMO),
           static_cast<std::uint8_t>(FieldType::BLOB), static_cast<std::uint8_t>(FieldType::GROUP),
           static_cast<std::uint8_t>(FieldType::ARRAY)})) {
  (void)control_file();  // the default is the working directory at start
}

void KestrelDriver::release(FileControlBlock& fcb) { fcb.driver.reset(); }

// The definition key a key operand stands for; -1 for none of this file's
// stored keys.
int definition_key(const FileDescriptor& file, const KestrelState& st, const KeyDescriptor* key) {
  if (key == nullptr) return -1;
  for (std::size_t i = 0; i < file.keys.size() && i < st.key_map.size(); ++i) {
    if (&file.keys[i] == key) return st.key_map[i];
  }
  return -1;
}

std::int32_t KestrelDriver::open_table(FileDescriptor& file, FileControlBlock& fcb, KestrelState& st,
                                       std::uint32_t mode_word, int* internal) {
  TableName name;
  if (const std::int32_t rc = resolve(fcb.name, &name); rc != 0) return rc;
  current_file_name() = name.message_name();
  // Opening never makes a file: a missing one is simply not found.
  if (!kestrel_env()->exists(name.path)) return system_code(2);
  std::shared_ptr<Pager> pager;
  if (const std::int32_t rc = open_pager(name.path, options_for(mode_word, fcb), &pager); rc != 0) return rc;
  std::unique_ptr<Table> table;
  if (const int rc = Table::open(pager, name, &table, internal); rc != 0) return rc;

  std::vector<int> key_map;
  if (file.fields.empty()) {
    // A buffer the program gave must hold the stored record.
    const bool own_buffer = file.record == nullptr || file.record == file.owned_record.data();
    if (!own_buffer && file.record_length < table->record_length()) return kBadDeclaration;
    declaration_from_definition(table->definition(), name.table, &file);
    for (std::size_t k = 0; k < file.keys.size(); ++k) key_map.push_back(static_cast<int>(k));
  } else {
    Definition declared;
    if (const int rc = definition_from_declaration(file, fcb, &declared, &key_map); rc != 0) return rc;
    if (!definitions_match(table->definition(), declared)) return kBadDeclaration;
    if (file.record_length < table->record_length()) return kBadDeclaration;
    if (file.record == nullptr) {
      file.owned_record.assign(file.record_length, ' ');
      file.record = file.owned_record.data();
    }
  }
  table->bind(file.record, &file.memos);
  st.table = std::move(table);
  st.key_map = std::move(key_map);
  st.skip_memos = false;
  st.hold_seconds = 0;

  if (!fcb.options.empty()) {
    if (const std::int32_t rc = apply_options(*this, fcb, fcb.options); rc != 0) {
      st.table.reset();
      return rc;
    }
  }
  fcb.open_mode = mode_word;
  const std::uint32_t access = mode_word & mode::access_mask;
  if (access == mode::write_only || access == mode::read_write) {
    fcb.state |= state::W;
  } else {
    fcb.state &= ~state::W;
  }
  if (mode::exclusive_sharing(mode_word)) {
    fcb.state |= state::X;
  } else {
    fcb.state &= ~state::X;
  }
  return 0;
}

std::int32_t KestrelDriver::create_table(FileDescriptor& file, FileControlBlock& fcb, int* internal) {
  if (!(fcb.attributes & attr::CREATE)) return kNoCreateAttribute;
  TableName name;
  if (const std::int32_t rc = resolve(fcb.name, &name); rc != 0) return rc;
  current_file_name() = name.message_name();
  if (file.fields.empty()) return kBadDeclaration;
  Definition def;
  std::vector<int> key_map;
  if (const int rc = definition_from_declaration(file, fcb, &def, &key_map); rc != 0) return rc;
  std::shared_ptr<Pager> pager;
  if (const std::int32_t rc = open_pager(name.path, options_for(mode::read_write | mode::deny_none, fcb), &pager);
      rc != 0) {
    return rc;
  }
  return Table::create(*pager, name.table, def, (fcb.attributes & attr::OEM) != 0, internal);
}

std::int32_t KestrelDriver::remove_file(FileControlBlock& fcb, int* internal) {
  TableName name;
  if (const std::int32_t rc = resolve(fcb.name, &name); rc != 0) return rc;
  current_file_name() = name.message_name();
  platform::Env* env = kestrel_env();
  if (!env->exists(name.path)) return 2;
  if (name.marked) {
    // A named table goes alone: the file may hold others.
    std::shared_ptr<Pager> pager;
    if (const std::int32_t rc = open_pager(name.path, options_for(mode::read_write | mode::deny_none, fcb), &pager);
        rc != 0) {
      return rc;
    }
    return Table::remove(*pager, name.table, internal);
  }
  const platform::Status s = env->remove(name.path);
  if (s.ok()) return 0;
  set_system_error(s.error);
  return s.error == 2 ? 2 : kAccessDenied;
}

std::int32_t KestrelDriver::copy_table(FileControlBlock& fcb, const std::string& target, bool rename,
                                       int* internal) {
  TableName from;
  TableName to;
  if (const std::int32_t rc = resolve(fcb.name, &from); rc != 0) return rc;
  current_file_name() = from.message_name();
  if (const std::int32_t rc = resolve(target, &to); rc != 0) return rc;
  if (!kestrel_env()->exists(from.path)) return 2;
  OpenOptions source_options = options_for(mode::read_write | mode::deny_none, fcb);
  source_options.writable = rename;
  std::shared_ptr<Pager> source;
  if (const std::int32_t rc = open_pager(from.path, source_options, &source); rc != 0) return rc;
  std::shared_ptr<Pager> destination;
  if (from.path == to.path) {
    destination = source;
  } else if (const std::int32_t rc = open_pager(to.path, options_for(mode::read_write | mode::deny_none, fcb), &destination);
             rc != 0) {
    return rc;
  }
  return Table::copy(*source, from.table, *destination, to.table, rename, internal);
}

std::int32_t KestrelDriver::build(FileDescriptor& file, FileControlBlock& fcb, KestrelState& st,
                                  const KeyDescriptor* key, int* internal) {
  // A closed file is opened for the build alone, exclusively.
  const bool was_open = st.table != nullptr;
  if (!was_open) {
    const std::uint32_t saved = fcb.state;
    const std::int32_t rc = open_table(file, fcb, st, kBuildMode, internal);
    fcb.state = saved;
    if (rc != 0) {
      st.table.reset();
      return rc;
    }
  }
  int which = -1;
  std::int32_t rc = 0;
  if (key != nullptr) {
    which = definition_key(file, st, key);
    if (which < 0) rc = kUnsupported;
  }
  if (rc == 0) {
    fcb.state |= state::B;
    rc = st.table->build(which, st.full_build);
    fcb.state &= ~state::B;
  }
  if (rc == kInternal && *internal == 0) *internal = st.table->internal_error();
  if (!was_open) st.table.reset();
  return rc;
}

std::int32_t KestrelDriver::logout_list(const Operands& o, int* internal) {
  std::vector<Enlistment> list;
  for (FileDescriptor* f : o.files) {
    if (f == nullptr) return 78;
    if (f->driver != this) return kUnsupported;
    if (!f->fcb || !(f->fcb->state & state::O)) return kFileNotOpen;
    if (f->fcb->state & state::T) return 56;
    KestrelState& other = state_of(*f->fcb);
    if (!other.table) return kFileNotOpen;
    if (other.table->internal_error() != 0) {
      *internal = other.table->internal_error();
      return kInternal;
    }
    list.push_back(Enlistment{f->fcb.get(), other.table->shared_pager()});
  }
  return logout(list, o.number, internal);
}

std::int32_t KestrelDriver::perform(Op op, FileDescriptor& file, FileControlBlock& fcb, Operands& operands,
                                    std::int32_t* result) {
  KestrelState& st = state_of(fcb);
  current_file_name() = st.table ? st.table->name().message_name() : std::string();
  int internal = 0;
  std::int32_t rc = 0;
  if (st.table && st.table->internal_error() != 0 && op != Op::CLOSE && op != Op::ROLLBACK) {
    rc = kInternal;
  } else if (st.table && op != Op::COMMIT && op != Op::ROLLBACK && failed_transaction(st.table->pager())) {
    rc = 48;
  } else {
    rc = run(op, file, fcb, st, operands, result, &internal);
  }
  if (rc == kInternal) {
    if (internal == 0 && st.table) internal = st.table->internal_error();
    const std::string number = std::to_string(internal);
    const std::string& name = current_file_name();
    setDriverError(number, name.empty() ? std::string("Kestrel File Driver Error")
                                        : "Possible data corruption in file " + name + " (" + number + ")");
  }
  return rc;
}

std::int32_t KestrelDriver::run(Op op, FileDescriptor& file, FileControlBlock& fcb, KestrelState& st,
                                Operands& o, std::int32_t* result, int* internal) {
  // Operations on closed files first; the rule table lets only these reach
  // the driver without an open table.
  switch (op) {
    case Op::OPEN:
    case Op::SHARE:
      return open_table(file, fcb, st, o.number, internal);
    case Op::CREATE:
      return create_table(file, fcb, internal);
    case Op::REMOVE:
      return remove_file(fcb, internal);
    case Op::COPY:
      return copy_table(fcb, o.text, false, internal);
    case Op::RENAME:
      return copy_table(fcb, o.text, true, internal);
    case Op::NAME: {
      TableName name;
      if (st.table) {
        o.answer = st.table->name().message_name();
      } else if (split_table_name(kestrel_env(), fcb.name, &name) == 0) {
        o.answer = name.message_name();
      } else {
        o.answer = fcb.name;
      }
      return 0;
    }
    case Op::SEND:
      return apply_option(fcb, o.text, &o.answer);
    case Op::SET_PROPERTY:
      if (upper(trimmed(o.text)) == "FULLBUILD") {
        std::string before;
        return apply_option(fcb, "FULLBUILD=" + o.value, &before);
      }
      return set_trace_property(file, fcb, o.text, o.value) ? 0 : kUnsupported;
    case Op::GET_PROPERTY:
      if (upper(trimmed(o.text)) == "FULLBUILD") return apply_option(fcb, "FULLBUILD", &o.answer);
      return get_trace_property(fcb, o.text, &o.answer) ? 0 : kUnsupported;
    case Op::BUILDfile:
    case Op::BUILDkey:
      return build(file, fcb, st, op == Op::BUILDkey ? o.key : nullptr, internal);
    case Op::PACK:
    case Op::BUILDevent:
      fcb.state &= ~state::B;
      return 0;
    default:
      break;
  }

  Table* t = st.table.get();
  if (t == nullptr) return kFileNotOpen;

  ReadRequest how;
  how.hold = fcb.state & state::h;
  how.hold_seconds = st.hold_seconds;
  how.watch = fcb.state & state::w;
  how.memos = !st.skip_memos;
  auto consumed = [&st](std::int32_t rc) {
    st.skip_memos = false;
    st.hold_seconds = 0;
    return rc;
  };
  const int key = definition_key(file, st, o.key);
  const bool key_given = o.key != nullptr;
  if (key_given && key < 0) return kUnsupported;  // a dynamic index

  switch (op) {
    case Op::CLOSE:
      st.table.reset();
      return 0;

    case Op::ADD:
      return t->add(false);
    case Op::APPEND:
      return t->add(true);
    case Op::PUT:
      return t->put();
    case Op::PUTfileptr:
      return t->put_at(o.number);
    case Op::DELETE:
      return t->erase();
    case Op::EMPTY:
      return t->empty();

    case Op::GETfilekey:
      return consumed(key_given ? t->get_by_key(key, how) : kUnsupported);
    case Op::GETfileptr:
    case Op::GETkeyptr:
      return consumed(t->get_by_number(o.number, how));
    case Op::REGETfile:
      return consumed(t->reget(-1, o.text, how));
    case Op::REGETkey:
      return consumed(t->reget(key, o.text, how));
    case Op::NEXT:
      return consumed(t->next(how));
    case Op::PREVIOUS:
      return consumed(t->previous(how));
    case Op::SKIP:
      return t->skip(static_cast<std::int32_t>(o.number));

    case Op::SETfile:
      return t->set_record_order();
    case Op::SETfilekey:
      return key_given ? t->set_record_order_from_key(key) : kUnsupported;
    case Op::SETfileptr:
      return t->set_record_order_at(o.number);
    case Op::SETkey:
      return t->set_key_order(key);
    case Op::SETkeykey:
      return t->set_key_order_at_value(key, std::nullopt);
    case Op::SETkeyptr:
      return t->set_key_order_at_record(key, o.number);
    case Op::SETkeykeyptr:
      return t->set_key_order_at_value(key, o.number);
    case Op::RESETfile:
      return t->reset(-1, o.text);
    case Op::RESETkey:
      return t->reset(key, o.text);

    case Op::BOF:
    case Op::EOF_: {
      bool end = true;
      const int rc = t->at_end(op == Op::EOF_, &end);
      *result = end ? 1 : 0;
      return rc;
    }
    case Op::RECORDSfile:
    case Op::RECORDSkey: {
      std::uint32_t count = 0;
      const int rc = t->records(op == Op::RECORDSkey ? key : -1, &count);
      *result = static_cast<std::int32_t>(count);
      return rc;
    }
    case Op::POSITIONfile:
      return t->position(-1, &o.answer);
    case Op::POSITIONkey:
      return t->position(key, &o.answer);
    case Op::POINTERfile:
    case Op::POINTERkey:
      *result = static_cast<std::int32_t>(t->current());
      return 0;
    case Op::BYTES:
      *result = static_cast<std::int32_t>(t->record_length());
      return 0;
    case Op::DUPLICATE:
    case Op::DUPLICATEkey: {
      bool found = false;
      const int rc = t->duplicate(op == Op::DUPLICATEkey ? key : -1, &found);
      *result = found ? 1 : 0;
      return rc;
    }

    case Op::HOLDfile:
      st.hold_seconds = 0;
      return 0;
    case Op::HOLDfilesec:
      st.hold_seconds = o.number;
      return 0;
    case Op::RELEASE:
      return t->release();
    case Op::WATCH:
      return 0;
    case Op::LOCKfile:
      return t->lock(0);
    case Op::LOCKfilesec:
      return t->lock(o.number);
    case Op::UNLOCK:
      return t->unlock();
    case Op::NOMEMO:
      st.skip_memos = true;
      return 0;
    case Op::STREAM:
    case Op::FLUSH:
      // Every operation is flushed at its end already.
      return 0;

    case Op::LOGOUT:
      return o.files.empty() ? logout(fcb, t->shared_pager()) : logout_list(o, internal);
    case Op::COMMIT:
      return commit(kestrel_env(), kestrel_registry(), internal);
    case Op::ROLLBACK:
      return rollback();

    case Op::BLOB_SIZE:
      *result = o.number < file.memos.size() ? static_cast<std::int32_t>(file.memos[o.number].buffer.size()) : 0;
      return 0;

    default:
      return kUnsupported;
  }
}

std::int32_t KestrelDriver::apply_option(FileControlBlock& fcb, std::string_view token, std::string* answer) {
  KestrelState& st = state_of(fcb);
  const auto eq = token.find('=');
  const bool has_value = eq != std::string_view::npos;
  const std::string name = upper(stripped(token.substr(0, eq)));
  const std::string raw = has_value ? std::string(token.substr(eq + 1)) : std::string();
  const std::string value = stripped(raw);
  int internal = 0;

  if (name == "TCF") {
    *answer = control_file();
    if (has_value) {
      std::string full;
      if (value.empty() || !kestrel_env()->full_path(value, &full).ok()) full = value;
      set_control_file(full);
    }
    return 0;
  }
  if (name == "FULLBUILD") {
    *answer = st.full_build ? "ON" : "OFF";
    if (!has_value) return 0;
    const std::string v = upper(value);
    if (v != "ON" && v != "OFF") return kUnsupported;
    st.full_build = v == "ON";
    return 0;
  }
  if (name == "FLAGS") {
    if (!st.table) return kUnsupported;
    std::uint32_t flags = 0;
    if (const int rc = st.table->flags(&flags); rc != 0) return rc;
    *answer = std::to_string(flags);
    if (!has_value) return 0;
    std::uint32_t v = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
    if (ec != std::errc() || end != value.data() + value.size()) return kUnsupported;
    return st.table->set_flags(v);
  }
  if (name == "PNM") {
    if (!has_value) return kUnsupported;
    // A closed file is looked into for this question alone, so that a
    // program can list the tables of a file it knows no table of.
    std::shared_ptr<Pager> pager = st.table ? st.table->shared_pager() : nullptr;
    if (!pager) {
      TableName file;
      if (const std::int32_t rc = resolve(fcb.name, &file); rc != 0) return rc;
      if (!kestrel_env()->exists(file.path)) return system_code(2);
      if (const std::int32_t rc = open_pager(file.path, options_for(mode::deny_none, fcb), &pager); rc != 0) {
        return rc;
      }
    }
    const int rc = Table::table_at_or_after(*pager, raw, answer, &internal);
    if (rc == kInternal) setDriverError(std::to_string(internal));
    return rc;
  }
  if (name == "RECOVER") {
    *answer = st.recover;
    if (has_value) st.recover = value;
    return 0;
  }
  if (name == "ALLOWDETAILS") {
    answer->clear();
    return 0;
  }
  return kUnsupported;
}

}  // namespace
}  // namespace kestrel

Driver& kestrel_driver() {
  static kestrel::KestrelDriver driver;
  return driver;
}

}  // namespace files
