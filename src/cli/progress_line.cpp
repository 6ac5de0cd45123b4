#include "cli/progress_line.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <algorithm>
#include <cstdio>

#include "disk/result_codes.h"
#include "scanlog/file_types.h"

namespace kestrune::cli {

namespace {

std::atomic<bool> gInterrupted{false};
bool gLineDrawn = false;

void OnInterrupt(int) {
    gInterrupted = true;
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
bool Interrupted() { return gInterrupted; }

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

int ScanProgressLine(void*, int enginePercent, int weight, int secondsRemaining, uint64_t processed, uint64_t total,
                     uint64_t found, int) {
    if (gInterrupted) return CancelCode;
    if (!OnTerminal() || !DueForRedraw()) return 0;
    const uint64_t percent = total ? processed * 100 / total : static_cast<uint64_t>(std::max(0, enginePercent * weight / 100));
    std::string text = std::to_string(percent) + "%  " + std::to_string(processed) + "/" +
                       std::to_string(total) + " sectors  " + std::to_string(found) + " found";
    text += secondsRemaining < 0 ? "  estimating time left"
                                 : "  " + FormatDuration(static_cast<uint64_t>(secondsRemaining)) + " left";
    DrawProgress(text);
    return 0;
}

}  // namespace kestrune::cli
