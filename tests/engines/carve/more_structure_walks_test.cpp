// Sound, Photoshop and icon, Office 97-2003, cabinet and program files carved to their
// exact length from their own structure: between pseudo-random bytes, followed directly
// by another file, cut short (the plain rule takes over, or a program is left out), and
// with structures that loop or point outside.
#include <gtest/gtest.h>

#include <map>

#include "engines/carve/compound_document_walk.h"
#include "engines/carve/layered_picture_walks.h"
#include "engines/carve/program_walks.h"
#include "engines/carve/sound_walks.h"
#include "engines/found_data.h"
#include "support/test_support.h"
#include "engines/carve/carved_area.h"

namespace kestrune {
namespace {

using test::MemoryFile;
using test::NoisyImage;
using test::PutBe;
using test::PutLe;

constexpr size_t kSector = 512;

struct Sample {
    std::string name, extension;
    size_t length = 0;  // what the carver gives back; 0: the whole file
};

// Types whose plain rule is a size the header states: cut short, they still come back
// at that size.
bool StatesItsSize(const std::string& extension) {
    return extension == "ico" || extension == "doc" || extension == "xls" || extension == "ppt" || extension == "cab";
}

// Files made by real tools (tests/fixtures/make_carve_more_files.sh), and older ones.
const std::vector<Sample> kSamples = {
    {"cbr_tags.mp3", "mp3"}, {"vbr_id3v2.mp3", "mp3"}, {"mpeg2_ape.mp3", "mp3"},
    {"mpeg25_lyrics.mp3", "mp3"}, {"stereo384.mp2", "mp2"}, {"voices.mid", "mid"},
    {"raw.psd", "psd"}, {"rle.psd", "psd"}, {"layered.psd", "psd"}, {"sizes.ico", "ico"},
    {"letter.doc", "doc"}, {"sheet.xls", "xls"}, {"sectors4096.doc", "doc"}, {"stored.cab", "cab"},
    {"mszip.cab", "cab"}, {"symbols.exe", "exe"}, {"stripped.exe", "exe"}, {"library.dll", "dll"},
    {"signed.exe", "exe"}, {"signed_payload.exe", "exe"},
    // Appended data that no signature bounds is left out: the program ends with its sections.
    {"unsigned_payload.exe", "exe", 14848},
    {"slides.ppt", "ppt"}, {"tone.mp3", "mp3"}, {"song.mid", "mid"}, {"image.psd", "psd"},
    {"icon.ico", "ico"}, {"files.cab", "cab"}};

std::vector<uint8_t> Fixture(const std::string& name) {
    const auto path = test::FixturePath("carve_more/" + name);
    return std::filesystem::exists(path) ? test::ReadFileBytes(path) : test::CarveFixture(name);
}

size_t Expected(const Sample& s, const std::vector<uint8_t>& file) { return s.length ? s.length : file.size(); }

using test::Carve;
using test::RecoverBytes;

TEST(MoreStructureWalks, FilesComeBackExactFromRandomSurroundings) {
    NoisyImage image(29);
    image.Noise(5);
    std::map<std::string, std::vector<uint8_t>> files;
    for (const Sample& s : kSamples) image.Add(s.name, files[s.name] = Fixture(s.name));
    auto carved = Carve(image.bytes);
    for (const Sample& s : kSamples) {
        const uint64_t start = image.startOf[s.name];
        ASSERT_TRUE(carved->bySector.count(start)) << s.name;
        const ScanRecord& record = carved->bySector[start];
        EXPECT_EQ(RecordName(record), std::to_string(start) + "." + s.extension) << s.name;
        const size_t expected = Expected(s, files[s.name]);
        EXPECT_EQ(record.fileSize, expected) << s.name;
        const auto& file = files[s.name];
        EXPECT_EQ(RecoverBytes(*carved, record), std::vector<uint8_t>(file.begin(), file.begin() + expected)) << s.name;
    }
}

TEST(MoreStructureWalks, AFileFollowedDirectlyByAnotherEndsAtItsOwnEnd) {
    NoisyImage image(29);
    std::map<std::string, std::vector<uint8_t>> files;
    for (const Sample& s : kSamples) image.Add(s.name, files[s.name] = Fixture(s.name), 0);
    image.Add("end", test::CarveFixture("image.png"));
    auto carved = Carve(image.bytes);
    for (const Sample& s : kSamples) {
        ASSERT_TRUE(carved->bySector.count(image.startOf[s.name])) << s.name;
        EXPECT_EQ(carved->bySector[image.startOf[s.name]].fileSize, Expected(s, files[s.name])) << s.name;
    }
}

TEST(MoreStructureWalks, AFileCutShortFallsBackToThePlainRuleAndHidesNothing) {
    NoisyImage image(29);
    std::vector<const Sample*> cut;
    for (const Sample& s : kSamples) {
        auto file = Fixture(s.name);
        if (file.size() < 3 * kSector) continue;  // cut at a sector boundary, past the first sector
        file.resize((file.size() / 2 + kSector - 1) / kSector * kSector);
        image.Add(s.name, file, 2);
        image.Add(s.name + " next", test::CarveFixture("image.png"), 1);
        cut.push_back(&s);
    }
    ASSERT_GE(cut.size(), 20u);
    auto carved = Carve(image.bytes);
    for (const Sample* s : cut) {
        const uint64_t start = image.startOf[s->name], next = image.startOf[s->name + " next"];
        EXPECT_TRUE(carved->bySector.count(next)) << s->name << ": the next file is still found";
        // A program whose sections are not all there has no length to carve.
        if (s->extension == "exe" || s->extension == "dll") {
            EXPECT_FALSE(carved->bySector.count(start)) << s->name;
            continue;
        }
        ASSERT_TRUE(carved->bySector.count(start)) << s->name;
        if (StatesItsSize(s->extension)) EXPECT_EQ(carved->bySector[start].fileSize, Fixture(s->name).size()) << s->name;
        else EXPECT_LE(carved->bySector[start].fileSize, (next - start) * kSector) << s->name;
    }
}

// Layer II frames at 384 kbit/s and 48 kHz each look like an MP2 file's start; those
// that fall on a sector boundary do not end the stream, in an MP2 or an MP3 file.
TEST(MoreStructureWalks, FramesThatLookLikeFileStartsDoNotEndTheirStream) {
    const auto mp2 = Fixture("stereo384.mp2");
    // An ID3v2 tag padded to 256 bytes: every fourth frame then starts a sector.
    std::vector<uint8_t> mp3 = Fixture("cbr_tags.mp3");
    mp3.resize(10);
    mp3[6] = 0, mp3[7] = 0, mp3[8] = 0x01, mp3[9] = 0x76;  // 246
    const std::string title = "TIT2\x00\x00\x00\x06\x00\x00\x00Tone";
    mp3.insert(mp3.end(), title.begin(), title.end());
    mp3.resize(256, 0);
    mp3.insert(mp3.end(), mp2.begin(), mp2.end());
    // A frame damaged before the walk trusts the stream: the plain rule runs on through
    // the stream to the next file.
    auto damaged = mp2;
    damaged[2 * 1152 + 1] = 0;
    NoisyImage image(29);
    image.Add("mp2", mp2);
    image.Add("mp3", mp3);
    image.Add("damaged", damaged, 0);
    image.Add("next", test::CarveFixture("image.png"));
    auto carved = Carve(image.bytes);
    ASSERT_TRUE(carved->bySector.count(image.startOf["damaged"]));
    EXPECT_EQ(carved->bySector[image.startOf["damaged"]].fileSize, (image.startOf["next"] - image.startOf["damaged"]) * kSector);
    ASSERT_TRUE(carved->bySector.count(image.startOf["mp2"]));
    EXPECT_EQ(carved->bySector[image.startOf["mp2"]].fileSize, mp2.size());
    ASSERT_TRUE(carved->bySector.count(image.startOf["mp3"]));
    EXPECT_EQ(carved->bySector[image.startOf["mp3"]].fileSize, mp3.size());
}


// An MP3 written without an ID3v2 tag starts with its first frame: found by eight frames
// that follow one another, and its own frames further on, where a sector starts with
// one, are not taken for new files.
TEST(MoreStructureWalks, AnMp3WithoutATagBeforeItIsFoundAndCarvedWhole) {
    const auto tagged = Fixture("cbr_tags.mp3");
    const size_t tag = 10 + ((size_t{tagged[6]} << 21) | (size_t{tagged[7]} << 14) | (size_t{tagged[8]} << 7) | tagged[9]);
    const std::vector<uint8_t> bare(tagged.begin() + static_cast<long>(tag), tagged.end());
    ASSERT_EQ(bare[0], 0xFF);
    // The same frames three times over: a stream long enough for frames to start sectors.
    std::vector<uint8_t> frames(bare.begin(), bare.end() - 128);
    std::vector<uint8_t> longer;
    for (int i = 0; i < 3; ++i) longer.insert(longer.end(), frames.begin(), frames.end());
    longer.insert(longer.end(), bare.end() - 128, bare.end());
    NoisyImage image(31);
    image.Noise(4);
    image.Add("bare", bare);
    image.Add("longer", longer);
    auto carved = Carve(image.bytes);
    for (const char* name : {"bare", "longer"}) {
        const auto& file = std::string(name) == "bare" ? bare : longer;
        ASSERT_TRUE(carved->bySector.count(image.startOf[name])) << name;
        const ScanRecord& record = carved->bySector[image.startOf[name]];
        EXPECT_EQ(RecordName(record), std::to_string(image.startOf[name]) + ".mp3") << name;
        EXPECT_EQ(RecoverBytes(*carved, record), file) << name;
    }
    EXPECT_EQ(carved->bySector.size(), 2u) << "no frame inside a stream starts a file";
    // Random bytes with a frame header in front are no MP3.
    auto noise = test::PatternBytes(8 * kSector, 5);
    std::copy(bare.begin(), bare.begin() + 4, noise.begin());
    EXPECT_TRUE(Carve(noise)->bySector.empty());
}

TEST(MoreStructureWalks, SoundThatPointsOutsideOrIsNoSoundEndsTheWalk) {
    const auto mp3 = Fixture("cbr_tags.mp3");
    EXPECT_EQ(MemoryFile(mp3).Walk(carve::WalkMp3), mp3.size());
    // An ID3v2 tag whose size runs past the file, and one followed by noise, not frames.
    auto huge = mp3;
    huge[6] = 0x7F;
    EXPECT_EQ(MemoryFile(huge).Walk(carve::WalkMp3), std::nullopt);
    auto noise = test::PatternBytes(8 * kSector, 3);
    std::copy(mp3.begin(), mp3.begin() + 10, noise.begin());
    noise[6] = noise[7] = noise[8] = 0, noise[9] = 0x20;
    EXPECT_EQ(MemoryFile(noise).Walk(carve::WalkMp3), std::nullopt);
    // Free-format frames state no length; an MP2 walk wants layer II frames.
    auto free = mp3;
    const size_t frame = 10 + ((size_t{mp3[6]} << 21) | (size_t{mp3[7]} << 14) | (size_t{mp3[8]} << 7) | mp3[9]);
    ASSERT_EQ(mp3[frame], 0xFF);
    free[frame + 2] &= 0x0F;
    EXPECT_EQ(MemoryFile(free).Walk(carve::WalkMp3), std::nullopt);
    EXPECT_EQ(MemoryFile(mp3).Walk(carve::WalkMp2), std::nullopt);
    // A frame header read right: MPEG-1 layer III, 128 kbit/s, 44.1 kHz, padded.
    const uint8_t header[] = {0xFF, 0xFB, 0x92, 0x00};
    const auto facts = carve::ReadMpegAudioFrame(ByteView(header, 4));
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->bytes, 418u);

    // MIDI: a track longer than the file, and more tracks named than there are.
    auto midi = Fixture("voices.mid");
    EXPECT_EQ(MemoryFile(midi).Walk(carve::WalkMidi), midi.size());
    auto longTrack = midi;
    PutBe(longTrack, 18, 0x7FFFFF00);
    EXPECT_EQ(MemoryFile(longTrack).Walk(carve::WalkMidi), std::nullopt);
    auto moreTracks = midi;
    PutBe(moreTracks, 10, 40, 2);
    EXPECT_EQ(MemoryFile(moreTracks).Walk(carve::WalkMidi), std::nullopt);
}

TEST(MoreStructureWalks, PicturesThatPointOutsideEndTheWalk) {
    // A layer section longer than the disk; run-length rows longer than any row can be.
    auto psd = Fixture("layered.psd");
    const ByteView view(psd);
    const size_t layers = 26 + 4 + view.be32(26) + 4 + view.be32(30 + view.be32(26));
    PutBe(psd, layers, 0x7FFFFFF0);
    EXPECT_EQ(MemoryFile(psd).Walk(carve::WalkPsd), std::nullopt);
    auto rle = Fixture("rle.psd");
    const ByteView r(rle);
    size_t at = 26 + 4 + r.be32(26);
    at += 4 + r.be32(at);
    at += 4 + r.be32(at);
    ASSERT_EQ(r.be16(at), 1) << "run-length coded";
    PutBe(rle, at + 2, 0xFFFF, 2);
    EXPECT_EQ(MemoryFile(rle).Walk(carve::WalkPsd), std::nullopt);
    // An icon image placed inside the directory, or one that is neither bitmap nor PNG.
    auto ico = Fixture("sizes.ico");
    auto cursor = ico;
    cursor[2] = 2;  // a cursor's directory is an icon's
    EXPECT_EQ(MemoryFile(cursor).Walk(carve::WalkIco), ico.size());
    auto inside = ico;
    PutLe(inside, 6 + 12, 8);
    EXPECT_EQ(MemoryFile(inside).Walk(carve::WalkIco), std::nullopt);
    auto foreign = ico;
    foreign[6 + 16 * 4 + 1] ^= 0xFF;  // the first image's PNG signature
    EXPECT_EQ(MemoryFile(foreign).Walk(carve::WalkIco), std::nullopt);
}

TEST(MoreStructureWalks, CompoundDocumentsWhoseTablesLoopOrPointOutsideEndTheWalk) {
    const auto doc = Fixture("letter.doc");
    EXPECT_EQ(MemoryFile(doc).Walk(carve::WalkCompoundDocument), doc.size());
    // A DIFAT chain that names itself as its next sector: more FAT sectors claimed than
    // the header lists, so the chain is followed, and it loops.
    auto loop = doc;
    PutLe(loop, 44, 109 + 200);
    PutLe(loop, 72, 2);
    PutLe(loop, 68, 0);
    auto selfLink = loop;
    PutLe(selfLink, 512 + 508, 0);
    EXPECT_EQ(MemoryFile(selfLink).Walk(carve::WalkCompoundDocument), std::nullopt);
    // A FAT sector past the end of the disk.
    auto outside = doc;
    PutLe(outside, 76, 0x00FFFFFF);
    EXPECT_EQ(MemoryFile(outside).Walk(carve::WalkCompoundDocument), std::nullopt);
}

// Sectors of 4096 bytes: the walk reads them in their own size, and when it cannot be
// followed the plain estimate counts 1024 entries to a FAT sector, read at the right place.
TEST(MoreStructureWalks, ACompoundDocumentOf4096ByteSectorsIsMeasuredInItsOwnSectors) {
    const auto doc = Fixture("sectors4096.doc");
    EXPECT_EQ(MemoryFile(doc).Walk(carve::WalkCompoundDocument), doc.size());
    auto odd = doc;
    PutLe(odd, 4096 + 4 * 6, 0xFFFFFFFB);  // the last used entry: a reserved value
    EXPECT_EQ(MemoryFile(odd).Walk(carve::WalkCompoundDocument), std::nullopt);
    NoisyImage image(29);
    image.Add("odd", odd);
    image.Add("end", test::CarveFixture("image.png"));
    auto carved = Carve(image.bytes);
    ASSERT_TRUE(carved->bySector.count(0));
    EXPECT_EQ(RecordName(carved->bySector[0]), "0.doc");
    EXPECT_EQ(carved->bySector[0].fileSize, doc.size());
}

TEST(MoreStructureWalks, ProgramsAndCabinetsThatPointOutsideEndTheWalk) {
    const auto exe = Fixture("stripped.exe");
    EXPECT_EQ(MemoryFile(exe).Walk(carve::WalkPeImage), exe.size());
    const ByteView view(exe);
    const size_t pe = view.le32(60), sections = pe + 24 + view.le16(pe + 20);
    // A section whose data lies far past the disk.
    auto far = exe;
    PutLe(far, sections + 20, 0x7FFF0000);
    EXPECT_EQ(MemoryFile(far).Walk(carve::WalkPeImage), std::nullopt);
    // A certificate table whose entries do not add up to its stated size.
    auto signedExe = Fixture("signed.exe");
    const ByteView s(signedExe);
    const size_t security = s.le32(60) + 24 + (s.le16(s.le32(60) + 24) == 0x20B ? 112 : 96) + 8 * 4;
    const uint32_t certAt = s.le32(security);
    ASSERT_NE(certAt, 0u);
    PutLe(signedExe, certAt, s.le32(certAt) - 64);
    EXPECT_EQ(MemoryFile(signedExe).Walk(carve::WalkPeImage), std::nullopt);

    // A cabinet whose data blocks run past its stated size, and one with no folders.
    const auto cab = Fixture("stored.cab");
    EXPECT_EQ(MemoryFile(cab).Walk(carve::WalkCab), cab.size());
    auto shortSize = cab;
    PutLe(shortSize, 8, cab.size() - 100);
    EXPECT_EQ(MemoryFile(shortSize).Walk(carve::WalkCab), std::nullopt);
    auto noFolders = cab;
    PutLe(noFolders, 26, 0, 2);
    EXPECT_EQ(MemoryFile(noFolders).Walk(carve::WalkCab), std::nullopt);
}

}  // namespace
}  // namespace kestrune
