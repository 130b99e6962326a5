#include "logs/wholefile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>

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
std::string TempPrefix(const std::string& base) { return "." + base.substr(0, 160) + "."; }

std::string TempName(const std::string& folder, const std::string& base) {
    return folder + TempPrefix(base) + std::to_string(::getpid()) + "-" +
           std::to_string(tempcounter.fetch_add(1, std::memory_order_relaxed)) + ".tmp";
}

bool AllDigits(std::string_view text) {
    if (text.empty() || text.size() > 19) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// The writer's process id when `name` is "<prefix><pid>-<counter>.tmp", else 0.
long TempOwner(std::string_view name, std::string_view prefix) {
    if (name.size() <= prefix.size() + 4 || name.substr(0, prefix.size()) != prefix) return 0;
    if (name.substr(name.size() - 4) != ".tmp") return 0;
    const std::string_view middle = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    const std::size_t dash = middle.find('-');
    if (dash == std::string_view::npos || !AllDigits(middle.substr(0, dash)) || !AllDigits(middle.substr(dash + 1)))
        return 0;
    long pid = 0;
    for (char c : middle.substr(0, dash)) {
        pid = pid * 10 + (c - '0');
        if (pid > 0x7FFFFFFF) return 0;
    }
    return pid;
}

}  // namespace

std::size_t RemoveStaleTemporaries(const std::string& path) {
    std::size_t removed = 0;
    try {
        const std::size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        if (base.empty() || path.find('\0') != std::string::npos) return 0;
        const std::string prefix = TempPrefix(base);
        const int dirfd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirfd < 0) return 0;
        DIR* dir = ::fdopendir(dirfd);
        if (dir == nullptr) {
            ::close(dirfd);
            return 0;
        }
        const long self = static_cast<long>(::getpid());
        while (const dirent* entry = ::readdir(dir)) {
            const std::string_view name(entry->d_name);
            const long pid = TempOwner(name, prefix);
            // A writer that still lives may be in the middle of its save (ours included).
            if (pid <= 0 || pid == self) continue;
            if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
            const std::string entryname(name);
            const int fd = ::openat(dirfd, entryname.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) continue;
            struct stat opened {};
            struct stat named {};
            // Only a plain file of this user, and only while nobody holds the writer's lock (a
            // writer in another process-id namespace looks dead to kill() but keeps its lock).
            const bool stale = ::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == ::geteuid() &&
                               ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                               ::fstatat(dirfd, entryname.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                               named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
            if (stale && ::unlinkat(dirfd, entryname.c_str(), 0) == 0) ++removed;
            ::close(fd);
        }
        ::closedir(dir);
    } catch (...) {
        // Cleaning up is a courtesy; the save goes on without it.
    }
    return removed;
}


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
        // Copies left by a writer that died mid-save (they may hold credentials) go first.
        RemoveStaleTemporaries(path);
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
        // Held until the file is renamed or removed: marks the temporary as in use.
        ::flock(fd, LOCK_EX | LOCK_NB);
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
