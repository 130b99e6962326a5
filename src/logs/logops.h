// The log save and address import operations, without any dialog: the window that owns the
// command shows its dialog, passes the chosen name here and shows the message the result asks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "engine/u_header.h"
#include "logs/logfiles.h"

namespace veltrin {

enum class LogSaveResult {
    Cancelled,  // the chosen name was empty (dialog cancelled): nothing done
    Exists,     // the file to write exists and replacing it was not agreed: nothing written
    Failed,     // the write failed: the old file (if any) is unchanged
    Saved,      // written whole
};

// What a save does with a file that already has the name it writes.
enum class ExistingLog { Keep, Replace };

// Address files larger than this are refused whole (an address log line is some 60 bytes, so
// this is about a million addresses).
inline constexpr std::size_t kMaxAddressFileBytes = std::size_t{64} << 20;
// One import appends at most this many rows; the lines after that are ignored.
inline constexpr std::size_t kMaxImportRows = 1000000;

// A mail text built from log lines holds at most this many bytes: it is mailed, shown in the
// settings window and may be saved with the settings, none of which suits an unbounded text.
inline constexpr std::size_t kMaxMailTextBytes = std::size_t{4} << 20;

// JoinCommaText of `lines`, or, when that would pass kMaxMailTextBytes, of the leading lines
// that fit followed by one line telling how many lines were cut.
std::string MailTextOf(const std::vector<std::string>& lines);

// True when something other than a folder exists under exactly `name`.
bool LogFileExists(const std::string& name);

// The file a dialog-chosen name is written to: `chosen` with `extension` (".spl") added unless
// it already ends with it, letters in any case ("x.spl" and "x.SPL" stay, "x" becomes "x.spl").
// An empty `chosen` stays empty.
std::string LogTarget(const std::string& chosen, const std::string& extension);

// "Save address log": one MainLogLine per row written whole to LogTarget(chosen, ".spl").
// An existing file of that name is replaced only with ExistingLog::Replace (the window asks
// first); otherwise the result is Exists and nothing changes. On Saved, and only then,
// `emailtext` becomes MailTextOf the lines when `sendsetting` is exactly "all".
// Failed comes with the text to show in `error` when given.
LogSaveResult SaveAddressLog(const std::string& chosen, const std::vector<AddressRow>& rows,
                             const std::string& sendsetting, std::string& emailtext,
                             ExistingLog existing = ExistingLog::Keep, std::string* error = nullptr);

// Detail window "Save log": one DetailLogLine per row written to LogTarget(chosen, ".txt"),
// existing files as for SaveAddressLog. On Saved, `emailtext` becomes MailTextOf the lines
// when `sendsetting` is exactly "select log".
LogSaveResult SaveDetailLog(const std::string& chosen, const std::vector<AddressRow>& rows,
                            const std::string& sendsetting, std::string& emailtext,
                            ExistingLog existing = ExistingLog::Keep, std::string* error = nullptr);

// The detail window's periodic save (the caller skips it when savetime is 0). Lines: the
// `ipaddrlabel` text, then one DetailLogLine per row. When `sendsetting` is exactly
// "select log", `emailtext` is set from the lines before the file is written (also when the
// write then fails). The file goes into `folder` (empty: the current folder) under
// AutoDetailLogName(now, TickCount(), next counter), skipping names that already exist.
// Returns false with the text to show in `error` when the write fails; `writtenpath`, when
// given, receives the file's path on success.
bool SaveAutoDetailLog(const std::string& folder, const std::string& ipaddrlabel, const std::vector<AddressRow>& rows,
                       const std::string& sendsetting, std::string& emailtext, std::string& error,
                       std::string* writtenpath = nullptr);

// "<short date> <tick>-<counter>.txt": the date in the locale's short form (strftime "%x",
// so the program's LC_TIME decides), with characters that file systems refuse ("/", "\",
// ":", "*", "?", quote, "<", ">", "|", control characters) replaced by "-".
std::string AutoDetailLogName(std::time_t now, std::uint32_t tick, unsigned counter);

// ICMP info window "Save log": the lines written to LogTarget(chosen, ".txt"), existing files as
// for SaveAddressLog. Failed comes with the text to show in `error`; the window shows
// "Log is successfully archived!" for Saved.
LogSaveResult SaveDumpLog(const std::string& chosen, const std::vector<std::string>& lines, std::string& error,
                          ExistingLog existing = ExistingLog::Keep);

// Applies the import line rule (SplitTextLines, LoadAddressLines) to a file image and appends
// the addresses found to `rows`, at most kMaxImportRows of them, each cut to its bound
// (BoundAddressText). Returns the number appended; `cut`, when given, receives how many of them
// were cut.
std::size_t LoadAddressText(const std::string& bytes, std::vector<AddressRow>& rows, std::size_t* cut = nullptr);

// Reads the address file at `path` whole and appends its addresses as LoadAddressText does.
// Returns false, silently and without touching `rows`, when the file cannot be read, is not a
// regular file or is larger than kMaxAddressFileBytes. Used by the import command and for the
// file named on the command line.
bool LoadAddressFile(const std::string& path, std::vector<AddressRow>& rows, std::size_t* cut = nullptr);

}  // namespace veltrin
