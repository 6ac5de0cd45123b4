#include "scanlog/log_names.h"

#include <gtest/gtest.h>

#include "base/result_codes.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

TEST(LogNames, FormatsWithABlankBeforeAOneDigitMinute) {
    std::tm t{};
    t.tm_year = 2016 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 5;
    t.tm_hour = 14;
    t.tm_min = 7;
    EXPECT_EQ(MakeLogName(kQuickLogPrefix, 2048, t), "Fast_2048_201612514 7");
    t.tm_min = 45;
    t.tm_hour = 3;
    EXPECT_EQ(MakeLogName(kSignatureLogPrefix, 0, t), "File_Type_0_2016125345");
    EXPECT_EQ(MakeLogName(kNtfsFormattedLogPrefix, UINT64_MAX, t), "Pro_Ntfs_-1_2016125345") << "printed as a signed number";
}

TEST(LogNames, FindsTheMainFileBeforeItsCompanions) {
    test::TempDir dir;
    for (const char* name : {"Fast_2048_201612514 7_Relation", "Fast_2048_201612514 7_DirInfo",
                             ".Fast_hidden", "Pro_Fat_0_2016125147", "Fast_2048_201612514 7"})
        test::WriteFileBytes(dir / name, {});
    std::string name;
    ASSERT_EQ(FindLogByPrefix("Fast_", dir.path(), name), kOk);
    EXPECT_EQ(name, "Fast_2048_201612514 7");
    ASSERT_EQ(FindLogByPrefix("Pro_Fat_", dir.path(), name), kOk);
    EXPECT_EQ(name, "Pro_Fat_0_2016125147");
    name = "unchanged";
    ASSERT_EQ(FindLogByPrefix("Pro_Ntfs_", dir.path(), name), kOk);
    EXPECT_EQ(name, "unchanged");
    EXPECT_EQ(FindLogByPrefix("Fast_", dir / "missing", name), kErrFileNotFound);
}

}  // namespace
}  // namespace kestrune
