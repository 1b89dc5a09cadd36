// Lexical path arithmetic shared by the environments. Pure string work: no
// file system access, so ".." after a symbolic link is resolved by the name,
// as the full-path rule of the file layer wants.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Joins `path` to the absolute directory `base` (ignored when path starts
// with "/"), drops empty and "." components, resolves ".." against the
// components before it ("/.." stays "/"), and writes the result without a
// trailing "/" (except the root itself) to *out.
// Returns false, leaving *out alone, when path is empty or either string
// holds a NUL byte; base not starting with "/" is treated as if it did.
bool normalize_path(std::string_view base, std::string_view path, std::string* out);

// The directory part of an absolute normalized path ("/a/b" -> "/a",
// "/a" -> "/", "/" -> "/").
std::string parent_directory(std::string_view absolute);

}  // namespace platform
