#include "scanlog/file_types.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "base/display_text.h"
#include "base/file_time.h"

namespace kestrune {
namespace {

size_t Items(std::string_view list) { return static_cast<size_t>(std::count(list.begin(), list.end(), '|')) + 1; }

TEST(FileTypes, ListsHoldTheirItems) {
    EXPECT_EQ(Items(PhotoExtensions), 41u);
    EXPECT_EQ(Items(AudioExtensions), 22u);
    EXPECT_EQ(Items(VideoExtensions), 32u);
    EXPECT_EQ(Items(DocumentExtensions), 24u);
    EXPECT_EQ(Items(ArchiveExtensions), 14u);
    EXPECT_EQ(Items(ConvertibleExtensions), 43u);
    EXPECT_EQ(KnownExtensionText().substr(0, 6), "*.bmp|");
    EXPECT_NE(KnownExtensionText().find("*.thm|*.mp3"), std::string::npos);
    EXPECT_NE(KnownExtensionText().find("*.snd|*.doc"), std::string::npos) << "documents before video";
}

TEST(FileTypes, TypeFoldersTestTheGroupsInOrder) {
    EXPECT_EQ(TypeFolderName("song.rm"), "audio") << "audio is tested before video";
    EXPECT_EQ(TypeFolderName("IMG_001.JPG"), "photo");
    EXPECT_EQ(TypeFolderName("clip.mkv"), "video");
    EXPECT_EQ(TypeFolderName("a.b.docx"), "document");
    EXPECT_EQ(TypeFolderName("x.7z"), "archive");
    EXPECT_EQ(TypeFolderName("README"), "others");
    EXPECT_EQ(TypeFolderName("ends.with."), "others");
    EXPECT_EQ(TypeFolderName("tool.exe"), "others");
    EXPECT_EQ(TypeFolderName("odd.p"), "photo") << "plain containment: *.bmp holds p";
}

TEST(FileTypes, IconsFollowTheTypeAndTheContentCheck) {
    EXPECT_EQ(IconFor("FOLDER", 0), "folder.png");
    EXPECT_EQ(IconFor("folder", 1), "folder.png") << "a folder named x.jpg is still a folder";
    EXPECT_EQ(IconFor("jpeg", 1), "image.png");
    EXPECT_EQ(IconFor("jpeg", 0), "image_error.png");
    EXPECT_EQ(IconFor("rm", 1), "music.png");
    EXPECT_EQ(IconFor("EXE", 0), "exe_error.png");
    EXPECT_EQ(IconFor("pdf", 1), "doc.png");
    EXPECT_EQ(IconFor("mkv", 1), "video.png");
    EXPECT_EQ(IconFor("zip", 0), "zip_error.png");
    EXPECT_EQ(IconFor("file", 1), "default.png");
    EXPECT_EQ(IconFor("qqq", 0), "default_error.png");
}

TEST(FileTypes, ResultsAreFiledUnderTheOptionsFirstExtension) {
    std::vector<ScanRecord> results(5);
    SetRecordName(results[0], "photo.JPEG");
    SetRecordName(results[1], "b.jpg");
    SetRecordName(results[2], "notes");
    SetRecordName(results[3], "page.HTM");
    SetRecordName(results[4], "c.jpeg");
    const ExtensionIndex index = BuildExtensionIndex(results);
    ASSERT_EQ(index.size(), 3u);
    EXPECT_EQ(index.at("jpg"), (std::vector<const ScanRecord*>{&results[0], &results[1], &results[4]}));
    EXPECT_EQ(index.at("unknow"), (std::vector<const ScanRecord*>{&results[2]}));
    EXPECT_EQ(index.at("html"), (std::vector<const ScanRecord*>{&results[3]}));
    for (auto [from, to] : {std::pair{"tiff", "tif"}, {"scr", "pcx"}, {"midi", "mid"}, {"m4p", "m4a"},
                            {"docx", "doc"}, {"xlsx", "xls"}, {"pptx", "ppt"}, {"PNG", "png"}})
        EXPECT_EQ(NormaliseExtension(from), to);
}

TEST(FileTypes, SearchPatternFromRegisteredExtensionsOrAllGroups) {
    EXPECT_EQ(BuildSearchPattern({"png", "jpg", "other"}), "*.jpg|*.other|*.png");
    const std::string all = BuildSearchPattern({});
    EXPECT_EQ(all.find(".other"), std::string::npos);
    EXPECT_EQ(all.find("*.bmp|"), 0u);
    EXPECT_NE(all.find("*.snd|*.rmvb|"), std::string::npos) << "photo, audio, video, document, archive";
    EXPECT_NE(all.find("*.accdb|*.zip|"), std::string::npos);
}

TEST(FileTypes, SizesDurationsAndTimesReadAsShown) {
    EXPECT_EQ(FormatSize(0), "0 Bytes");
    EXPECT_EQ(FormatSize(1023), "1023 Bytes");
    EXPECT_EQ(FormatSize(1024), "1.00 KB");
    EXPECT_EQ(FormatSize(1572864), "1.50 MB");
    EXPECT_EQ(FormatSize(1073741823), "1024.00 MB");
    EXPECT_EQ(FormatSize(1073741824), "1.00 GB");
    EXPECT_EQ(FormatSize(1ULL << 41), "2.00 TB");
    EXPECT_EQ(FormatDuration(59), "59 Sec");
    EXPECT_EQ(FormatDuration(60), "1 Min 0 Sec");
    EXPECT_EQ(FormatDuration(3599), "59 Min 59 Sec");
    EXPECT_EQ(FormatDuration(3600), "1 Hour 0 Min");
    EXPECT_EQ(FormatDuration(3 * 3600 + 7 * 60 + 5), "3 Hour 7 Min");

    const uint64_t stamp = FileTimeFromCalendar({2016, 12, 5, 14, 7, 9, 0});
    EXPECT_EQ(FormatFileTime(stamp), "2016-12-05 14:07:09");
    EXPECT_EQ(FormatFileTime(0), "1601-01-01 00:00:00");
    EXPECT_EQ(FormatFileTime(FileTimeFromCalendar({2000, 2, 29, 23, 59, 59, 0})), "2000-02-29 23:59:59");
    EXPECT_EQ(FormatFileTime(UINT64_MAX).substr(0, 6), "60056-") << "no overflow at the far end";
    // 2016-12-05 14:07:09 UTC is 1480946829 in Unix time.
    EXPECT_EQ(FileTimeFromUnix(1480946829), stamp);
    EXPECT_EQ(UnixSecondsFromFileTime(stamp), 1480946829);
    EXPECT_EQ(FileTimeFromUnix(0), kFileTimeUnixEpoch);
}

}  // namespace
}  // namespace kestrune
