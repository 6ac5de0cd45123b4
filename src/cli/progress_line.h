// The progress line long operations draw on a terminal, and Ctrl-C as a cancel.
#pragma once

#include <cstdint>
#include <string>

#include "base/run_progress.h"

namespace kestrune::cli {

// Installs the Ctrl-C handler: the first Ctrl-C sets InterruptToken, so the running
// operation stops at its next report; the default action is restored after it.
void InstallInterruptHandler();
CancelToken& InterruptToken();
bool Interrupted();

// A progress sink that draws "percent, sectors, files, time left" on stderr when stderr
// is a terminal, at most ten times a second.
void DrawRunProgress(const RunProgress& progress);
// Draws one free-form progress text (same rules).
void DrawProgress(const std::string& text);
// Clears the line, if one was drawn.
void EndProgress();

}  // namespace kestrune::cli
