#include "cli/progress_line.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <algorithm>
#include <cstdio>

#include "base/display_text.h"
#include "base/result_codes.h"
#include "scanlog/file_types.h"

namespace kestrune::cli {

namespace {

CancelToken gInterrupt;
bool gLineDrawn = false;

void OnInterrupt(int) {
    gInterrupt.Cancel();
    std::signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the program at once
}

bool OnTerminal() {
    static const bool terminal = ::isatty(STDERR_FILENO) == 1;
    return terminal;
}

bool DueForRedraw() {
    using clock = std::chrono::steady_clock;
    static clock::time_point last;
    const auto now = clock::now();
    if (now - last < std::chrono::milliseconds(100)) return false;
    last = now;
    return true;
}

}  // namespace

void InstallInterruptHandler() { std::signal(SIGINT, OnInterrupt); }
CancelToken& InterruptToken() { return gInterrupt; }
bool Interrupted() { return gInterrupt.Cancelled(); }

void DrawProgress(const std::string& text) {
    if (!OnTerminal()) return;
    std::fprintf(stderr, "\r\033[K%s", text.c_str());
    std::fflush(stderr);
    gLineDrawn = true;
}

void EndProgress() {
    if (!gLineDrawn) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    gLineDrawn = false;
}

void DrawRunProgress(const RunProgress& progress) {
    if (!OnTerminal() || !DueForRedraw()) return;
    std::string text = std::to_string(progress.percent) + "%";
    if (progress.total != 0)
        text += "  " + std::to_string(progress.done) + "/" + std::to_string(progress.total) +
                (progress.stage == RunStage::Recovering ? " files" : " sectors");
    if (progress.stage == RunStage::Scanning) text += "  " + std::to_string(progress.filesFound) + " found";
    if (progress.stage == RunStage::Imaging && progress.rescuePhase) {
        const char phase = progress.rescuePhase;
        text += phase == '*' ? "  trimming" : phase == '/' ? "  scraping" : phase == '-' ? "  retrying" : "  copying";
        text += "  " + FormatSize(progress.unreadBytes) + " unreadable so far";
    }
    if (progress.stage == RunStage::Scanning || progress.stage == RunStage::Imaging)
        text += progress.secondsLeft < 0
                    ? "  estimating time left"
                    : "  " + FormatDuration(static_cast<uint64_t>(progress.secondsLeft)) + " left";
    DrawProgress(text);
}

}  // namespace kestrune::cli
