// The console's machine-readable output: JSON lines and CSV.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "cli/rowstats.h"

namespace veltrin::cli {

// A JSON string literal, quotes included; invalid UTF-8 becomes U+FFFD.
std::string JsonString(std::string_view text);
// "2026-12-10T04:00:10.123Z"
std::string IsoTime(std::chrono::system_clock::time_point when);

// One line each, without the line end.
// rttms: the round trip with microsecond resolution, written with up to three decimals.
std::string ReplyEvent(int row, const RowAccount& account, int ttl, double rttms, int bytes,
                       std::chrono::system_clock::time_point when);
std::string StateEvent(int row, const RowAccount& account, RowState previous, std::chrono::system_clock::time_point when);
std::string SummaryJson(int row, const RowAccount& account);

// Milliseconds with up to three decimals and no trailing zeros: "0.042", "12.5", "3".
std::string MillisecondsText(double ms);

std::string CsvHeader();
std::string CsvLine(const RowAccount& account);
// A CSV field, quoted when it holds a comma, quote, CR or LF; invalid UTF-8 becomes U+FFFD.
std::string CsvField(std::string_view text);

}  // namespace veltrin::cli
