// Deleted notes whose inodes sound clips took within the same second, on ext4 through the
// kernel's driver (see make_ext_inode_reuse_images.sh): each name is listed with the file
// it named, told by the journal's transaction it was seen in, never with a later file's
// size or bytes.
#include <gtest/gtest.h>

#include "base/result_codes.h"
#include "support/recovered_fixture.h"

namespace kestrune {
namespace {

TEST(ExtInodeReuse, EachNameGetsItsOwnFileThoughLaterFilesTookItsInode) {
    test::RecoveredFixture volume("ext/inode_reuse.img.gz", "ext/inode_reuse.json");
    size_t deleted = 0, intact = 0, overwritten = 0;
    for (const auto& file : volume.manifest["files"]) {
        if (file["state"] != "deleted") continue;
        ++deleted;
        const std::string path = file["folder"].get<std::string>() + "/" + file["name"].get<std::string>();
        ASSERT_TRUE(volume.listed.count(path)) << path << " is not listed";
        const RecoveredFile* recovered = volume.Find(file);
        ASSERT_NE(recovered, nullptr) << path;
        EXPECT_EQ(recovered->record.fileSize, file["size"].get<uint64_t>()) << path << " has another file's size";
        if (file["intact"].get<bool>()) {
            ++intact;
            EXPECT_EQ(recovered->result, kOk) << path << ": " << recovered->status;
            EXPECT_EQ(test::RecoveredFixture::Sha256Of(recovered->target), file["sha256"]) << path;
        } else {
            ++overwritten;
            EXPECT_NE(recovered->result, kOk) << path << " is called a success with a later file's bytes";
        }
    }
    EXPECT_EQ(deleted, 60u);
    EXPECT_GE(intact, 4u);
    EXPECT_GE(overwritten, 50u);
}

}  // namespace
}  // namespace kestrune
