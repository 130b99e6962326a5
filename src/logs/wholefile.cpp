#include "logs/wholefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace veltrin {

namespace {

std::atomic<unsigned> tempcounter{0};

std::string Reason(int err) {
    char buffer[256] = {};
    // GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = ::strerror_r(err, buffer, sizeof buffer);
    return text != nullptr ? text : "Unknown error";
}

void SetError(std::string* error, const char* what, const std::string& path, int err) {
    if (error == nullptr) return;
    try {
        *error = std::string(what) + " \"" + path + "\": " + Reason(err);
    } catch (...) {
        // No memory for the message: the caller's false result still reports the failure.
    }
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

// Hidden name in the target's folder, short enough for any file system whatever the target's
// own name length.
std::string TempName(const std::string& folder, const std::string& base) {
    return folder + "." + base.substr(0, 160) + "." + std::to_string(::getpid()) + "-" +
           std::to_string(tempcounter.fetch_add(1, std::memory_order_relaxed)) + ".tmp";
}

}  // namespace

bool WriteWholeFile(const std::string& path, const std::string& bytes, unsigned mode, bool exactmode,
                    std::string* error) {
    std::string temp;
    try {
        const std::size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        if (base.empty() || path.find('\0') != std::string::npos) {
            SetError(error, "Cannot create file", path, base.empty() ? EISDIR : EINVAL);
            return false;
        }
        int fd = -1;
        for (int attempt = 0; attempt < 64 && fd < 0; ++attempt) {
            temp = TempName(folder, base);
            fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                        static_cast<mode_t>(mode & 07777));
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) {
            SetError(error, "Cannot create file", path, errno);
            return false;
        }
        bool ok = true;
        int err = 0;
        if (exactmode && ::fchmod(fd, static_cast<mode_t>(mode & 07777)) != 0) ok = false;
        if (ok && !WriteAll(fd, bytes.data(), bytes.size())) ok = false;
        if (ok && ::fsync(fd) != 0) ok = false;
        if (!ok) err = errno;
        if (::close(fd) != 0 && ok) {
            ok = false;
            err = errno;
        }
        if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
            ok = false;
            err = errno;
        }
        if (!ok) {
            ::unlink(temp.c_str());
            SetError(error, "Cannot write file", path, err);
            return false;
        }
        // Make the rename itself durable; a failure here loses nothing already written.
        const int dirfd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirfd >= 0) {
            ::fsync(dirfd);
            ::close(dirfd);
        }
        return true;
    } catch (...) {
        if (!temp.empty()) ::unlink(temp.c_str());
        SetError(error, "Cannot write file", path, ENOMEM);
        return false;
    }
}

int ReadWholeFile(const std::string& path, std::size_t maxbytes, std::string& bytes) {
    if (path.find('\0') != std::string::npos) return EINVAL;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    int result = 0;
    try {
        struct stat info {};
        if (::fstat(fd, &info) != 0) {
            result = errno;
        } else if (S_ISDIR(info.st_mode)) {
            result = EISDIR;
        } else if (!S_ISREG(info.st_mode)) {
            result = EINVAL;
        } else if (static_cast<std::size_t>(info.st_size) > maxbytes) {
            result = EFBIG;
        } else {
            std::string data;
            data.reserve(static_cast<std::size_t>(info.st_size));
            char buffer[65536];
            for (;;) {
                const ssize_t got = ::read(fd, buffer, sizeof buffer);
                if (got < 0 && errno == EINTR) continue;
                if (got < 0) {
                    result = errno;
                    break;
                }
                if (got == 0) break;
                // The file may grow while it is read; the bound holds regardless.
                if (data.size() + static_cast<std::size_t>(got) > maxbytes) {
                    result = EFBIG;
                    break;
                }
                data.append(buffer, static_cast<std::size_t>(got));
            }
            if (result == 0) bytes = std::move(data);
        }
    } catch (...) {
        result = ENOMEM;
    }
    ::close(fd);
    return result;
}

}  // namespace veltrin
