// What the results page browses, filed on the search's worker: the found files by
// extension and by the folder they were found in, with each file's place in both.
#pragma once

#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "ui/found_files.h"

namespace kestrune::ui {

inline constexpr uint32_t kNoNode = UINT32_MAX;

// A folder of the folder view: one top folder per scanned target, then the folders of
// the found files' paths.
struct FolderNode {
    QString name;
    uint32_t parent = kNoNode;
    uint32_t row = 0;                // its place among its parent's children
    std::vector<uint32_t> children;  // by name
    std::vector<FoundRef> files;     // the files found directly in this folder
};

struct ResultIndex {
    // Normalised extensions in ascending order ("unknow" for none), with their files in
    // the order they were found.
    std::vector<std::string> extensions;
    std::vector<std::vector<FoundRef>> byExtension;
    std::vector<FolderNode> folders;
    std::vector<uint32_t> folderRoots;
    // For each findings entry and record: its extension's position and its folder.
    std::vector<std::vector<uint32_t>> extensionOf, folderOf;

    uint32_t ExtensionOf(const FoundRef& ref) const { return extensionOf[ref.findings][ref.record]; }
    uint32_t FolderOf(const FoundRef& ref) const { return folderOf[ref.findings][ref.record]; }
};

ResultIndex IndexFindings(const Findings& findings);

}  // namespace kestrune::ui
