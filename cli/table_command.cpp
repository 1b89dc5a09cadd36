#include "cli/table_command.h"

#include <algorithm>
#include <charconv>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>

#include "app/conversion/replacement_table.h"
#include "app/conversion/text_output.h"
#include "app/dictionary/dictionary.h"
#include "app/dictionary/standard_table.h"
#include "app/records/records.h"
#include "cli/command_line.h"
#include "cli/json_document.h"
#include "cli/working_directory.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/kestrel/driver.h"
#include "files/kestrel/transaction.h"
#include "files/textline/textline_driver.h"
#include "platform/env.h"

namespace cli {
namespace {

using json::Json;
using records::Character;

const char* const kDescription =
    "Move translation tables between folders, machines and version control: list\n"
    "them, write one to a JSON or CSV file, read one from such a file.\n";

const char* const kFooter =
    "The tables are those of TRANSTAB.KSF and TRANSLAT.KSF in DIR, else in the\n"
    "current directory. list and export read them shared and read only; without\n"
    "data files the built-in \"Standard\" table serves. import opens them shared\n"
    "(a toolbox may have them open), makes them when missing, and writes the\n"
    "whole table in one transaction: other programs see all of it or none.\n"
    "\n"
    "JSON: {\"table\": \"Standard\", \"characters\": [{\"character\": \"<\",\n"
    "       \"html\": \"&lt\", \"code\": 60}, ...]}\n"
    "CSV:  a first line \"character,html,code\", then one line per character,\n"
    "      fields with a comma, a quote or a line end in double quotes (a quote\n"
    "      in them doubled).\n"
    "The texts are UTF-8; they are kept in the data files in Windows-1252, and\n"
    "a character outside that set is refused by name. A character takes at most\n"
    "2, its html at most 10, a table name at most 20 characters; \"code\" (the\n"
    "character's number, TRA:ASCIINR) is 0 when left out.\n"
    "\n"
    "Exit status: 0 success, 1 error (import: nothing was changed), 2 wrong usage.\n";

constexpr std::uint32_t kWaitSeconds = 10;
constexpr std::int32_t kRecordNotFound = 35;
constexpr std::int32_t kDuplicateKey = 40;

struct Options {
  std::vector<std::string> words;
  std::optional<std::string> directory;
  std::optional<std::string> output;
  std::optional<std::string> format;
  std::optional<std::string> name;
  bool force = false;
  bool replace = false;
};

std::unique_ptr<CLI::App> command_line(Options* o) {
  auto app = make_command("markfit table", kDescription, kFooter);
  auto directory = [o](CLI::App* c) {
    add_value(*c, "-C,--directory", "DIR", "the data files are in DIR", &o->directory);
  };
  CLI::App* list = add_command(*app, "list", "List the tables: number, name and how many characters each has.");
  directory(list);

  CLI::App* exp = add_command(*app, "export",
                              "Write table NAME (its name compared without regard to case) to FILE, or to "
                              "standard output.",
                              kFooter);
  add_arguments(*exp, "NAME", "the table", &o->words);
  add_value(*exp, "-o,--output", "FILE",
            "write to FILE (absent or \"-\": standard output); an existing FILE is replaced only with --force",
            &o->output);
  add_value(*exp, "--format", "FORMAT", "json or csv (default: from the FILE's extension, else json)", &o->format);
  add_flag(*exp, "--force", "replace an existing FILE", &o->force);
  directory(exp);

  CLI::App* imp = add_command(*app, "import",
                              "Read a table from FILE (\"-\": standard input) and add it as a new table with the "
                              "next number.",
                              kFooter);
  add_arguments(*imp, "FILE", "the JSON or CSV file", &o->words);
  add_value(*imp, "--name", "NAME",
            "the table's name (default: the name in a JSON file, the FILE's name without its extension for CSV)",
            &o->name);
  add_flag(*imp, "--replace",
           "replace the characters of the table of that name (the first in name order) instead of adding a table; "
           "a new table when there is none",
           &o->replace);
  add_value(*imp, "--format", "FORMAT", "json or csv (default: from the FILE's extension, else from its text)",
            &o->format);
  directory(imp);
  return app;
}

struct Failure {
  int status;
  std::string message;
};

std::string utf8(std::string_view ansi) { return json::windows1252_to_utf8(ansi); }

// A text of the file into the program's character set, at most `bytes`.
std::optional<std::string> ansi(std::string_view text, std::size_t bytes, const std::string& where,
                                const char* what, std::string* failure) {
  char32_t bad = 0;
  std::optional<std::string> a = json::utf8_to_windows1252(text, &bad);
  if (!a) {
    *failure = where + ": the character " + json::character_name(bad) + " has no Windows-1252 byte";
    return std::nullopt;
  }
  if (a->size() > bytes) {
    *failure = where + ": " + what + " holds at most " + std::to_string(bytes) + " characters, not " +
               std::to_string(a->size());
    return std::nullopt;
  }
  return a;
}

// Texts are kept blank padded: trailing blanks are no part of them.
std::string without_trailing_blanks(std::string s) {
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

// --- Files ---------------------------------------------------------------------

// The two data files, open for this command and closed however it ends.
class TableFiles {
 public:
  ~TableFiles() {
    for (files::FileDescriptor* f : opened_) files::close(*f);
  }
  // Read only, or read/write made when missing; shared with other programs.
  std::optional<Failure> open(bool write, const std::string& directory) {
    for (files::FileDescriptor* f : {&dictionary::TransTables, &dictionary::Translations}) {
      files::open(*f, write ? 0x42 : 0x40);
      if (write && files::ERRORCODE() == 2) {
        files::create(*f);
        if (files::ERRORCODE() == 0) files::open(*f, 0x42);
      }
      if (files::ERRORCODE() != 0) {
        return Failure{1, "cannot " + std::string(write ? "open " : "read ") + file_name(*f) + " in " + directory +
                              ": " + files::ERROR()};
      }
      opened_.push_back(f);
    }
    return std::nullopt;
  }
  static std::string file_name(const files::FileDescriptor& f) {
    return &f == &dictionary::TransTables ? "TRANSTAB.KSF" : "TRANSLAT.KSF";
  }

 private:
  std::vector<files::FileDescriptor*> opened_;
};

// Whether DIR holds data files: neither (false), both (true), or a failure.
std::optional<Failure> has_data_files(const std::string& directory, bool* present) {
  platform::Env* env = files::kestrel_env();
  const bool tables = env->exists("TRANSTAB.KSF");
  const bool characters = env->exists("TRANSLAT.KSF");
  if (tables != characters) {
    return Failure{1, "the data files in " + directory + " are incomplete: " +
                          (tables ? "TRANSLAT.KSF" : "TRANSTAB.KSF") + " is missing"};
  }
  *present = tables;
  return std::nullopt;
}

std::vector<Character> standard_characters() {
  std::vector<Character> list;
  for (int c = dictionary::kFirstStandardCode; c <= dictionary::kLastStandardCode; ++c) {
    list.push_back(Character{std::string(1, static_cast<char>(c)),
                             std::string(dictionary::standard_replacement(c)), c});
  }
  return list;
}

bool same_name(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  a = a.substr(0, a.find_last_not_of(' ') + 1);
  b = b.substr(0, b.find_last_not_of(' ') + 1);
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
           return lower(x) == lower(y);
         });
}

// --- Formats -------------------------------------------------------------------

enum class Format { json, csv };

std::optional<Format> format_named(const std::string& name) {
  if (name == "json" || name == "JSON") return Format::json;
  if (name == "csv" || name == "CSV") return Format::csv;
  return std::nullopt;
}

std::optional<Format> format_of_path(const std::string& path) {
  const std::size_t dot = path.find_last_of('.');
  const std::size_t slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::nullopt;
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return format_named(ext);
}

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos && (text.empty() || (text.front() != ' ' && text.back() != ' '))) {
    return text;
  }
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string write_table(Format format, const std::string& name, const std::vector<Character>& characters) {
  if (format == Format::csv) {
    std::string text = "character,html,code\n";
    for (const Character& c : characters) {
      text += csv_field(utf8(c.character)) + "," + csv_field(utf8(c.html)) + "," + std::to_string(c.code) + "\n";
    }
    return text;
  }
  Json list = Json::array();
  for (const Character& c : characters) {
    list.push_back(Json{{"character", utf8(c.character)}, {"html", utf8(c.html)}, {"code", c.code}});
  }
  Json doc = Json::object();
  doc["table"] = utf8(name);
  doc["characters"] = std::move(list);
  return json::write(doc, true) + "\n";
}

// A table read from a file: its name (when the file names it) and its
// characters, each with the place it came from.
struct ReadTable {
  std::optional<std::string> name;
  std::vector<Character> characters;
  std::vector<std::string> places;
};

std::optional<Failure> read_json(const std::string& text, const std::string& source, ReadTable* t) {
  json::ParseError perr;
  const std::optional<Json> doc = json::parse(text, &perr);
  auto refuse = [&](const std::string& message) { return Failure{1, source + ": " + message}; };
  if (!doc) return refuse(perr.describe());
  if (!doc->is_object()) return refuse("a JSON object {\"table\": ..., \"characters\": [...]} is expected");
  for (auto m = doc->begin(); m != doc->end(); ++m) {
    if (m.key() != "table" && m.key() != "characters") return refuse("unknown member \"" + m.key() + "\"");
  }
  std::string failure;
  if (const Json* name = json::member(*doc, "table")) {
    if (!name->is_string()) return refuse("table: a string is expected");
    const auto a = ansi(name->get<std::string>(), records::kNameBytes, "table", "a table name", &failure);
    if (!a) return refuse(failure);
    t->name = *a;
  }
  const Json* list = json::member(*doc, "characters");
  if (list == nullptr || !list->is_array()) return refuse("characters: an array is expected");
  for (std::size_t i = 0; i < list->size(); ++i) {
    const std::string where = "characters[" + std::to_string(i) + "]";
    const Json& item = (*list)[i];
    if (!item.is_object()) return refuse(where + ": an object is expected");
    Character c;
    for (auto m = item.begin(); m != item.end(); ++m) {
      const std::string at = where + "." + m.key();
      if (m.key() == "character" || m.key() == "html") {
        if (!m.value().is_string()) return refuse(at + ": a string is expected");
        const bool is_character = m.key() == "character";
        const auto a = ansi(m.value().get<std::string>(), is_character ? records::kCharacterBytes : records::kHtmlBytes,
                            at, is_character ? "a character" : "its html", &failure);
        if (!a) return refuse(failure);
        (is_character ? c.character : c.html) = without_trailing_blanks(*a);
      } else if (m.key() == "code") {
        const std::optional<std::int64_t> n = json::as_int64(m.value());
        if (!n || *n < INT32_MIN || *n > INT32_MAX) return refuse(at + ": a whole number is expected");
        c.code = static_cast<std::int32_t>(*n);
      } else {
        return refuse(where + ": unknown member \"" + m.key() + "\"");
      }
    }
    if (json::member(item, "character") == nullptr || c.character.empty()) {
      return refuse(where + ".character: a character is needed");
    }
    t->characters.push_back(c);
    t->places.push_back(where);
  }
  return std::nullopt;
}

// RFC 4180 records: each a list of fields and the line it starts on.
std::optional<Failure> csv_records(const std::string& text, const std::string& source,
                                   std::vector<std::pair<std::size_t, std::vector<std::string>>>* out) {
  std::size_t line = 1;
  std::size_t i = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;  // a byte order mark
  while (i < text.size()) {
    const std::size_t start_line = line;
    std::vector<std::string> fields(1);
    for (;;) {
      if (i < text.size() && text[i] == '"' && fields.back().empty()) {
        const std::size_t quote_line = line;
        for (++i;; ++i) {
          if (i >= text.size()) {
            return Failure{1, source + ": line " + std::to_string(quote_line) + ", field " +
                                  std::to_string(fields.size()) + ": the quoted field is never closed"};
          }
          if (text[i] == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"') {
              fields.back() += '"';
              ++i;
              continue;
            }
            ++i;
            break;
          }
          if (text[i] == '\n') ++line;
          fields.back() += text[i];
        }
        if (i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r') {
          return Failure{1, source + ": line " + std::to_string(line) + ", field " + std::to_string(fields.size()) +
                                ": text after the closing quote"};
        }
      }
      while (i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r') {
        if (text[i] == '"') {
          return Failure{1, source + ": line " + std::to_string(line) + ", field " + std::to_string(fields.size()) +
                                ": a quote inside a field that does not begin with one"};
        }
        fields.back() += text[i++];
      }
      if (i < text.size() && text[i] == ',') {
        ++i;
        fields.emplace_back();
        continue;
      }
      if (i < text.size() && text[i] == '\r') ++i;
      if (i < text.size() && text[i] == '\n') ++i;
      ++line;
      break;
    }
    if (!(fields.size() == 1 && fields[0].empty())) out->emplace_back(start_line, std::move(fields));  // blank lines
  }
  return std::nullopt;
}

std::optional<Failure> read_csv(const std::string& text, const std::string& source, ReadTable* t) {
  std::vector<std::pair<std::size_t, std::vector<std::string>>> rows;
  if (auto f = csv_records(text, source, &rows)) return f;
  if (rows.empty()) return Failure{1, source + ": the first line \"character,html,code\" is missing"};
  std::map<std::string, std::size_t> column;
  for (std::size_t k = 0; k < rows[0].second.size(); ++k) {
    const std::string& name = rows[0].second[k];
    if ((name != "character" && name != "html" && name != "code") || column.count(name)) {
      return Failure{1, source + ": line " + std::to_string(rows[0].first) + ", field " + std::to_string(k + 1) +
                            ": \"" + name + "\" is not a column (the first line is \"character,html,code\")"};
    }
    column[name] = k;
  }
  if (!column.count("character") || !column.count("html")) {
    return Failure{1, source + ": line " + std::to_string(rows[0].first) +
                          ": the columns \"character\" and \"html\" are needed"};
  }
  std::string failure;
  for (std::size_t r = 1; r < rows.size(); ++r) {
    const auto& [line, fields] = rows[r];
    const std::string at_line = source + ": line " + std::to_string(line);
    if (fields.size() != rows[0].second.size()) {
      return Failure{1, at_line + ": " + std::to_string(fields.size()) + " fields, the first line has " +
                            std::to_string(rows[0].second.size())};
    }
    auto field = [&](const char* name) { return at_line + ", field " + std::to_string(column[name] + 1) + " (" + name + ")"; };
    Character c;
    const auto ch = ansi(fields[column["character"]], records::kCharacterBytes, field("character"), "a character", &failure);
    if (!ch) return Failure{1, failure};
    c.character = without_trailing_blanks(*ch);
    if (c.character.empty()) return Failure{1, field("character") + ": a character is needed"};
    const auto html = ansi(fields[column["html"]], records::kHtmlBytes, field("html"), "its html", &failure);
    if (!html) return Failure{1, failure};
    c.html = without_trailing_blanks(*html);
    if (column.count("code") && !fields[column["code"]].empty()) {
      const std::string& s = fields[column["code"]];
      std::int32_t n = 0;
      const auto res = std::from_chars(s.data(), s.data() + s.size(), n);
      if (res.ec != std::errc() || res.ptr != s.data() + s.size()) {
        return Failure{1, field("code") + ": a whole number is expected, not \"" + s + "\""};
      }
      c.code = n;
    }
    t->characters.push_back(c);
    t->places.push_back("line " + std::to_string(line));
  }
  return std::nullopt;
}

// --- The commands ----------------------------------------------------------------

int finish(std::ostream& err, const CLI::App& app, const Failure& f) {
  if (f.status == kUsageStatus) {
    err << usage_message(app, f.message);
  } else {
    err << command_path(app) << ": " << f.message << "\n";
  }
  return f.status;
}

std::optional<Failure> run_list(std::ostream& out, const std::string& directory) {
  bool present = false;
  if (auto f = has_data_files(directory, &present)) return f;
  std::vector<records::TableInfo> tables;
  if (!present) {
    tables.push_back({1, std::string(dictionary::kStandardTableName), standard_characters().size()});
  } else {
    TableFiles data;
    if (auto f = data.open(false, directory)) return f;
    if (records::list_tables(&tables) != 0) return Failure{1, "cannot read the tables: " + files::ERROR()};
  }
  out << "        ID  NAME                  CHARACTERS\n";
  for (const records::TableInfo& t : tables) {
    std::string id = std::to_string(t.id);
    std::string name = utf8(t.name);
    // Columns by characters, not bytes: a name is at most 20 characters.
    const std::size_t shown = static_cast<std::size_t>(std::count_if(
        name.begin(), name.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
    out << std::string(id.size() < 10 ? 10 - id.size() : 0, ' ') << id << "  " << name
        << std::string(shown < 20 ? 20 - shown : 0, ' ') << "  " << t.characters << "\n";
  }
  if (!present) out << "(" << directory << " holds no data files: the built-in table serves)\n";
  return std::nullopt;
}

std::optional<Failure> run_export(const Options& o, std::ostream& out, const std::string& directory) {
  std::string name;
  std::string failure;
  const auto a = ansi(o.words[0], records::kNameBytes, "NAME", "a table name", &failure);
  if (!a) return Failure{kUsageStatus, failure};
  name = *a;
  const bool to_file = o.output && *o.output != "-";
  Format format = Format::json;
  if (o.format) {
    const auto f = format_named(*o.format);
    if (!f) return Failure{kUsageStatus, "unknown format '" + *o.format + "' (json or csv)"};
    format = *f;
  } else if (to_file && format_of_path(*o.output)) {
    format = *format_of_path(*o.output);
  }
  bool present = false;
  if (auto f = has_data_files(directory, &present)) return f;
  std::vector<Character> characters;
  std::string stored_name = name;
  if (!present) {
    if (!same_name(name, dictionary::kStandardTableName)) {
      return Failure{1, "no table named '" + utf8(name) + "': " + directory +
                            " holds no data files, and the built-in table is \"Standard\""};
    }
    characters = standard_characters();
    stored_name = std::string(dictionary::kStandardTableName);
  } else {
    TableFiles data;
    if (auto f = data.open(false, directory)) return f;
    std::int32_t id = 0;
    const std::int32_t rc = conversion::find_table(name, &id);
    if (rc == kRecordNotFound) return Failure{1, "no table named '" + utf8(name) + "' in " + directory};
    if (rc != 0 || records::read_characters(id, &characters) != 0) {
      return Failure{1, "cannot read the table '" + utf8(name) + "': " + files::ERROR()};
    }
    stored_name = dictionary::field_text(dictionary::TTB.name);
  }
  const std::string text = write_table(format, stored_name, characters);
  if (!to_file) {
    out << text;
    out.flush();
    if (!out) return Failure{1, "cannot write standard output"};
    return std::nullopt;
  }
  // The caller's path, taken against the directory the command started in.
  const std::string& target = *o.output;
  platform::FileInfo info;
  if (files::textline_env()->file_info(target, &info).ok() && info.directory) {
    return Failure{1, "'" + target + "' is a directory, not a file"};
  }
  if (files::textline_env()->exists(target) && !o.force) {
    return Failure{1, "'" + target + "' exists already; give --force to replace it"};
  }
  conversion::FileOutput file(target, conversion::LineEnd::lf);
  bool ok = file.begin();
  std::uint64_t number = 0;
  for (std::size_t at = 0; ok && at < text.size();) {
    const std::size_t end = text.find('\n', at);
    ok = file.write_line(std::string_view(text).substr(at, end - at), ++number);
    at = end + 1;
  }
  if (ok) ok = file.finish();
  if (!ok) {
    file.abandon();
    return Failure{1, file.error()};
  }
  return std::nullopt;
}

std::optional<Failure> read_input(const Options& o, std::istream& in, std::string* text, std::string* source) {
  const std::string& path = o.words[0];
  if (path == "-") {
    *source = "standard input";
    text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return std::nullopt;
  }
  *source = path;
  platform::Env* env = platform::Env::posix();
  std::unique_ptr<platform::File> file;
  std::uint64_t size = 0;
  platform::Status s = env->open(path, platform::OpenMode{}, &file);
  if (s.ok()) s = file->size(&size);
  if (s.ok()) {
    text->resize(size);
    std::size_t got = 0;
    s = file->read_at(0, text->data(), text->size(), &got);
    text->resize(got);
  }
  if (!s.ok()) return Failure{1, "cannot read '" + path + "': " + conversion::system_error_text(s.error)};
  return std::nullopt;
}

std::optional<Failure> run_import(const Options& o, std::istream& in, std::ostream& out, const std::string& directory,
                                  const std::string& file_path) {
  Format format = Format::json;
  std::string text, source;
  if (auto f = read_input(o, in, &text, &source)) return f;
  if (o.format) {
    const auto f = format_named(*o.format);
    if (!f) return Failure{kUsageStatus, "unknown format '" + *o.format + "' (json or csv)"};
    format = *f;
  } else if (const auto by_name = format_of_path(o.words[0])) {
    format = *by_name;
  } else {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    format = first != std::string::npos && text[first] == '{' ? Format::json : Format::csv;
  }

  // Everything is checked before the data files are touched.
  ReadTable table;
  if (auto f = format == Format::json ? read_json(text, source, &table) : read_csv(text, source, &table)) return f;
  std::string failure;
  if (o.name) {
    const auto a = ansi(*o.name, records::kNameBytes, "--name", "a table name", &failure);
    if (!a) return Failure{kUsageStatus, failure};
    table.name = *a;
  } else if (!table.name) {
    std::string base = file_path.substr(file_path.find_last_of('/') + 1);
    base = base.substr(0, base.find_last_of('.'));
    const auto a = ansi(base, records::kNameBytes, "the file's name", "a table name", &failure);
    if (!a || o.words[0] == "-") return Failure{kUsageStatus, "give the table's name with --name"};
    table.name = *a;
  }
  *table.name = without_trailing_blanks(*table.name);
  if (table.name->empty()) return Failure{1, "the table's name is empty"};
  std::map<std::string, std::size_t> seen;
  for (std::size_t i = 0; i < table.characters.size(); ++i) {
    const auto [at, added] = seen.emplace(table.characters[i].character, i);
    if (!added) {
      return Failure{1, source + ": " + table.places[i] + ": " + records::duplicate_entry_text(records::kCharacterKeyName) +
                            " (the character \"" + utf8(table.characters[i].character) + "\" is at " +
                            table.places[at->second] + " too)"};
    }
  }

  TableFiles data;
  if (auto f = data.open(true, directory)) return f;
  files::logout(kWaitSeconds, {&dictionary::TransTables, &dictionary::Translations});
  if (files::ERRORCODE() != 0) {
    return Failure{1, "cannot begin the transaction on the data files in " + directory + ": " + files::ERROR() +
                          " (another program may be writing them; try again)"};
  }
  // Any failure from here rolls the whole import back.
  auto undo = [&](const std::string& message) {
    const files::ErrorState failed = files::save_error_state();
    files::rollback(dictionary::TransTables);
    files::restore_error_state(failed);
    return Failure{1, message};
  };
  std::string shown = "\"" + utf8(*table.name) + "\"";
  std::int32_t id = 0;
  std::int32_t rc = conversion::find_table(*table.name, &id);
  const bool exists = rc == 0;
  if (rc != 0 && rc != kRecordNotFound) return undo("cannot read the tables: " + files::ERROR());
  std::size_t before = 0;
  if (exists && !o.replace) {
    return undo("a table named " + shown + " exists already (number " + std::to_string(id) +
                "); give --replace to replace its characters, or --name to import it under another name");
  }
  if (exists) {
    shown = "\"" + utf8(dictionary::field_text(dictionary::TTB.name)) + "\"";  // as stored
    std::vector<Character> old;
    if (records::read_characters(id, &old) != 0) return undo("cannot read the table " + shown + ": " + files::ERROR());
    before = old.size();
    if (records::delete_characters(id) != 0) return undo("cannot delete the old characters: " + files::ERROR());
  } else if ((rc = records::add_numbered_table(*table.name, &id)) != 0) {
    return undo(rc == kRecordNotFound ? "every table number is taken"
                                      : "cannot add the table " + shown + ": " + files::ERROR());
  }
  std::size_t refused = 0;
  if (records::add_characters(id, table.characters, &refused) != 0) {
    const std::string why = files::ERRORCODE() == kDuplicateKey ? records::duplicate_entry_text(records::kCharacterKeyName)
                                                                : files::ERROR();
    return undo(source + ": " + table.places[refused] + ": " + why);
  }
  files::commit(dictionary::TransTables);
  if (files::ERRORCODE() != 0) return undo("cannot commit the import: " + files::ERROR());
  if (exists) {
    out << "replaced the " << before << " characters of table " << shown << " (number " << id << ") by "
        << table.characters.size() << "\n";
  } else {
    const std::size_t n = table.characters.size();
    out << "added table " << shown << " (number " << id << ") with " << n << (n == 1 ? " character\n" : " characters\n");
  }
  return std::nullopt;
}

}  // namespace

int run_table(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
  Options o;
  const std::unique_ptr<CLI::App> app = command_line(&o);
  const Parsed parsed = parse(*app, args);
  out << parsed.out;
  err << parsed.err;
  if (parsed.done) return parsed.status;
  const CLI::App& command = *parsed.selected;
  if (&command == app.get()) return finish(err, command, {kUsageStatus, "a command is missing (list, export or import)"});
  const std::string name = command.get_name();
  if (name != "list" && o.words.empty()) {
    return finish(err, command, {kUsageStatus, name == "export" ? "export needs the NAME of a table" : "import needs a FILE"});
  }
  if (o.directory && o.directory->empty()) return finish(err, command, {kUsageStatus, "the directory name (-C) is empty"});
  if (o.output && o.output->empty()) {
    return finish(err, command, {kUsageStatus, "the output file name (-o) is empty; give \"-\" for standard output"});
  }

  WorkingDirectory working_directory;
  platform::Env* env = platform::Env::posix();
  // Paths given are the caller's, taken against the directory the command
  // started in, before -C moves.
  if (o.directory) {
    if (name == "import") WorkingDirectory::make_full(o.words[0]);
    WorkingDirectory::make_full(o.output);
    if (std::string m = WorkingDirectory::enter(*o.directory); !m.empty()) return finish(err, command, {1, std::move(m)});
  }
  const std::string directory = WorkingDirectory::current();
  // Other programs sharing these files take their transaction control file
  // from the same folder.
  std::string control;
  if (env->full_path("kestrel.tcf", &control).ok()) files::kestrel::set_control_file(control);

  std::optional<Failure> f;
  if (name == "list") f = run_list(out, directory);
  if (name == "export") f = run_export(o, out, directory);
  if (name == "import") f = run_import(o, in, out, directory, o.words[0]);
  return f ? finish(err, command, *f) : 0;
}

int run_table(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 2; i < argc; ++i) args.emplace_back(argv[i]);
  return run_table(args, std::cin, std::cout, std::cerr);
}

}  // namespace cli
