// An ext4 volume used for months, its 1 MiB journal wrapped many times over (see
// make_ext_aged_images.sh): the formatted scan names what the journal still names, and
// carves the rest from the free blocks, text included, so that it gets back at least as
// many intact files byte for byte as PhotoRec (768 of 782), and no name with wrong bytes.
#include <gtest/gtest.h>

#include <set>

#include "base/result_codes.h"
#include "support/recovered_fixture.h"

namespace kestrune {
namespace {

TEST(AgedExt4, TheFormattedScanGetsBackWhatPhotoRecDoesAndNamesNoFileWrongly) {
    test::RecoveredFixture volume("ext/aged.img.gz", "ext/aged.json", ScanMode::Formatted);
    std::set<std::string> written;  // sha256 of every file written whole
    for (const auto& [path, file] : volume.byPath)
        if (file.result == kOk) written.insert(test::RecoveredFixture::Sha256Of(file.target));
    size_t intact = 0, exact = 0, named = 0;
    for (const auto& file : volume.manifest["deleted"]) {
        if (file["intact"].get<bool>()) {
            ++intact;
            exact += written.count(file["sha256"].get<std::string>());
        }
        const RecoveredFile* byName = volume.Find(file);
        if (!byName || byName->result != kOk) continue;
        ++named;
        EXPECT_EQ(test::RecoveredFixture::Sha256Of(byName->target), file["sha256"]) << file["name"];
    }
    EXPECT_GE(intact, 700u);
    EXPECT_GE(exact, 768u);
    EXPECT_GE(named, 100u);
}

}  // namespace
}  // namespace kestrune
