#include "settings/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace veltrin {

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

// An XDG base folder from its variable, or `fallback` under the home folder. Relative values
// are invalid for these variables and are ignored.
std::string BaseFolder(const std::string& value, const PathEnvironment& env, const char* fallback) {
    if (!value.empty() && value.front() == '/') return WithSlash(value);
    if (env.home.empty()) return std::string();
    return WithSlash(env.home) + fallback;
}

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string ConfigFolder(const PathEnvironment& env) {
    const std::string base = BaseFolder(env.xdgconfighome, env, ".config/");
    return base.empty() ? std::string() : base + kAppFolderName + "/";
}

std::string DataFolder(const PathEnvironment& env) {
    const std::string base = BaseFolder(env.xdgdatahome, env, ".local/share/");
    return base.empty() ? std::string() : base + kAppFolderName + "/";
}

}  // namespace

std::string ProgramDirectory() {
    std::vector<char> buffer(4096);
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (size < 0) return std::string();
        if (static_cast<std::size_t>(size) < buffer.size()) {
            const std::string path(buffer.data(), static_cast<std::size_t>(size));
            const std::size_t slash = path.rfind('/');
            return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        }
        buffer.resize(buffer.size() * 2);
    }
    return std::string();
}

PathEnvironment CurrentPathEnvironment() {
    PathEnvironment env;
    env.programdir = ProgramDirectory();
    env.home = Env("HOME");
    if (env.home.empty()) {
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> scratch(16384);
        if (::getpwuid_r(::getuid(), &entry, scratch.data(), scratch.size(), &found) == 0 && found != nullptr &&
            found->pw_dir != nullptr)
            env.home = found->pw_dir;
    }
    env.xdgconfighome = Env("XDG_CONFIG_HOME");
    env.xdgdatahome = Env("XDG_DATA_HOME");
    env.xdgdatadirs = Env("XDG_DATA_DIRS");
    return env;
}

bool MakeDirectories(const std::string& path, unsigned mode) {
    if (path.empty()) return false;
    std::size_t next = 1;
    for (;;) {
        const std::size_t slash = path.find('/', next);
        const std::string part = path.substr(0, slash);
        if (!part.empty() && ::mkdir(part.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos || slash + 1 >= path.size()) break;
        next = slash + 1;
    }
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsPortable(const PathEnvironment& env) {
    if (env.programdir.empty()) return false;
    const std::string ini = env.programdir + kSettingsFileName;
    return IsRegularFile(ini) && ::access(env.programdir.c_str(), W_OK | X_OK) == 0 &&
           ::access(ini.c_str(), W_OK) == 0;
}

bool IsPortable() { return IsPortable(CurrentPathEnvironment()); }

std::string SettingsFilePath(const PathEnvironment& env) {
    if (IsPortable(env)) return env.programdir + kSettingsFileName;
    const std::string folder = ConfigFolder(env);
    if (folder.empty()) return env.programdir + kSettingsFileName;
    MakeDirectories(folder);
    return folder + kSettingsFileName;
}

std::string SettingsFilePath() { return SettingsFilePath(CurrentPathEnvironment()); }

std::string AutoLogDirectory(const PathEnvironment& env) {
    if (IsPortable(env)) return env.programdir;
    const std::string folder = DataFolder(env);
    if (folder.empty()) return env.programdir;
    MakeDirectories(folder);
    return folder;
}

std::string AutoLogDirectory() { return AutoLogDirectory(CurrentPathEnvironment()); }

std::string FindDataFile(const std::string& name, const PathEnvironment& env) {
    std::vector<std::string> folders;
    if (!env.programdir.empty()) {
        folders.push_back(env.programdir);
        folders.push_back(env.programdir + "../share/" + kAppFolderName + "/");
    }
#ifdef VELTRIN_DATADIR
    folders.push_back(WithSlash(VELTRIN_DATADIR));
#endif
    const std::string dirs = env.xdgdatadirs.empty() ? "/usr/local/share/:/usr/share/" : env.xdgdatadirs;
    std::size_t first = 0;
    while (first <= dirs.size()) {
        const std::size_t colon = dirs.find(':', first);
        const std::string dir = dirs.substr(first, colon == std::string::npos ? std::string::npos : colon - first);
        if (!dir.empty() && dir.front() == '/') folders.push_back(WithSlash(dir) + kAppFolderName + "/");
        if (colon == std::string::npos) break;
        first = colon + 1;
    }
    for (const std::string& folder : folders)
        if (IsRegularFile(folder + name)) return folder + name;
    return env.programdir + name;
}

std::string FindDataFile(const std::string& name) { return FindDataFile(name, CurrentPathEnvironment()); }

}  // namespace veltrin
