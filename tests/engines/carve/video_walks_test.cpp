// Video and animation files carved to their exact length from their own structure:
// lying between pseudo-random bytes (what free space holds), followed directly by another
// file, cut short (the plain rule takes over), and with structures that loop, claim
// absurd sizes or contradict themselves.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "engines/carve/carved_area.h"
#include "engines/carve/signature_table.h"
#include "engines/carve/video_walks.h"
#include "engines/found_data.h"
#include "support/test_support.h"

namespace kestrune {
namespace {

using test::MemoryFile;
using test::NoisyImage;
using test::PutBe;
using test::PutLe;

constexpr size_t kSector = 512;

std::vector<uint8_t> VideoFixture(const std::string& name) {
    return test::ReadFileBytes(test::FixturePath("carve_video/" + name));
}

// name -> the extension it is carved under
const std::vector<std::pair<std::string, std::string>> kVideos = {
    {"moov_first.mp4", "mp4"}, {"moov_last.mp4", "mp4"}, {"clip.mov", "mov"},      {"phone.3gp", "3gp"},
    {"known_size.mkv", "mkv"}, {"live.mkv", "mkv"},      {"clip.webm", "mkv"},     {"clip.flv", "flv"},
    {"mpeg1.mpg", "mpeg"},     {"dvd.vob", "mpeg"},      {"broadcast.ts", "ts"},   {"camera.m2ts", "mts"},
    {"clip.mxf", "mxf"},       {"clip.rm", "rmvb"},      {"clip.wmv", "wmv"},      {"tune.wma", "wmv"},
    {"clip.avi", "avi"},       {"plain.swf", "swf"},     {"compressed.swf", "swf"}};

TEST(VideoWalks, FilesComeBackExactFromRandomSurroundings) {
    NoisyImage image(41);
    image.Noise(5);
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& [name, extension] : kVideos) image.Add(name, files[name] = VideoFixture(name));
    auto carved = test::Carve(image.bytes);
    for (const auto& [name, extension] : kVideos) {
        const uint64_t start = image.startOf[name];
        ASSERT_TRUE(carved->bySector.count(start)) << name;
        const ScanRecord& record = carved->bySector[start];
        EXPECT_EQ(RecordName(record), std::to_string(start) + "." + extension) << name;
        EXPECT_EQ(record.fileSize, files[name].size()) << name;
        EXPECT_EQ(test::RecoverBytes(*carved, record), files[name]) << name;
    }
}

TEST(VideoWalks, AFileFollowedDirectlyByAnotherEndsAtItsOwnEnd) {
    NoisyImage image(41);
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& [name, extension] : kVideos) image.Add(name, files[name] = VideoFixture(name), 0);
    image.Add("end", test::CarveFixture("tool.exe"));
    auto carved = test::Carve(image.bytes);
    for (const auto& [name, extension] : kVideos) {
        ASSERT_TRUE(carved->bySector.count(image.startOf[name])) << name;
        EXPECT_EQ(carved->bySector[image.startOf[name]].fileSize, files[name].size()) << name;
    }
}

TEST(VideoWalks, AFileCutShortFallsBackToThePlainRuleAndHidesNothing) {
    NoisyImage image(41);
    std::vector<std::string> names;
    for (const auto& [name, extension] : kVideos) {
        auto file = VideoFixture(name);
        file.resize((file.size() / 2 + kSector - 1) / kSector * kSector);
        image.Add(name, file, 2);
        image.Add(name + " next", test::CarveFixture("image.png"), 1);
        names.push_back(name);
    }
    auto carved = test::Carve(image.bytes);
    // These plain rules take the size the header states; the next file is still examined.
    const std::map<std::string, uint64_t> statedSizes = {
        {"clip.wmv", VideoFixture("clip.wmv").size()}, {"tune.wma", VideoFixture("tune.wma").size()},
        {"clip.avi", VideoFixture("clip.avi").size()}, {"plain.swf", VideoFixture("plain.swf").size()}};
    for (const auto& name : names) {
        ASSERT_TRUE(carved->bySector.count(image.startOf[name])) << name;
        const uint64_t length = carved->bySector[image.startOf[name]].fileSize;
        if (statedSizes.count(name))
            EXPECT_EQ(length, statedSizes.at(name)) << name;
        else  // the other plain rules run into the noise, never past the next file
            EXPECT_LE(length, (image.startOf[name + " next"] - image.startOf[name]) * kSector) << name;
        EXPECT_TRUE(carved->bySector.count(image.startOf[name + " next"])) << name << ": the next file is still found";
    }
}

// The last occurrence: a Matroska element's ID also stands in the seek index before it.
size_t FindLast(const std::vector<uint8_t>& bytes, std::string_view what) {
    const std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const size_t at = all.rfind(what);
    EXPECT_NE(at, std::string_view::npos) << what;
    return at;
}

size_t Find(const std::vector<uint8_t>& bytes, std::string_view what, size_t from = 0) {
    const std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const size_t at = all.find(what, from);
    EXPECT_NE(at, std::string_view::npos) << what;
    return at;
}

TEST(VideoWalks, AtomsOfSizeZeroOrOfAHugeLargeSizeGiveNoLength) {
    // moov_last.mp4: ftyp, free, mdat, moov. The free atom made 64-bit with a huge size
    // (the 8 bytes after it hold the largesize: the mdat's header is overwritten).
    auto huge = VideoFixture("moov_last.mp4");
    const size_t free = Find(huge, "free") - 4;
    PutBe(huge, free, 1);
    PutBe(huge, free + 8, 0x7FFFFFFF), PutBe(huge, free + 12, 0xFFFFFF00);
    EXPECT_EQ(MemoryFile(huge).Walk(carve::WalkIsoMedia), std::nullopt);
    // An atom that runs "to the end of the file" names no end the walk could trust.
    auto open = VideoFixture("moov_last.mp4");
    PutBe(open, Find(open, "mdat") - 4, 0);
    EXPECT_EQ(MemoryFile(open).Walk(carve::WalkIsoMedia), std::nullopt);
    // A 64-bit size that is honest is followed.
    auto large = VideoFixture("moov_first.mp4");
    const size_t mdat = Find(large, "mdat") - 4;
    const uint32_t mdatSize = ByteView(large).be32(mdat);
    const size_t freeAt = mdat - 8;  // ffmpeg writes a free atom right before mdat for this
    ASSERT_TRUE(ByteView(large).matches(freeAt + 4, "free"));
    PutBe(large, freeAt, 1);
    std::memcpy(large.data() + freeAt + 4, "mdat", 4);
    PutBe(large, freeAt + 8, 0), PutBe(large, freeAt + 12, mdatSize + 8);
    EXPECT_EQ(MemoryFile(large).Walk(carve::WalkIsoMedia), large.size());
    // A sector that starts with a bare movie atom type has lost its atom's size.
    std::vector<uint8_t> bare(VideoFixture("moov_first.mp4"));
    bare.erase(bare.begin(), bare.begin() + static_cast<long>(Find(bare, "moov")));
    EXPECT_EQ(MemoryFile(bare).Walk(carve::WalkIsoMedia), std::nullopt);
    // Movie data without its movie atom cannot be told from its end.
    auto headless = VideoFixture("moov_last.mp4");
    headless.resize(Find(headless, "moov") - 4);
    EXPECT_EQ(MemoryFile(headless).Walk(carve::WalkIsoMedia), std::nullopt);
}

TEST(VideoWalks, MatroskaOfUnknownSizesIsWalkedElementByElement) {
    // live.mkv was written to a pipe: its segment size is unknown. Its cluster's size made
    // unknown too (same width), as live recorders write them.
    auto live = VideoFixture("live.mkv");
    ASSERT_EQ(MemoryFile(live).Walk(carve::WalkMatroska), live.size());
    const size_t cluster = FindLast(live, "\x1F\x43\xB6\x75");
    const int sizeBytes = std::countl_zero(live[cluster + 4]) + 1;
    live[cluster + 4] = static_cast<uint8_t>(0xFF >> (sizeBytes - 1));
    for (int i = 1; i < sizeBytes; ++i) live[cluster + 4 + static_cast<size_t>(i)] = 0xFF;
    EXPECT_EQ(MemoryFile(live).Walk(carve::WalkMatroska), live.size());
    // A block that claims far more than the disk holds: the file was cut short.
    auto cut = VideoFixture("live.mkv");
    const size_t tags = FindLast(cut, "\x12\x54\xC3\x67");
    cut[tags + 4] = 0x01;  // an 8-byte size
    PutBe(cut, tags + 5, 0x00FFFFFF);
    EXPECT_EQ(MemoryFile(cut).Walk(carve::WalkMatroska), std::nullopt);
    // A segment whose size is known is taken as it stands.
    const auto known = VideoFixture("known_size.mkv");
    EXPECT_EQ(MemoryFile(known).Walk(carve::WalkMatroska), known.size());
}

TEST(VideoWalks, TagsAndPacketsThatDisagreeEndTheWalk) {
    // FLV: a tag whose trailing size does not match ends the file before it.
    auto flv = VideoFixture("clip.flv");
    const ByteView view(flv);
    uint64_t at = 13, tagsBefore = 0;
    for (int i = 0; i < 5; ++i) at += 11 + view.be(at + 1, 3) + 4;
    tagsBefore = at;
    const uint64_t sizeAt = at + 11 + view.be(at + 1, 3);
    PutBe(flv, sizeAt, ByteView(flv).be32(sizeAt) + 1);
    EXPECT_EQ(MemoryFile(flv).Walk(carve::WalkFlv), tagsBefore);
    // MPEG: a packet running off the disk.
    auto mpeg = VideoFixture("mpeg1.mpg");
    const size_t packet = Find(mpeg, std::string_view("\x00\x00\x01\xE0", 4));
    mpeg[packet + 4] = 0xFF, mpeg[packet + 5] = 0xFF;
    mpeg.resize(packet + 1000);
    EXPECT_EQ(MemoryFile(mpeg).Walk(carve::WalkMpegProgram), std::nullopt);
    // The end code ends a program stream, whatever follows it.
    auto ended = VideoFixture("dvd.vob");
    const size_t size = ended.size();
    for (uint8_t b : {0x00, 0x00, 0x01, 0xB9, 0x00, 0x00, 0x01, 0xBA}) ended.push_back(b);
    EXPECT_EQ(MemoryFile(ended).Walk(carve::WalkMpegProgram), size + 4);
}

TEST(VideoWalks, IndexesAndStatedSizesMustAgree) {
    // MXF: the random index pack's closing length is wrong.
    auto mxf = VideoFixture("clip.mxf");
    ASSERT_EQ(MemoryFile(mxf).Walk(carve::WalkMxf), mxf.size());
    PutBe(mxf, mxf.size() - 4, 12);
    EXPECT_EQ(MemoryFile(mxf).Walk(carve::WalkMxf), std::nullopt);
    // RealMedia: a chunk claiming less than its own header.
    auto rm = VideoFixture("clip.rm");
    PutBe(rm, Find(rm, "PROP") + 4, 4);
    EXPECT_EQ(MemoryFile(rm).Walk(carve::WalkRealMedia), std::nullopt);
    // ASF: a stated file size the objects do not add up to.
    auto asf = VideoFixture("clip.wmv");
    const size_t properties = Find(asf, std::string_view("\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11", 8));
    asf[properties + 40] ^= 0x10;
    EXPECT_EQ(MemoryFile(asf).Walk(carve::WalkAsf), std::nullopt);
    asf[properties + 40] ^= 0x10;
    asf[properties + 88] |= 1;  // broadcast: still being written
    EXPECT_EQ(MemoryFile(asf).Walk(carve::WalkAsf), std::nullopt);
    // A compressed SWF inflating to another length than its header states.
    auto swf = VideoFixture("compressed.swf");
    swf[4] ^= 0x01;
    EXPECT_EQ(MemoryFile(swf).Walk(carve::WalkCompressedSwf), std::nullopt);
}

TEST(VideoWalks, AnOpenDmlAviGoesOnInItsExtensionChunks) {
    auto avi = VideoFixture("clip.avi");
    const size_t first = avi.size();
    // An extension chunk holding one movie list with one padded chunk.
    const char extension[] = "RIFF\x1C\0\0\0AVIXLIST\x10\0\0\0movi00dc\x03\0\0\0abc\0";
    avi.insert(avi.end(), extension, extension + sizeof extension - 1);
    EXPECT_EQ(MemoryFile(avi).Walk(carve::WalkAvi), avi.size());
    // Chunks that do not fill the RIFF chunk leave its size unconfirmed.
    avi.resize(first);
    PutBe(avi, 4, 0x00010000);
    EXPECT_EQ(MemoryFile(avi).Walk(carve::WalkAvi), std::nullopt);
}

TEST(VideoWalks, SwfOfAnyVersionIsFoundAndNoiseIsNot) {
    for (const char* name : {"plain.swf", "compressed.swf"}) {
        auto swf = VideoFixture(name);
        EXPECT_TRUE(carve::IsSwfHeader(ByteView(swf).sub(0, kSector))) << name;
        swf[3] = 43;  // Flash Player 32 writes version 43
        EXPECT_TRUE(carve::IsSwfHeader(ByteView(swf).sub(0, kSector))) << name;
    }
    size_t accepted = 0;
    for (uint32_t seed = 0; seed < 2000; ++seed) {
        auto noise = test::PatternBytes(kSector, seed);
        std::memcpy(noise.data(), seed % 2 ? "FWS" : "CWS", 3);
        noise[3] = static_cast<uint8_t>(1 + seed % 20);
        accepted += carve::IsSwfHeader(ByteView(noise));
    }
    EXPECT_LE(accepted, 10u);
}

TEST(VideoWalks, TransportPacketsAreFoundWhateverTableComesFirst) {
    // An M2TS stream whose first packet is not the program table: the old test looked for
    // that table at offset 8.
    auto m2ts = VideoFixture("camera.m2ts");
    ASSERT_FALSE(ByteView(m2ts).matches(8, std::string_view("\x00\x00\xB0\x11", 4)));
    NoisyImage image(41);
    image.Noise(3);
    image.Add("camera.m2ts", m2ts);
    // A second copy with a broken packet in the middle: the stream ends before it, and
    // its rest is found again from the first sector that starts on a packet, as one file,
    // not one per packet boundary.
    constexpr size_t kBroken = 40, kPacket = 192;
    auto broken = m2ts;
    broken[kBroken * kPacket + 4] = 0x00;
    image.Add("broken", broken);
    auto carved = test::Carve(image.bytes);
    const uint64_t start = image.startOf["broken"];
    ASSERT_TRUE(carved->bySector.count(start));
    EXPECT_EQ(carved->bySector[start].fileSize, kBroken * kPacket);
    // 48 packets are 18 sectors: the first whole packet on a sector boundary after the
    // broken one.
    const uint64_t rest = start + 48 * kPacket / kSector;
    ASSERT_TRUE(carved->bySector.count(rest));
    EXPECT_EQ(carved->bySector[rest].fileSize, m2ts.size() - 48 * kPacket);
    EXPECT_EQ(carved->bySector.size(), 3u);
}

// Every 47 sectors of a broadcast stream a packet starts on a sector boundary, where a
// new stream would look just the same: a stream that long comes back as one file.
TEST(VideoWalks, ALongTransportStreamIsOneFile) {
    const auto ts = VideoFixture("broadcast.ts");
    std::vector<uint8_t> stream;
    for (int copy = 0; copy < 3; ++copy) stream.insert(stream.end(), ts.begin(), ts.end());
    ASSERT_GT(stream.size(), 47 * kSector * 2);
    NoisyImage image(43);
    image.Noise(2);
    image.Add("stream", stream);
    auto carved = test::Carve(image.bytes);
    ASSERT_TRUE(carved->bySector.count(image.startOf["stream"]));
    EXPECT_EQ(carved->bySector[image.startOf["stream"]].fileSize, stream.size());
    EXPECT_EQ(carved->bySector.size(), 1u);
}

// A video elementary stream has no end the deep scan can see (ffmpeg writes no end code):
// it runs on, but never over a program stream that follows it.
TEST(VideoWalks, AnElementaryStreamDoesNotSwallowTheProgramStreamAfterIt) {
    std::vector<uint8_t> elementary = {0, 0, 1, 0xB3, 0x14, 0x00, 0xF0, 0x13, 0xFF, 0xFF, 0xE0, 0x18,
                                       0, 0, 1, 0xB8, 0x00, 0x08, 0x00, 0x00, 0, 0, 1, 0x00, 0x00, 0x0F};
    const auto pictures = test::PatternBytes(6 * kSector, 3);
    elementary.insert(elementary.end(), pictures.begin(), pictures.end());
    const auto vob = VideoFixture("dvd.vob");
    NoisyImage image(47);
    image.Add("elementary", elementary, 2);
    image.Add("vob", vob);
    auto carved = test::Carve(image.bytes);
    ASSERT_TRUE(carved->bySector.count(image.startOf["elementary"]));
    EXPECT_EQ(carved->bySector[image.startOf["elementary"]].fileSize,
              (image.startOf["vob"] - image.startOf["elementary"]) * kSector);
    ASSERT_TRUE(carved->bySector.count(image.startOf["vob"])) << "the program stream is found";
    EXPECT_EQ(carved->bySector[image.startOf["vob"]].fileSize, vob.size());
}

// A camera writes its clips one after the other: the quick scan's content check takes the
// second clip for what it is, though the sector before it ends in the first clip's packets.
TEST(VideoWalks, ClipsWrittenBackToBackEachPassTheContentCheck) {
    const auto m2ts = VideoFixture("camera.m2ts");
    std::vector<uint8_t> disk = m2ts;
    disk.insert(disk.end(), m2ts.begin(), m2ts.end());
    MemoryFile memory(disk);
    const uint64_t second = m2ts.size() / kSector;
    const ByteView sector = ByteView(disk).sub(m2ts.size(), kSector);
    EXPECT_EQ(carve::SignatureMatchesExtension(sector, "mts", memory.context, second), 1);
}

}  // namespace
}  // namespace kestrune
