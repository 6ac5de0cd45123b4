// The progress line long operations draw on a terminal, and Ctrl-C as a cancel.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune::cli {

// Installs the Ctrl-C handler: the first Ctrl-C asks the running operation to stop (its
// next progress callback answers CancelCode); the default action is restored after it.
void InstallInterruptHandler();
bool Interrupted();

// A scan progress callback (ScanProgressFn) that draws "percent, sectors, files, time
// left" on stderr when stderr is a terminal, and answers CancelCode after Ctrl-C.
int ScanProgressLine(void* userData, int percent, int weight, int secondsRemaining, uint64_t processed,
                     uint64_t total, uint64_t found, int reserved);
// Draws one free-form progress text (same rules).
void DrawProgress(const std::string& text);
// Clears the line, if one was drawn.
void EndProgress();

}  // namespace kestrune::cli
