// Where the program's files live on Linux.
//
//  - Files it only reads (address.dat, help, About.txt): the program's folder, else the
//    installed data folders (FindDataFile).
//  - Files it writes: the program's folder when the settings file already sits there and can be
//    written (portable use); otherwise the settings file in $XDG_CONFIG_HOME/veltrin-ping and the
//    automatic detail logs in $XDG_DATA_HOME/veltrin-ping (defaults ~/.config, ~/.local/share).
//
// Every function has a form that takes the environment explicitly, for tests.
#pragma once

#include <string>

namespace veltrin {

inline constexpr char kSettingsFileName[] = "korbel setting.ini";
inline constexpr char kLocationFileName[] = "address.dat";
inline constexpr char kAppFolderName[] = "veltrin-ping";

struct PathEnvironment {
    std::string programdir;     // folder of the executable, ending in "/" (empty if unknown)
    std::string home;           // $HOME, else the password database's home folder
    std::string xdgconfighome;  // $XDG_CONFIG_HOME as set (a relative value is ignored)
    std::string xdgdatahome;    // $XDG_DATA_HOME as set (a relative value is ignored)
    std::string xdgdatadirs;    // $XDG_DATA_DIRS as set (empty: /usr/local/share/:/usr/share/)
};

// The folder of the running executable (from /proc/self/exe), ending in "/"; empty when it
// cannot be read.
std::string ProgramDirectory();
PathEnvironment CurrentPathEnvironment();

// Creates `path` and its missing parents with `mode` (0700 by default). True when it exists
// as a folder afterwards.
bool MakeDirectories(const std::string& path, unsigned mode = 0700);

// True when "korbel setting.ini" already sits in the program's folder and both it and the
// folder can be written.
bool IsPortable(const PathEnvironment& env);
bool IsPortable();

// The settings file to read and write. Outside portable use the folder
// <config home>/veltrin-ping is created (0700) when missing.
std::string SettingsFilePath(const PathEnvironment& env);
std::string SettingsFilePath();

// The folder for automatic detail logs, ending in "/": the program's folder in portable use,
// else <data home>/veltrin-ping, created (0700) when missing.
std::string AutoLogDirectory(const PathEnvironment& env);
std::string AutoLogDirectory();

// The read-only file `name`: the first regular file found in the program's folder, then
// <program folder>/../share/veltrin-ping, then (when the build defines VELTRIN_DATADIR) that
// folder, then <dir>/veltrin-ping for every dir of the data folder list. When none exists the
// program-folder path is returned, so opening it fails as for a missing file.
std::string FindDataFile(const std::string& name, const PathEnvironment& env);
std::string FindDataFile(const std::string& name);

}  // namespace veltrin
