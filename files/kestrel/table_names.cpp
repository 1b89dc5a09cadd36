#include "files/kestrel/table_names.h"

#include <memory>

#include "platform/system_error.h"
#include "runtime/char_tables.h"

namespace files::kestrel {
namespace {

constexpr int kInvalidFilename = 45;

// The seam can tell only that something exists; a directory is what refuses
// to be opened as a file.
bool is_directory(platform::Env* env, const std::string& path) {
  if (path.empty() || !env->exists(path)) return false;
  std::unique_ptr<platform::File> f;
  platform::OpenMode mode;
  mode.access = platform::Access::read;
  const platform::Status s = env->open(path, mode, &f);
  return !s.ok() && s.error == platform::syserr::access_denied;
}

bool has_extension(std::string_view path) {
  const auto slash = path.find_last_of('/');
  const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return last.find('.') != std::string_view::npos;
}

}  // namespace

std::string TableName::message_name() const {
  if (unnamed()) return path;
  return path + std::string(kTableMarker) + table;
}

std::string upper_table_name(std::string_view name) {
  const runtime::CharTables& t = runtime::char_tables();
  std::string out(name);
  for (char& c : out) {
    const auto b = static_cast<std::uint8_t>(c);
    if (t.is_lower(b)) c = static_cast<char>(t.other_case(b));
  }
  return out;
}

int split_table_name(platform::Env* env, std::string_view name, TableName* out) {
  const auto end = name.find_last_not_of(' ');
  name = end == std::string_view::npos ? std::string_view() : name.substr(0, end + 1);
  if (name.empty() || name.find('\0') != std::string_view::npos) return kInvalidFilename;

  std::string_view file = name;
  std::string_view table;
  bool marked = false;
  for (std::size_t at = name.find(kTableMarker); at != std::string_view::npos;
       at = name.find(kTableMarker, at + 1)) {
    const std::string left(name.substr(0, at));
    if (is_directory(env, left)) continue;
    file = name.substr(0, at);
    table = name.substr(at + kTableMarker.size());
    marked = true;
    break;
  }
  if (file.empty()) return kInvalidFilename;

  std::string with_extension(file);
  if (!has_extension(with_extension)) with_extension += kDefaultExtension;
  std::string full;
  if (const platform::Status s = env->full_path(with_extension, &full); !s.ok()) return s.error;
  if (full.size() >= kMaxFullName) return kInvalidFilename;

  out->path = std::move(full);
  out->table = table.empty() ? std::string(kUnnamedTable) : upper_table_name(table);
  out->marked = marked;
  return 0;
}

}  // namespace files::kestrel
