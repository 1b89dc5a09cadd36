// Folders: what is in one, and making one. For walking a tree of pages and
// writing outputs into a tree of the same shape.
#pragma once

#include <string>
#include <vector>

#include "platform/env.h"

namespace platform {

enum class EntryKind : std::uint8_t {
  file,     // a regular file
  folder,
  other,    // a FIFO, a device, a socket
  missing,  // a symbolic link that leads nowhere (or into a loop)
};

struct FolderEntry {
  std::string name;
  EntryKind kind = EntryKind::missing;  // of what it names, symbolic links followed
  bool link = false;                    // the name itself is a symbolic link
  FileInfo info;                        // identity of what it names; zero for `missing`
};

// The entries of the folder at `path`, without "." and "..", in the byte
// order of their names. 3 when path is no folder, 5 when it may not be read.
Status list_folder(const std::string& path, std::vector<FolderEntry>* out);

// Makes the folder at `path` and every missing folder above it, each with
// the permissions 0777 less the umask. Success when it is there already.
// 5 when not allowed, 3 when a part of the path is a file, 39 when the disk
// is full.
Status make_folders(const std::string& path);

}  // namespace platform
