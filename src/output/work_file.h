// Writing a recovered file so that it is never taken for whole before it is: through a
// work file of its own, published under its name only once written whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

namespace kestrune {

// What a write through a work file tells as it goes, so that a note of it can be kept that
// a kill cannot get ahead of: the work file's name just before it is made, and each name
// just before the whole file tries to take it.
struct WorkFileNotes {
    std::function<void(const std::filesystem::path&)> making, naming;
};

// What became of a file written through a work file: the name it took when whole, or where
// what could be written was kept (both empty when nothing was kept).
struct WrittenFile {
    std::filesystem::path published, partial;
};

// Writes a found file of fileSize bytes, through write (given a path), into a work file
// beside wanted named ".NAME.kestrune-XXXXXXXX.EXT" (so that a person who finds it after a
// crash sees whose it is), made exclusively in a folder held open, never through a link.
// Whole, it is synced and takes wanted's name, or the first free "NAME(1).EXT",
// "NAME(2).EXT"...: the free name is found and taken in one step (a rename that never
// replaces), so no file is ever overwritten. Otherwise what was written is kept as
// "NAME.partial.EXT" (or "NAME.partial(n).EXT"), or removed when empty, so that it cannot
// pass for the whole file. An encrypted file's stored bytes, which write leaves beside
// the work file, are published beside wanted. A work file left short of fileSize (its
// folder moved away while write wrote by path) fails. Only files made here are renamed
// or removed. Returns write's result, or why the file could not be made or published.
int WriteThroughWorkFile(const std::filesystem::path& wanted, uint64_t fileSize,
                         const std::function<int(const std::filesystem::path& work)>& write, WrittenFile& written,
                         const WorkFileNotes& notes = {});

}  // namespace kestrune
