// The front ends reach the core only through the session (and the plain record types
// below it): what they include, and everything that includes in turn, must never pull in
// an engine or the code that writes recovered files. A new include that breaks the wall
// fails here with the chain that crossed it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kSourceRoot = KESTRUNE_SOURCE_DIR;

// The file a line's `#include "..."` names, or "" for any other line.
std::string QuotedInclude(std::string_view line) {
    auto skipBlanks = [&line] {
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    };
    skipBlanks();
    if (!line.starts_with('#')) return "";
    line.remove_prefix(1);
    skipBlanks();
    if (!line.starts_with("include")) return "";
    line.remove_prefix(7);
    skipBlanks();
    if (!line.starts_with('"')) return "";
    line.remove_prefix(1);
    const size_t end = line.find('"');
    return end == std::string_view::npos ? "" : std::string(line.substr(0, end));
}

// The quoted includes of a file that name a file of the source tree (relative to it).
std::vector<std::string> IncludesOf(const fs::path& file) {
    std::vector<std::string> found;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        const std::string named = QuotedInclude(line);
        if (!named.empty() && fs::is_regular_file(kSourceRoot / named)) found.push_back(named);
    }
    return found;
}

// Every file of the tree that start includes, however indirectly, each with the chain of
// includes that reached it.
std::map<std::string, std::string> ReachedFrom(const std::string& start) {
    std::map<std::string, std::string> chain{{start, start}};
    std::vector<std::string> queue{start};
    while (!queue.empty()) {
        const std::string file = queue.back();
        queue.pop_back();
        for (const std::string& next : IncludesOf(kSourceRoot / file))
            if (chain.emplace(next, chain[file] + " -> " + next).second) queue.push_back(next);
    }
    return chain;
}

std::vector<std::string> FrontEndFiles() {
    std::vector<std::string> files;
    for (const char* folder : {"cli", "ui"})
        for (const auto& entry : fs::recursive_directory_iterator(kSourceRoot / folder)) {
            const std::string extension = entry.path().extension().string();
            if (extension == ".cpp" || extension == ".h")
                files.push_back(fs::relative(entry.path(), kSourceRoot).generic_string());
        }
    return files;
}

TEST(IncludeWalls, FrontEndsReachNoEngineAndNoFileWriterExceptThroughTheSession) {
    const std::vector<std::string> files = FrontEndFiles();
    ASSERT_GT(files.size(), 20u) << "the front ends' sources were not found under " << kSourceRoot;
    std::set<std::string> crossings;
    for (const std::string& file : files)
        for (const auto& [reached, chain] : ReachedFrom(file))
            if (reached.starts_with("engines/") || reached.starts_with("output/")) crossings.insert(chain);
    for (const std::string& chain : crossings) ADD_FAILURE() << "crosses the wall: " << chain;
}

TEST(IncludeWalls, TheWallCheckSeesAnIndirectInclude) {
    // The session's own sources do reach the engines: the walk must find that.
    bool reachesEngines = false;
    for (const auto& [reached, chain] : ReachedFrom("session/scan_run.cpp"))
        reachesEngines = reachesEngines || reached.starts_with("engines/");
    EXPECT_TRUE(reachesEngines);
}

}  // namespace
