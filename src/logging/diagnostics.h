// Diagnostic reports: an unexpected condition, named by an "ALE-" code, turned
// into a multi-line report in the log. The fatal variant precedes the end of
// the process (its caller ends it).
#pragma once

#include <cstddef>
#include <cstdint>

#include "logging/log.h"

namespace kiv::diag {

inline constexpr const char* kStartTimeConversionFailed = "ALE-8A14EBBK";
inline constexpr const char* kIncompatibleHostVersion = "ALE-EECF0606";

// Builds the report text into `buffer` (always terminated, cut to its size);
// returns the length written. Empty fields (and line 0) leave their section out.
std::size_t BuildReport(char* buffer, std::size_t size, const char* code, const char* file, int32_t line,
                        const char* function, const char* description);

// Formats the description (cut to 1023 characters) and logs the report at
// level ERROR with group mask 1.
void Report(const char* code, const char* file, int32_t line, const char* function, const char* format, ...)
    KIV_PRINTF_FORMAT(5, 6);

void FatalReport(const char* code, const char* description, const char* file, int32_t line, const char* function);

}  // namespace kiv::diag
