#include "disk/link_free_paths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "base/result_codes.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

TEST(LinkFreePaths, WritesGoThroughFoldersButNeverThroughALink) {
    test::TempDir dir;
    fs::path root;
    ASSERT_EQ(ResolveDestination(dir / "out", root), kOk);
    fs::create_directories(dir / "away");
    fs::create_directory_symlink(dir / "away", root / "photo");
    test::WriteFileBytes(dir / "victim", {1});
    fs::create_symlink(dir / "victim", root / "file.txt");

    EXPECT_EQ(CreateFoldersWithoutLinks(root / "a" / "b"), kOk);
    int fd = -1;
    ASSERT_EQ(OpenWithoutLinks(root / "a" / "b" / "new.txt", O_WRONLY | O_CREAT, 0644, fd), kOk);
    ::close(fd);
    EXPECT_EQ(CreateFoldersWithoutLinks(root / "photo" / "sub"), kErrLinkRefused);
    EXPECT_EQ(OpenWithoutLinks(root / "photo" / "x.jpg", O_WRONLY | O_CREAT, 0644, fd), kErrLinkRefused);
    EXPECT_EQ(OpenWithoutLinks(root / "file.txt", O_WRONLY | O_TRUNC, 0644, fd), kErrLinkRefused);
    EXPECT_TRUE(fs::is_empty(dir / "away"));
    EXPECT_EQ(test::ReadFileBytes(dir / "victim"), std::vector<uint8_t>{1});
    EXPECT_EQ(OpenWithoutLinks(root / ".." / "x", O_RDONLY, 0, fd), kErrInvalidParameter);

    // Renaming keeps a file in its folder and never replaces one planted meanwhile.
    EXPECT_EQ(RenameFileWithoutLinks(root / "a" / "b" / "new.txt", root / "a" / "b" / "kept.txt"), kOk);
    EXPECT_EQ(RenameFileWithoutLinks(root / "a" / "b" / "kept.txt", root / "file.txt"), kErrInvalidParameter);
    EXPECT_EQ(RemoveFileWithoutLinks(root / "file.txt"), kOk) << "the link itself goes, never its target";
    EXPECT_TRUE(fs::exists(dir / "victim"));

    // A destination named through a link is the user's choice and is resolved once.
    fs::create_directory_symlink(root, dir / "chosen");
    fs::path resolved;
    ASSERT_EQ(ResolveDestination(dir / "chosen", resolved), kOk);
    EXPECT_EQ(resolved, root);
}

}  // namespace
}  // namespace kestrune
