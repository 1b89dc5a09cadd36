#include "files/driver/descriptors.h"

#include "files/driver/control_block.h"

namespace files {

FileDescriptor::FileDescriptor() = default;
FileDescriptor::~FileDescriptor() = default;

void FileDescriptor::link_keys() {
  for (std::size_t i = 0; i < keys.size(); ++i) {
    keys[i].file = this;
    keys[i].number = static_cast<int>(i) + 1;
  }
}

}  // namespace files
