#include "cli/ksf_command.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "cli/command_line.h"
#include "cli/json_document.h"
#include "cli/ksf_json.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/kestrel/check.h"
#include "files/kestrel/driver.h"
#include "files/kestrel/table.h"
#include "files/kestrel/table_names.h"
#include "files/kestrel/transaction.h"
#include "runtime/messages.h"

namespace cli {

namespace {

const char* const kDescription = "Inspect and fill keyed data files (.KSF).\n";

const char* const kFooter =
    "FILE gets the extension .KSF when it has none. --owner gives the owner\n"
    "password of an enciphered file (load: of the file it makes).\n"
    "\n"
    "Exit status: 0 success; 1 check found faults, or load refused a record;\n"
    "2 wrong usage, a file that cannot be read or written, or JSON that\n"
    "load cannot use (then it writes nothing).\n";

const char* const kJsonShape =
    "JSON shape:\n"
    "  {\"tables\": [TABLE, ...]}\n"
    "  TABLE:  {\"name\": \"UNNAMED\", \"oem\": false, \"fields\": [FIELD, ...],\n"
    "           \"keys\": [KEY, ...], \"memos\": [MEMO, ...], \"records\": [RECORD, ...]}\n"
    "      \"UNNAMED\" is the file's table without a \\! marker; \"oem\": true keeps\n"
    "      the table's text in the OEM character set (code page 437).\n"
    "  FIELD:  {\"name\": \"TRA:CHARACTER\", \"type\": \"STRING\", \"length\": 2}\n"
    "      type: BYTE SHORT USHORT DATE TIME LONG ULONG SREAL REAL DECIMAL STRING\n"
    "            CSTRING PSTRING GROUP (the field type names, upper case);\n"
    "      \"length\": the declared length of a STRING, CSTRING or PSTRING, or\n"
    "      \"picture\": \"@s20\" for one declared by picture (then \"size\" gives\n"
    "      its bytes); \"digits\", \"places\": of a DECIMAL;\n"
    "      \"dim\": [3] or [2, 4]: an array of that many elements (a file keeps\n"
    "      only the number of elements, so a dump shows one dimension);\n"
    "      \"over\": \"PRE:OTHER\": the field overlays that earlier field;\n"
    "      \"size\": bytes of one element, given only where the type and the\n"
    "      members above do not already say it;\n"
    "      a GROUP lists its members in \"fields\": [FIELD, ...].\n"
    "  KEY:    {\"name\": \"TRA:CHARACTERSKEY\", \"primary\": true, \"dup\": false,\n"
    "           \"opt\": true, \"nocase\": false,\n"
    "           \"components\": [{\"field\": \"TRA:CHARACTER\",\n"
    "                           \"descending\": false}, ...]}\n"
    "      \"index\": true for an INDEX (built on request, not kept up to date);\n"
    "      \"external\": \"NAME\" for a key with an external name.\n"
    "  MEMO:   {\"name\": \"PRE:NOTES\", \"type\": \"MEMO\", \"size\": 2000, \"binary\": false}\n"
    "      or {\"name\": \"PRE:PICTURE\", \"type\": \"BLOB\", \"binary\": true};\n"
    "      \"external\": \"NAME\" as for keys.\n"
    "  RECORD: {\"TRA:TRANSLATIONTABLEID\": 1, \"TRA:CHARACTER\": \"A \", ...}\n"
    "      one member per field (fields that overlay others are left out, as\n"
    "      their bytes are already there) and one per memo, by name;\n"
    "      numbers as JSON numbers (DATE and TIME as their stored LONG, DECIMAL\n"
    "      with its exact digits, SREAL and REAL as the shortest decimal that\n"
    "      reads back the same);\n"
    "      STRING, CSTRING, PSTRING and text MEMOs as strings: their bytes read\n"
    "      as Windows-1252 (the five bytes it leaves undefined as the control\n"
    "      characters of the same number), trailing blanks kept (a CSTRING up\n"
    "      to its terminator, a PSTRING its counted bytes, a MEMO up to its\n"
    "      last non-blank);\n"
    "      binary MEMOs and BLOBs as base64 strings;\n"
    "      a GROUP as an object of its members, an array as a JSON array\n"
    "      (nested for several dimensions);\n"
    "      {\"bytes\": \"<base64>\"} for a value its type cannot show (a DECIMAL\n"
    "      with a digit above 9, a REAL that is not a number).\n"
    "      Load fills a field left out of a record with blanks (strings) or\n"
    "      zero, and refuses values that do not fit their field.\n";

struct Options {
  std::string command;
  std::string file;
  std::optional<std::string> owner;
  bool json = false;
  std::optional<std::string> input;
  std::vector<std::string> words;  // FILE and, for load, JSON-FILE
  const CLI::App* app = nullptr;   // the command chosen, for usage messages
};

int usage(std::ostream& err, const Options& o, const std::string& message) {
  err << usage_message(*o.app, message);
  return kUsageStatus;
}

// The command line of `markfit ksf`, bound to *o.
std::unique_ptr<CLI::App> command_line(Options* o) {
  const std::string with_shape = std::string(kFooter) + "\n" + kJsonShape;
  auto app = make_command("markfit ksf", kDescription, with_shape);
  const std::string owner_help = "the owner password of an enciphered file";
  CLI::App* check = add_command(*app, "check",
                                "Walk the whole file and print every structural fault: header, block tables, pages, "
                                "key order, separators, statistics against the real counts, index entries against "
                                "their data records, memos, definitions. Read only. Prints \"no faults\" for a sound "
                                "file.",
                                kFooter);
  add_arguments(*check, "FILE", "the data file", &o->words);
  add_value(*check, "--owner", "PASSWORD", owner_help, &o->owner);

  CLI::App* dump = add_command(*app, "dump",
                               "Print the file's tables (or only TABLE), their definitions and records, readably or "
                               "as JSON. Read only.",
                               with_shape);
  add_arguments(*dump, "FILE[\\!TABLE]", "the data file, and a table of it", &o->words);
  add_value(*dump, "--owner", "PASSWORD", owner_help, &o->owner);
  add_flag(*dump, "--json", "write JSON in the shape below instead of text", &o->json);

  CLI::App* load = add_command(*app, "load",
                               "Read JSON in the shape dump --json writes (from JSON-FILE, else from standard input), "
                               "create every table the file does not hold yet with the JSON's definition, and add the "
                               "records. The file is opened shared, so several loads may run at once. A record "
                               "refused (a duplicate in a unique key) is reported with its place in the JSON and the "
                               "others are still added.",
                               with_shape);
  add_arguments(*load, "FILE [JSON-FILE]", "the data file, and the JSON (\"-\" or none: standard input)", &o->words, 2);
  add_value(*load, "--owner", "PASSWORD", "the owner password of the file (when load makes the file: it is enciphered)",
            &o->owner);
  return app;
}

std::string system_error_text(int number) { return runtime::message_text(300 + number); }

// The disk file a name stands for, as the driver makes it: the part before
// a table marker, with ".KSF" when its last component has no extension.
std::string disk_file_of(const std::string& name) {
  std::string path = name.substr(0, name.find("\\!"));
  const std::size_t slash = path.find_last_of('/');
  const std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!last.empty() && last.find('.') == std::string::npos) path += ".KSF";
  return path;
}

// --- check ------------------------------------------------------------------------

int run_check(const Options& o, std::ostream& out, std::ostream& err, platform::Env* env) {
  const std::string path = disk_file_of(o.file);
  const files::kestrel::CheckReport r = files::kestrel::check_file(env, path, o.owner);
  if (!r.readable) {
    err << "markfit ksf check: " << path << ": " << r.error << " (" << system_error_text(r.system_error) << ")\n";
    return 2;
  }
  // FILE\!TABLE: the whole file is checked, but the table must be there.
  if (const std::size_t marker = o.file.find("\\!"); marker != std::string::npos) {
    std::string table = files::kestrel::upper_table_name(o.file.substr(marker + 2));
    if (table.empty()) table = files::kestrel::kUnnamedTable;
    if (std::find(r.tables.begin(), r.tables.end(), table) == r.tables.end()) {
      err << "markfit ksf check: " << path << ": the file holds no table " << text_of(table)
          << (r.clean() ? "" : " (and it has faults: check it without the table)") << "\n";
      return 2;
    }
  }
  for (const std::string& n : r.notes) out << "note: " << n << "\n";
  for (const std::string& w : r.warnings) out << "warning: " << w << "\n";
  if (r.warning_count > r.warnings.size()) out << "warning: ... and " << r.warning_count - r.warnings.size() << " more\n";
  for (const std::string& f : r.faults) out << f << "\n";
  if (r.fault_count > r.faults.size()) out << "... and " << r.fault_count - r.faults.size() << " more\n";
  std::ostringstream figures;
  figures << r.pages << " pages, " << r.records << " records, " << r.tables.size() << " tables";
  if (r.clean()) {
    out << "no faults (" << figures.str() << ")\n";
    return 0;
  }
  out << r.fault_count << (r.fault_count == 1 ? " fault" : " faults") << " in " << path << " (" << figures.str()
      << ")\n";
  return 1;
}

using files::FieldDescriptor;
using files::FieldType;
using files::FileDescriptor;
using json::Json;

// --- Talking to the driver ------------------------------------------------------------

std::string error_text() {
  std::string text = files::ERROR();
  const std::string detail = files::FILEERROR();
  if (files::ERRORCODE() == 90 && !detail.empty()) text += ": " + detail;
  return text + " (" + std::to_string(files::ERRORCODE()) + ")";
}

void declare(FileDescriptor* f, const std::string& path, const std::string& table, const Options& o) {
  f->driver = &files::kestrel_driver();
  f->name = table == files::kestrel::kUnnamedTable ? path : path + "\\!" + table;
  if (o.owner) {
    f->owner = *o.owner;
    f->attributes |= files::attr::ENCRYPT;
  }
}

// The pager the table listing reads through: the same file object the
// driver's opens share.
int open_for_listing(const std::string& path, const Options& o, std::shared_ptr<files::kestrel::Pager>* pager,
                     std::string* why) {
  files::kestrel::OpenOptions options;
  options.writable = false;
  options.sharing = files::kestrel::Sharing::deny_none;
  options.password = o.owner;
  const files::kestrel::Status s =
      files::kestrel::open_file(files::kestrel_env(), files::kestrel_registry(), path, options, pager);
  if (s.ok()) return 0;
  *why = s.is(files::kestrel::Code::io_error) ? system_error_text(s.number) : s.describe();
  return 2;
}

// The tables of the file in name order, each with its OEM attribute.
int list_tables(const std::shared_ptr<files::kestrel::Pager>& pager, const std::string& path, const std::optional<std::string>& only,
                std::vector<std::pair<std::string, bool>>* out, std::string* why) {
  std::vector<std::string> names;
  if (only) {
    names.push_back(*only);
  } else {
    std::string from;
    for (;;) {
      std::string name;
      int internal = 0;
      const int rc = files::kestrel::Table::table_at_or_after(*pager, from, &name, &internal);
      if (rc != 0) {
        *why = runtime::message_text(rc) + (internal ? " (" + std::to_string(internal) + ")" : "");
        return rc;
      }
      if (name.empty()) break;
      names.push_back(name);
      from = name + std::string(1, '\0');  // the next name after this one
    }
  }
  for (const std::string& name : names) {
    files::kestrel::TableName tn;
    tn.path = path;
    tn.table = name;
    tn.marked = name != files::kestrel::kUnnamedTable;
    std::unique_ptr<files::kestrel::Table> table;
    int internal = 0;
    const int rc = files::kestrel::Table::open(pager, tn, &table, &internal);
    if (rc != 0) {
      *why = "table " + name + ": " + runtime::message_text(rc) + (internal ? " (" + std::to_string(internal) + ")" : "");
      return rc;
    }
    out->emplace_back(name, table->oem());
  }
  return 0;
}

// --- dump --------------------------------------------------------------------------

void print_fields_readably(const FileDescriptor& f, std::size_t g, int indent, std::ostream& out) {
  for (std::size_t m : members_of(f, g)) {
    const FieldDescriptor& d = f.fields[m];
    std::string line(static_cast<std::size_t>(indent) * 2, ' ');
    line += text_of(d.label);
    if (line.size() < 34) line.resize(34, ' ');
    line += " " + std::string(files::field_type_name(d.type));
    if (files::is_string_type(d.type)) {
      line += d.picture.empty() ? "(" + std::to_string(d.declared_length) + ")" : "(" + text_of(d.picture) + ")";
    }
    if (d.type == FieldType::DECIMAL) line += "(" + std::to_string(d.digits) + "," + std::to_string(d.places) + ")";
    if (!d.dims.empty()) {
      line += ", DIM(";
      for (std::size_t k = 0; k < d.dims.size(); ++k) line += (k ? "," : "") + std::to_string(d.dims[k]);
      line += ")";
    }
    if (d.over >= 0) line += ", OVER(" + text_of(f.fields[static_cast<std::size_t>(d.over)].label) + ")";
    out << line << "\n";
    if (d.type == FieldType::GROUP) print_fields_readably(f, m, indent + 1, out);
  }
}

void print_table_readably(const FileDescriptor& f, const std::string& name, bool oem, std::ostream& out) {
  out << "TABLE " << text_of(name) << (oem ? "  (OEM)" : "") << "\n  FIELDS\n";
  print_fields_readably(f, 0, 2, out);
  if (!f.keys.empty()) out << "  KEYS\n";
  for (const files::KeyDescriptor& k : f.keys) {
    std::string line = "    " + text_of(k.label);
    if (line.size() < 34) line.resize(34, ' ');
    line += (k.flags & files::key_flag::INDEX) ? " INDEX(" : " KEY(";
    for (std::size_t c = 0; c < k.components.size(); ++c) {
      const int fi = k.components[c].field;
      line += (c ? "," : "") + std::string(k.components[c].descending ? "-" : "+") +
              (fi >= 0 && static_cast<std::size_t>(fi) < f.fields.size() ? text_of(f.fields[static_cast<std::size_t>(fi)].label) : "?");
    }
    line += ")";
    if (!k.name.empty()) line += ", NAME('" + text_of(k.name) + "')";
    if (k.flags & files::key_flag::PRIMARY) line += ", PRIMARY";
    if (k.flags & files::key_flag::DUP) line += ", DUP";
    if (k.flags & files::key_flag::OPT) line += ", OPT";
    if (k.flags & files::key_flag::NOCASE) line += ", NOCASE";
    out << line << "\n";
  }
  if (!f.memos.empty()) out << "  MEMOS\n";
  for (const files::MemoDescriptor& m : f.memos) {
    std::string line = "    " + text_of(m.label);
    if (line.size() < 34) line.resize(34, ' ');
    line += m.blob ? " BLOB" : " MEMO(" + std::to_string(m.size) + ")";
    if (m.binary) line += ", BINARY";
    if (!m.name.empty()) line += ", NAME('" + text_of(m.name) + "')";
    out << line << "\n";
  }
  out << "  RECORDS\n";
}

// Where a dump's text goes. Text goes straight out; a JSON document is
// written whole or not at all, so it is kept until it is complete: in
// memory, and past kKeptInMemory bytes in a temporary file that is removed
// as soon as it is made (it has no name, so nothing is left behind however
// the program ends).
class DumpOutput {
 public:
  static constexpr std::size_t kKeptInMemory = 32 * 1024 * 1024;

  DumpOutput(std::ostream& out, bool whole) : out_(out), whole_(whole) {}

  void put(std::string_view text) {
    if (!whole_) {
      out_ << text;
      return;
    }
    kept_ += text;
    if (kept_.size() >= kKeptInMemory && failure_.empty()) spill();
  }

  // Writes what was kept; false with *why when it cannot (nothing of a
  // whole document is written then).
  bool finish(std::string* why) {
    if (!failure_.empty()) {
      *why = failure_;
      return false;
    }
    if (spilled_) {
      std::vector<char> chunk(1024 * 1024);
      for (std::uint64_t at = 0; at < spilled_size_;) {
        std::size_t got = 0;
        const platform::Status s = spilled_->read_at(at, chunk.data(), chunk.size(), &got);
        if (!s.ok() || got == 0) {
          *why = "cannot read back the temporary file of the dump: " + system_error_text(s.ok() ? 5 : s.error);
          return false;
        }
        out_.write(chunk.data(), static_cast<std::streamsize>(got));
        at += got;
      }
    }
    out_ << kept_;
    out_.flush();
    if (!out_) {
      *why = "cannot write standard output";
      return false;
    }
    return true;
  }

 private:
  void spill() {
    platform::Env* env = platform::Env::posix();
    if (!spilled_) {
      const char* tmp = std::getenv("TMPDIR");
      const std::string dir = tmp && *tmp ? tmp : "/tmp";
      platform::OpenMode mode;
      mode.access = platform::Access::read_write;
      mode.create = mode.exclusive = true;
      std::random_device random;
      platform::Status s;
      for (int attempt = 0; attempt < 16 && !spilled_; ++attempt) {
        const std::string path = dir + "/markfit-dump-" + std::to_string(random()) + ".json";
        s = env->open(path, mode, &spilled_);
        if (s.ok()) (void)env->remove(path);
        if (!s.ok() && s.error != 80) break;
      }
      if (!spilled_) {
        failure_ = "cannot keep the dump in " + dir + ": " + system_error_text(s.error);
        return;
      }
    }
    if (const platform::Status s = spilled_->write_at(spilled_size_, kept_.data(), kept_.size()); !s.ok()) {
      failure_ = "cannot keep the dump in a temporary file: " + system_error_text(s.error);
      return;
    }
    spilled_size_ += kept_.size();
    kept_.clear();
  }

  std::ostream& out_;
  const bool whole_;
  std::string kept_;
  std::unique_ptr<platform::File> spilled_;
  std::uint64_t spilled_size_ = 0;
  std::string failure_;
};

int run_dump(const Options& o, std::ostream& out, std::ostream& err) {
  files::kestrel::TableName tn;
  platform::Env* env = files::kestrel_env();
  if (const int rc = files::kestrel::split_table_name(env, o.file, &tn); rc != 0) {
    err << "markfit ksf dump: " << o.file << ": " << runtime::message_text(rc) << "\n";
    return 2;
  }
  // A dump reads: it must not make the file it was asked about.
  if (!env->exists(tn.path)) {
    err << "markfit ksf dump: " << tn.path << ": " << runtime::message_text(2) << "\n";
    return 2;
  }
  std::shared_ptr<files::kestrel::Pager> pager;
  std::string why;
  std::vector<std::pair<std::string, bool>> tables;
  if (open_for_listing(tn.path, o, &pager, &why) != 0 ||
      list_tables(pager, tn.path, tn.marked ? std::optional<std::string>(tn.table) : std::nullopt, &tables, &why) != 0) {
    err << "markfit ksf dump: " << tn.path << ": " << why << "\n";
    return 2;
  }
  auto fail = [&](const std::string& name, const std::string& message) {
    err << "markfit ksf dump: " << tn.path << "\\!" << name << ": " << message << "\n";
    return 2;
  };

  DumpOutput sink(out, o.json);
  if (o.json) sink.put("{\n  \"tables\": [");
  bool first_table = true;
  for (const auto& [name, oem] : tables) {
    FileDescriptor f;
    declare(&f, tn.path, name, o);
    files::open(f, files::mode::read_only | files::mode::deny_none);
    if (files::ERRORCODE() != 0) return fail(name, error_text());
    const Layout layout = make_layout(f);
    if (!layout_is_sound(f, layout)) {
      files::close(f);
      return fail(name, "the table's layout has more elements than its record has bytes: the file is damaged");
    }
    if (o.json) {
      Json head = Json::object();
      head["name"] = text_of(name);
      head["oem"] = oem;
      head["fields"] = layout_fields_json(f);
      head["keys"] = keys_json(f);
      head["memos"] = memos_json(f);
      // The records follow as a last member, one per line as they are read.
      std::string text = json::write(head, true, 2);
      const std::string close = "\n    }";
      if (text.size() >= close.size() && text.compare(text.size() - close.size(), close.size(), close) == 0) {
        text.resize(text.size() - close.size());
        text += ",\n      \"records\": ";
      } else {
        text.pop_back();  // a head short enough for one line: "{...}"
        text += ", \"records\": ";
      }
      sink.put((first_table ? "\n    " : ",\n    ") + text + "[");
    } else {
      std::ostringstream text;
      print_table_readably(f, name, oem, text);
      sink.put(text.str());
    }
    first_table = false;

    files::set(f);
    std::size_t count = 0;
    int rc = files::ERRORCODE();
    while (rc == 0) {
      files::next(f);
      rc = files::ERRORCODE();
      if (rc != 0) break;
      const Json rec = record_json(f, layout);
      if (o.json) {
        sink.put((count ? ",\n        " : "\n        ") + json::write(rec, true, 4));
      } else {
        std::string line = "    " + std::to_string(count + 1) + ":";
        for (auto m = rec.begin(); m != rec.end(); ++m) line += " " + m.key() + "=" + json::write(m.value());
        sink.put(line + "\n");
      }
      ++count;
    }
    // The reason goes with the error state when the table is closed.
    const std::string reason = rc == 33 ? std::string() : error_text();
    files::close(f);
    if (rc != 33) return fail(name, "reading record " + std::to_string(count + 1) + ": " + reason);
    if (o.json) sink.put(count ? "\n      ]\n    }" : "]\n    }");
  }
  if (o.json) sink.put(tables.empty() ? "]\n}\n" : "\n  ]\n}\n");
  if (!sink.finish(&why)) {
    err << "markfit ksf dump: " << why << "\n";
    return 2;
  }
  return 0;
}

// --- load --------------------------------------------------------------------------

// One table of the JSON, ready to be written.
struct LoadTable {
  std::string name;
  bool oem = false;
  std::string where;
  std::unique_ptr<FileDescriptor> file;
  Layout layout;
  std::vector<std::vector<std::uint8_t>> images;
  std::vector<std::vector<std::vector<std::uint8_t>>> memos;
};

// Loads of one file serialise their table creation on a byte of the lock
// layout (layout::kCreateGuard), so that a load that finds a table missing
// cannot make it anew (which would empty it) while another load is already
// filling it.
using files::kestrel::layout::kCreateGuard;

class CreateGuard {
 public:
  CreateGuard() = default;
  ~CreateGuard() { release(); }
  CreateGuard(const CreateGuard&) = delete;
  CreateGuard& operator=(const CreateGuard&) = delete;

  // 0, or the system error number.
  int take(platform::Env* env, const std::string& path) {
    platform::OpenMode mode;
    mode.access = platform::Access::read_write;
    mode.create = true;
    if (platform::Status s = env->open(path, mode, &file_); !s.ok()) return s.error;
    if (platform::Status s = file_->lock(kCreateGuard, 1, platform::LockKind::exclusive, true); !s.ok()) {
      file_.reset();
      return s.error;
    }
    return 0;
  }
  void release() {
    if (file_) (void)file_->unlock(kCreateGuard, 1);
    file_.reset();
  }

 private:
  std::unique_ptr<platform::File> file_;
};

// Opens the table shared, making it first when the file does not hold it.
// 0, or a message in *why.
int open_or_create(LoadTable& t, const std::string& path, std::string* why) {
  FileDescriptor& f = *t.file;
  files::share(f, files::mode::read_write | files::mode::deny_none);
  if (files::ERRORCODE() == 2) {
    CreateGuard guard;
    if (const int e = guard.take(files::kestrel_env(), path); e != 0) {
      *why = system_error_text(e);
      return 2;
    }
    files::share(f, files::mode::read_write | files::mode::deny_none);
    if (files::ERRORCODE() == 2) {
      files::create(f);
      if (files::ERRORCODE() != 0) {
        *why = "cannot create the table: " + error_text();
        return 2;
      }
      files::share(f, files::mode::read_write | files::mode::deny_none);
    }
  }
  if (files::ERRORCODE() == 47) {
    *why = "the file holds the table with another definition: " + error_text();
    return 2;
  }
  if (files::ERRORCODE() != 0) {
    *why = error_text();
    return 2;
  }
  // The images were made with our own walk of the layout; it must be the
  // driver's.
  const std::vector<files::FieldEntry>& table = f.fcb->field_table;
  for (std::size_t i = 0; i < t.layout.slots.size() && i < table.size(); ++i) {
    if (f.fields[i].type == FieldType::END) continue;
    if (table[i].offset != t.layout.slots[i].offset || table[i].size != t.layout.slots[i].size) {
      files::close(f);
      *why = "internal: the layout of field " + f.fields[i].label + " differs from the driver's";
      return 2;
    }
  }
  return 0;
}

// How many records go into one transaction: few enough that a concurrent
// load is not kept waiting long, many enough to save most of the syncs.
constexpr std::size_t kBatch = 256;
constexpr int kBusyRetries = 20;

// Adds records [from, to) of `t`. A refused record (40) goes into *refused;
// any other failure ends the load (returns 2 with *why).
int add_batch(LoadTable& t, std::size_t from, std::size_t to, bool transaction, std::vector<std::size_t>* refused,
              bool* busy, std::string* why) {
  FileDescriptor& f = *t.file;
  *busy = false;
  if (transaction) {
    files::logout(f);
    if (files::ERRORCODE() != 0) {
      *why = "cannot begin a transaction: " + error_text();
      return 2;
    }
  }
  const std::size_t refused_before = refused->size();
  for (std::size_t r = from; r < to; ++r) {
    std::memcpy(f.record, t.images[r].data(), f.record_length);
    for (std::size_t m = 0; m < f.memos.size(); ++m) f.memos[m].buffer = t.memos[r][m];
    files::add(f);
    const int rc = files::ERRORCODE();
    if (rc == 0) continue;
    if (rc == 40) {
      refused->push_back(r);
      continue;
    }
    if (transaction && rc == 5) {
      // Another program is writing the file; inside a transaction we may
      // not wait for it. Drop this batch and try it again.
      files::rollback(f);
      refused->resize(refused_before);
      *busy = true;
      return 0;
    }
    *why = t.where + ".records[" + std::to_string(r) + "]: " + error_text();
    if (transaction) files::rollback(f);
    return 2;
  }
  if (transaction) {
    files::commit(f);
    if (files::ERRORCODE() != 0) {
      *why = "cannot commit: " + error_text();
      return 2;
    }
  }
  return 0;
}

int run_load(const Options& o, std::istream& in, std::ostream& out, std::ostream& err) {
  files::kestrel::TableName tn;
  if (const int rc = files::kestrel::split_table_name(files::kestrel_env(), o.file, &tn); rc != 0) {
    err << "markfit ksf load: " << o.file << ": " << runtime::message_text(rc) << "\n";
    return 2;
  }
  if (tn.marked) return usage(err, o, "load takes the FILE without a table (the tables are named in the JSON)");

  std::string text;
  if (o.input) {
    std::unique_ptr<platform::File> file;
    platform::Env* env = platform::Env::posix();
    std::uint64_t size = 0;
    platform::Status s = env->open(*o.input, platform::OpenMode{}, &file);
    if (s.ok()) s = file->size(&size);
    if (s.ok()) {
      text.resize(size);
      std::size_t got = 0;
      s = file->read_at(0, text.data(), text.size(), &got);
      text.resize(got);
    }
    if (!s.ok()) {
      err << "markfit ksf load: " << *o.input << ": " << system_error_text(s.error) << "\n";
      return 2;
    }
  } else {
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  json::ParseError perr;
  std::optional<Json> doc = json::parse(text, &perr);
  if (!doc) {
    err << "markfit ksf load: " << (o.input ? *o.input : "standard input") << ": " << perr.describe() << "\n";
    return 2;
  }
  text.clear();
  text.shrink_to_fit();
  const Json* tables = json::member(*doc, "tables");
  if (!tables || !tables->is_array() || doc->size() != 1) {
    err << "markfit ksf load: the JSON must be {\"tables\": [...]}\n";
    return 2;
  }

  // Everything is checked and turned into images before the file is touched.
  std::vector<LoadTable> loads;
  for (std::size_t i = 0; i < tables->size(); ++i) {
    LoadTable t;
    t.where = "tables[" + std::to_string(i) + "]";
    t.file = std::make_unique<FileDescriptor>();
    const Json& tj = (*tables)[i];
    if (InputError e; !table_from_json(tj, t.where, t.file.get(), &t.name, &t.oem, &e)) {
      err << "markfit ksf load: " << e.where << ": " << e.message << "\n";
      return 2;
    }
    t.name = files::kestrel::upper_table_name(t.name);
    for (const LoadTable& other : loads) {
      if (other.name == t.name) {
        err << "markfit ksf load: " << t.where << ".name: table " << t.name << " occurs twice\n";
        return 2;
      }
    }
    t.layout = make_layout(*t.file);
    if (const Json* records = json::member(tj, "records")) {
      if (!records->is_array()) {
        err << "markfit ksf load: " << t.where << ".records: an array is expected\n";
        return 2;
      }
      t.images.resize(records->size());
      t.memos.resize(records->size());
      for (std::size_t r = 0; r < records->size(); ++r) {
        InputError e;
        if (!record_from_json(*t.file, t.layout, (*records)[r], t.where + ".records[" + std::to_string(r) + "]",
                              &t.images[r], &t.memos[r], &e)) {
          err << "markfit ksf load: " << e.where << ": " << e.message << "\n";
          return 2;
        }
      }
    }
    loads.push_back(std::move(t));
  }
  doc.reset();

  std::size_t added = 0;
  std::size_t refused_total = 0;
  for (LoadTable& t : loads) {
    FileDescriptor& f = *t.file;
    declare(&f, tn.path, t.name, o);
    f.attributes |= files::attr::CREATE;
    if (t.oem) f.attributes |= files::attr::OEM;
    f.owned_record.assign(f.record_length, ' ');
    f.record = f.owned_record.data();
    std::string why;
    if (open_or_create(t, tn.path, &why) != 0) {
      err << "markfit ksf load: " << tn.path << "\\!" << t.name << ": " << why << "\n";
      return 2;
    }
    std::vector<std::size_t> refused;
    std::size_t from = 0;
    int busy_rounds = 0;
    while (from < t.images.size()) {
      const std::size_t to = std::min(t.images.size(), from + kBatch);
      // After a few rounds of finding the file busy, add without a
      // transaction: each add then waits for the other writer.
      const bool transaction = busy_rounds < kBusyRetries;
      bool busy = false;
      if (add_batch(t, from, to, transaction, &refused, &busy, &why) != 0) {
        files::close(f);
        err << "markfit ksf load: " << why << "\n";
        return 2;
      }
      if (busy) {
        ++busy_rounds;
        std::this_thread::sleep_for(std::chrono::milliseconds(5 * busy_rounds));
        continue;
      }
      busy_rounds = 0;
      from = to;
    }
    files::close(f);
    for (std::size_t r : refused) {
      err << "markfit ksf load: " << t.where << ".records[" << r << "] (table " << t.name
          << "): refused: " << runtime::message_text(40) << "\n";
    }
    added += t.images.size() - refused.size();
    refused_total += refused.size();
  }
  out << added << (added == 1 ? " record" : " records") << " added to " << tn.path;
  if (refused_total) out << ", " << refused_total << " refused";
  out << "\n";
  return refused_total ? 1 : 0;
}

}  // namespace

int run_ksf(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
            platform::Env* env) {
  Options options;
  const std::unique_ptr<CLI::App> app = command_line(&options);
  // "markfit ksf help" as well as "markfit ksf --help".
  const Parsed parsed = parse(*app, !args.empty() && args[0] == "help" ? std::vector<std::string>{"--help"} : args);
  out << parsed.out;
  err << parsed.err;
  if (parsed.done) return parsed.status;
  Options* o = &options;
  o->app = parsed.selected;
  if (o->app == app.get()) return usage(err, *o, "a command is missing (check, dump or load)");
  o->command = o->app->get_name();
  if (o->words.empty()) return usage(err, *o, o->command + " needs a FILE");
  o->file = o->words[0];
  if (o->words.size() == 2 && o->words[1] != "-") o->input = o->words[1];
  if (o->owner && o->owner->empty()) o->owner.reset();
  if (o->command == "check") return run_check(*o, out, err, env);
  if (o->command == "dump") return run_dump(*o, out, err);
  return run_load(*o, in, out, err);
}

int run_ksf(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 2; i < argc; ++i) args.emplace_back(argv[i]);
  return run_ksf(args, std::cin, std::cout, std::cerr, platform::Env::posix());
}

}  // namespace cli
