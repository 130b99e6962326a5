// One memory file per fuzz target, filled anew with each input: the loaders under test open it by
// name and read it with their own file code, without a file created and destroyed per input.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzhelp {

class MemFile {
public:
    explicit MemFile(const char* name) : fd_(::memfd_create(name, MFD_CLOEXEC)) {
        if (fd_ >= 0) path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;

    // Makes the file hold exactly `data`; false when it could not.
    bool Fill(const std::uint8_t* data, std::size_t size) {
        if (fd_ < 0 || ::ftruncate(fd_, 0) != 0) return false;
        off_t at = 0;
        while (size > 0) {
            const ssize_t done = ::pwrite(fd_, data, size, at);
            if (done <= 0) return false;
            data += done;
            at += done;
            size -= static_cast<std::size_t>(done);
        }
        return true;
    }

    const std::string& path() const { return path_; }

private:
    int fd_;
    std::string path_;
};

}  // namespace fuzzhelp
