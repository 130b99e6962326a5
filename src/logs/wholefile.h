// Whole-file reads and writes shared by the log writers and the settings file.
#pragma once

#include <cstddef>
#include <string>

namespace veltrin {

// Writes `bytes` into a new temporary file beside `path`, flushes it to disk and renames it over
// `path`, so a reader sees either the old file or the whole new one. On failure the temporary
// file is removed, any old file at `path` is left as it was, false is returned and, when `error`
// is given, it receives a message naming `path` and the system's reason.
// The new file is created with `mode` less the umask; with `exactmode` it gets exactly `mode`
// (used for files that hold credentials).
bool WriteWholeFile(const std::string& path, const std::string& bytes, unsigned mode, bool exactmode,
                    std::string* error = nullptr);

// Removes the temporary files an earlier WriteWholeFile to `path` left behind when its process
// died mid-save: files in the same folder named like its temporaries, plain files of this user,
// whose writer process is gone and whose lock nobody holds. WriteWholeFile calls it before every
// write. Returns how many were removed.
std::size_t RemoveStaleTemporaries(const std::string& path);

// Reads the regular file at `path` whole into `bytes`. Returns 0 on success, else an errno
// value: the open or read error, EINVAL for something that is not a regular file (a FIFO or
// device is never waited on), EFBIG when the file holds more than `maxbytes` bytes (nothing is
// returned then).
int ReadWholeFile(const std::string& path, std::size_t maxbytes, std::string& bytes);

}  // namespace veltrin
