// Local time for trace lines and the data log, safe to call from any thread on every platform
// the link builds for (the C library's localtime and asctime share one buffer).
#pragma once

#include <cstddef>
#include <ctime>

// False when the time cannot be represented as a local time.
bool ToLocalTime(std::time_t t, std::tm* local);

// The asctime text ("Tue Dec  8 09:05:00 2026\n") into out, which holds at least 26 characters.
// False, with out left empty, when the time cannot be written that way.
bool AscTimeText(const std::tm& local, char* out, std::size_t size);
