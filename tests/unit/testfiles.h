// Real files for the file tests: a private temporary folder, whole-file read and write, and a
// file-size limit that makes writes fail for real, root included.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltrin::testfiles {

class TempFolder {
public:
    explicit TempFolder(const std::string& tag = "files") {
        std::string pattern = "/tmp/veltrin-" + tag + "-XXXXXX";
        const char* made = ::mkdtemp(pattern.data());
        if (made == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = made;
    }
    ~TempFolder() { Remove(path_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

    std::set<std::string> Names() const {
        std::set<std::string> names;
        if (DIR* dir = ::opendir(path_.c_str())) {
            while (dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") names.insert(name);
            }
            ::closedir(dir);
        }
        return names;
    }

private:
    static void Remove(const std::string& path) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) return;
        if (S_ISDIR(info.st_mode)) {
            ::chmod(path.c_str(), 0700);  // tests take rights away; cleaning up needs them back
            if (DIR* dir = ::opendir(path.c_str())) {
                std::vector<std::string> names;
                while (dirent* entry = ::readdir(dir)) {
                    const std::string name = entry->d_name;
                    if (name != "." && name != "..") names.push_back(name);
                }
                ::closedir(dir);
                for (const auto& name : names) Remove(path + "/" + name);
            }
            ::rmdir(path.c_str());
        } else {
            ::unlink(path.c_str());
        }
    }
    std::string path_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void PutFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Makes every write past `bytes` fail with EFBIG for the life of the object.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        oldhandler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        ::signal(SIGXFSZ, oldhandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
    sighandler_t oldhandler_{};
};

}  // namespace veltrin::testfiles
