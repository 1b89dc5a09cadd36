// Folders as a walk and a batch's outputs need them.
#include "platform/folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/platform/temp_dir.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

TEST(FolderTest, ListsWhatNamesLeadToAndMakesMissingFolders) {
  platform_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::ofstream(dir.file("b file")) << "x";
  fs::create_directory(dir.file("a dir"));
  fs::create_directory_symlink("a dir", dir.file("c link"));
  fs::create_symlink("nowhere", dir.file("d dangling"));
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(list_folder(dir.path(), &entries).ok());
  ASSERT_EQ(entries.size(), 4u);
  const std::pair<EntryKind, bool> expected[] = {
      {EntryKind::folder, false}, {EntryKind::file, false}, {EntryKind::folder, true}, {EntryKind::missing, true}};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(entries[i].kind, expected[i].first) << entries[i].name;
    EXPECT_EQ(entries[i].link, expected[i].second) << entries[i].name;
  }
  EXPECT_EQ(entries[0].info.inode, entries[2].info.inode);  // the link's folder
  EXPECT_EQ(list_folder(dir.file("b file"), &entries).error, 3);
  EXPECT_EQ(list_folder(dir.file("none"), &entries).error, 3);

  EXPECT_TRUE(make_folders(dir.file("x/caf\xC3\xA9 y/z")).ok());
  EXPECT_TRUE(fs::is_directory(dir.file("x/caf\xC3\xA9 y/z")));
  EXPECT_TRUE(make_folders(dir.file("x/caf\xC3\xA9 y/z/")).ok());  // there already
  EXPECT_TRUE(make_folders(dir.file("c link/new")).ok());        // through a link
  EXPECT_EQ(make_folders(dir.file("b file/z")).error, 3);
  EXPECT_EQ(make_folders(dir.file("b file")).error, 3);
}

}  // namespace
}  // namespace platform
