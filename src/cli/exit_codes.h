// What the kestrune command's exit status means.
#pragma once

namespace kestrune::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitSourceError = 3;

}  // namespace kestrune::cli
