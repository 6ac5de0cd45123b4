// Which deleted file a free cluster belongs to, on a FAT or exFAT volume.
//
// Deletion frees a file's chain, so nothing says any more which clusters were its own.
// Read from its first cluster on over every free cluster, a file written round another
// deleted file's clusters comes back with that file's bytes in it. Each deleted file
// therefore claims its first cluster, and each file whose reading over unclaimed free
// clusters takes nothing another file's reading takes claims those clusters too; a file
// reads over free clusters that nobody else claims. Where two readings want the same
// clusters, the newer file takes them first (it was written last, over the other), and
// the older reads round them.
//
// Claims are kept as ranges, so millions of deleted entries fit in memory, and the work of
// laying files out is bounded by a budget of clusters walked, so contradicting entries
// (sizes larger than the free space, one first cluster claimed by many) cannot hang a scan.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk/sector_source.h"
#include "engines/found_data.h"
#include "scanlog/scan_record.h"

namespace kestrune {

struct ClusterRun {
    uint32_t first = 0;
    uint32_t count = 0;
    bool operator==(const ClusterRun&) const = default;
};

// How a file's clusters were settled.
enum class ClaimSettled {
    Unknown,       // no such file was added: read it as before, from the table
    Alone,         // no other file's reading wanted any of its clusters
    ByAge,         // others wanted some: the newer file got them
    Contradicted,  // its first cluster is another file's too, or the free space ends first
};

class FreedClusterClaims {
public:
    // The first cluster after cluster that the allocation table leaves free; false when
    // none is left before the volume's end.
    using NextFreeFn = std::function<bool(uint32_t cluster, uint32_t& next)>;

    // A deleted file: its first cluster, how many clusters its size needs, and how new it
    // is (a larger value was written later: its creation time where known).
    struct FileFacts {
        uint64_t newness = 0;
        // When it was last written to (0: not known).
        uint64_t lastWritten = 0;
        // Its first cluster was seen to hold the file's own start (its type's signature, or
        // the whole of a one-cluster file), so that no other file's data lies there.
        bool startSeen = false;
    };
    void AddFile(uint32_t first, uint32_t clusters, FileFacts facts);
    void AddFile(uint32_t first, uint32_t clusters, uint64_t newness) { AddFile(first, clusters, FileFacts{newness}); }
    // Free clusters that hold something else known (a deleted folder's entries).
    void Hold(uint32_t first, uint32_t count);
    // Lays every file out; maxSteps bounds the clusters walked in all.
    void Settle(const NextFreeFn& nextFree, uint64_t maxSteps);

    // The clusters of the file added with this first cluster and count, in file order.
    ClaimSettled LayoutOf(uint32_t first, uint32_t clusters, std::vector<ClusterRun>& runs) const;
    size_t FileCount() const { return files_.size(); }
    // Whether the claims' reading of the file added with this first cluster and count,
    // where it steps round clusters its plain reading takes, is borne out: one of the
    // clusters it steps round holds something else for sure (a folder's entries, a
    // stream's own clusters), or is the start of a file that was there when this one was
    // written (ThereWhenWritten). Without that, stepping round another deleted file's
    // claim is only a guess.
    bool StepsRoundKnownData(uint32_t first, uint32_t clusters, const std::vector<ClusterRun>& plain) const;

private:
    struct File {
        uint32_t first;
        uint32_t clusters;
        FileFacts facts;
        ClaimSettled settled = ClaimSettled::Unknown;
        size_t runsAt = 0, runCount = 0;  // in runs_
    };

    // Whether other, whose first cluster lies in file's plain reading, was there when file
    // was written, so that file went round all of it: its start is still seen there (had
    // it been gone, file would have been written over it), or it was made while file was
    // (after file was made, before file was last written to).
    static bool ThereWhenWritten(const File& other, const File& file);
    const File* FileAt(uint32_t first, uint32_t clusters) const;
    // The index of the first file (files_ sorted by first cluster) starting at cluster or after.
    size_t FirstStartingFrom(uint32_t cluster) const;

    void Claim(uint32_t first, uint32_t count);
    static void AddRange(std::map<uint32_t, uint32_t>& ranges, uint32_t first, uint32_t count);
    // The end of the range of ranges that holds cluster, or 0 when none does.
    static uint32_t RangeEndHolding(const std::map<uint32_t, uint32_t>& ranges, uint32_t cluster);
    // The end of the claimed range holding cluster, or 0 when it is not claimed.
    uint32_t ClaimedUntil(uint32_t cluster) const;
    // The file's reading over unclaimed free clusters; false when it cannot be completed
    // (or the budget ran out).
    // steppedRound (when given) gets the claimed stretches the reading jumped.
    bool Walk(const File& file, const NextFreeFn& nextFree, std::vector<ClusterRun>& out,
              std::vector<ClusterRun>* steppedRound = nullptr);
    // Lays out a file whose reading another's wants too, after the files whose starts are
    // seen inside its reading.
    void LayOutDisputed(File& file, const NextFreeFn& nextFree, int depth);
    // Lays the file out along runs, which it claims.
    void Keep(File& file, const std::vector<ClusterRun>& runs, ClaimSettled how);

    std::vector<File> files_;
    std::vector<ClusterRun> runs_;
    std::map<uint32_t, uint32_t> claimed_;  // first cluster -> end, ranges kept apart and merged
    std::map<uint32_t, uint32_t> known_;    // the same, for clusters held for something else
    uint64_t stepsLeft_ = 0;
};

// What a deleted file is read along. runs empty: the plain reading over every free
// cluster in turn (the claims know nothing sure of the file). guessed: the metadata left
// more than one layout and nothing in the file's bytes confirmed the one taken.
struct FreedLayout {
    std::vector<ClusterRun> runs;
    bool guessed = false;
    // A guess whose type the continuation search can follow keeps the reading not taken
    // too: the search runs once, when the file is read (SearchFreedLayout).
    std::vector<ClusterRun> other;
    bool searched = false;
    // One run from the first cluster, taken for a searchable file without reading it (a
    // listing does not read every photo): reading the file tests it, and a reading its
    // content refutes becomes a guess that the search looks on from.
    bool untested = false;
};

// The layouts chosen for a volume's deleted files. Two deleted files may share a first
// cluster and a length, but not their sizes and types, which decide what their bytes must
// hold: each gets a layout of its own.
struct FreedFileKey {
    uint32_t first = 0;
    uint64_t size = 0;
    std::string extension;  // lower case
    auto operator<=>(const FreedFileKey&) const = default;
};
using ChosenLayouts = std::map<FreedFileKey, FreedLayout>;
FreedFileKey FreedFileKeyOf(const ScanRecord& record);

// Looks for where a file went on after a reading that its content refutes (see
// continuation_search.h); set only for files whose type the search can follow.
using ContinuationFinder = std::function<std::optional<std::vector<ClusterRun>>(const std::vector<ClusterRun>&)>;

// What, besides the file's own bytes, speaks for one reading or the other.
struct LayoutEvidence {
    // The continuation search can follow the file's type (see continuation_search.h).
    bool searchable = false;
    // Its entry says it was written in pieces.
    bool writtenInPieces = false;
    // The claims' reading steps round clusters known to hold something else
    // (FreedClusterClaims::StepsRoundKnownData).
    bool stepsRoundKnownData = false;
};

// Where the claims' layout differs from the plain reading, the type's structure decides:
// the layout in which it holds to the file's end, and it does not in the other, is taken.
// Where the bytes do not tell them apart, the plain reading is taken unless the claims'
// reading steps round known data; either way the layout is a guess. A file the
// continuation search can follow is tested even where the readings agree, if they step
// over other clusters or its entry says it was written in pieces.
FreedLayout ChooseFreedLayout(ClaimSettled settled, std::vector<ClusterRun> claimed,
                              const std::vector<ClusterRun>& plain,
                              const std::function<bool(const std::vector<ClusterRun>&)>& structureHolds,
                              const LayoutEvidence& evidence = {});

// Where no reading of a searchable file held, looks once for where it went on after the
// claims' reading, then after the plain one; a layout found replaces the guess. A layout
// taken untested is tested first (structureHolds), and searched on from only when its
// content refutes it. Only a reading of the file runs it: a listing maps every deleted
// photo, and the search reads the first sector of many free clusters.
void SearchFreedLayout(FreedLayout& layout, const ContinuationFinder& findContinuation,
                       const std::function<bool(const std::vector<ClusterRun>&)>& structureHolds);

// Whether a file read along a guessed layout is known not to be the file: its content was
// followed along every reading and held along none.
bool LayoutRefuted(std::string_view name, uint64_t size, bool guessed);

// What a deleted file's first cluster (at clusterSector) is seen to hold.
enum class FirstClusterHolds {
    // What the file cannot hold, so that it lies under a file written later and its claim
    // would only make that file skip its own cluster: a text file whose start is no text;
    // a file of one cluster whose last sector goes on past its end with other bytes
    // (systems write zeros there), or whose last bytes are zeros (the end of a shorter
    // file written over it).
    OtherData,
    // The file's own start: a one-cluster file that ends where its size says, or a file
    // whose type has a signature (the record's content check found it there).
    ItsStart,
    // Nothing either way: text or data with no signature of its own.
    Unknown,
};
FirstClusterHolds FirstClusterOf(SectorSource& source, uint64_t clusterSector, uint32_t bytesPerSector,
                                 uint32_t clusterBytes, const ScanRecord& record);

// Whether a file of this name and size has a structure that tells its end and is small
// enough to be read whole to test it; and whether the file read from reader has it.
bool HasTestableStructure(std::string_view name, uint64_t size);
bool StructureHoldsAlong(PieceReader& reader, std::string_view name, uint64_t size);

}  // namespace kestrune
