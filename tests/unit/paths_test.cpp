// Where the settings file, the automatic logs and the read-only files are looked for, with
// explicit environments over real temporary folders.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "unit/testfiles.h"

#include "settings/paths.h"

using namespace veltrin;

namespace {

using namespace veltrin::testfiles;

bool IsFolder(const std::string& path, unsigned* mode = nullptr) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    if (mode != nullptr) *mode = info.st_mode & 07777;
    return true;
}

// A program folder under <root>/prefix/bin and an empty home.
PathEnvironment MakeEnvironment(const TempFolder& root) {
    PathEnvironment env;
    MakeDirectories(root / "prefix/bin");
    MakeDirectories(root / "home");
    env.programdir = root / "prefix/bin/";
    env.home = root / "home";
    return env;
}

}  // namespace

TEST(Paths, ProgramDirectoryIsTheFolderOfThisTest) {
    const std::string dir = ProgramDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(dir.front(), '/');
    EXPECT_EQ(::access((dir + "unit_paths_test").c_str(), X_OK), 0) << dir;
}

TEST(Paths, SettingsGoToConfigHomeUnlessPortable) {
    TempFolder root{"paths"};
    PathEnvironment env = MakeEnvironment(root);
    // No XDG variable: ~/.config/veltrin-ping, created private.
    EXPECT_EQ(SettingsFilePath(env), root / "home/.config/veltrin-ping/korbel setting.ini");
    unsigned mode = 0;
    EXPECT_TRUE(IsFolder(root / "home/.config/veltrin-ping", &mode));
    EXPECT_EQ(mode, 0700u);
    // A relative XDG_CONFIG_HOME is invalid and ignored.
    env.xdgconfighome = "relative/config";
    EXPECT_EQ(SettingsFilePath(env), root / "home/.config/veltrin-ping/korbel setting.ini");
    env.xdgconfighome = root / "xdg-config";
    EXPECT_EQ(SettingsFilePath(env), root / "xdg-config/veltrin-ping/korbel setting.ini");
    EXPECT_TRUE(IsFolder(root / "xdg-config/veltrin-ping"));
    EXPECT_FALSE(IsPortable(env));
    // The settings file already beside the program: portable use.
    PutFile(root / "prefix/bin/korbel setting.ini", "");
    EXPECT_TRUE(IsPortable(env));
    EXPECT_EQ(SettingsFilePath(env), root / "prefix/bin/korbel setting.ini");
}

TEST(Paths, AutomaticLogsGoToDataHomeUnlessPortable) {
    TempFolder root{"paths"};
    PathEnvironment env = MakeEnvironment(root);
    EXPECT_EQ(AutoLogDirectory(env), root / "home/.local/share/veltrin-ping/");
    EXPECT_TRUE(IsFolder(root / "home/.local/share/veltrin-ping"));
    env.xdgdatahome = root / "data/";
    EXPECT_EQ(AutoLogDirectory(env), root / "data/veltrin-ping/");
    EXPECT_TRUE(IsFolder(root / "data/veltrin-ping"));
    PutFile(root / "prefix/bin/korbel setting.ini", "");
    EXPECT_EQ(AutoLogDirectory(env), root / "prefix/bin/");
}

TEST(Paths, SettingsPathWhenTheConfigFolderCannotBeMade) {
    TempFolder root{"paths"};
    PathEnvironment env = MakeEnvironment(root);
    PutFile(root / "home/.config", "a plain file where a folder should be");
    // The path is still given; saving there then fails and reports it.
    EXPECT_EQ(SettingsFilePath(env), root / "home/.config/veltrin-ping/korbel setting.ini");
    EXPECT_FALSE(IsFolder(root / "home/.config/veltrin-ping"));
}

TEST(Paths, ReadOnlyFilesProgramFolderFirstThenShare) {
    TempFolder root{"paths"};
    PathEnvironment env = MakeEnvironment(root);
    env.xdgdatadirs = root / "sys1" + ":relative:" + root / "sys2/";
    MakeDirectories(root / "sys1/veltrin-ping");
    MakeDirectories(root / "sys2/veltrin-ping");
    MakeDirectories(root / "prefix/share/veltrin-ping");
    // Nowhere: the program-folder path, which then fails to open like a missing file.
    EXPECT_EQ(FindDataFile("address.dat", env), root / "prefix/bin/address.dat");
    PutFile(root / "sys2/veltrin-ping/address.dat", "2");
    EXPECT_EQ(FindDataFile("address.dat", env), root / "sys2/veltrin-ping/address.dat");
    PutFile(root / "sys1/veltrin-ping/address.dat", "1");
    EXPECT_EQ(FindDataFile("address.dat", env), root / "sys1/veltrin-ping/address.dat");
    PutFile(root / "prefix/share/veltrin-ping/address.dat", "s");
    EXPECT_EQ(FindDataFile("address.dat", env), root / "prefix/bin/../share/veltrin-ping/address.dat");
    PutFile(root / "prefix/bin/address.dat", "p");
    EXPECT_EQ(FindDataFile("address.dat", env), root / "prefix/bin/address.dat");
    // A folder of that name is not the file.
    MakeDirectories(root / "prefix/bin/About.txt");
    PutFile(root / "sys1/veltrin-ping/About.txt", "about");
    EXPECT_EQ(FindDataFile("About.txt", env), root / "sys1/veltrin-ping/About.txt");
}

TEST(Paths, MakeDirectories) {
    TempFolder root{"paths"};
    EXPECT_TRUE(MakeDirectories(root / "a/b/c/"));
    EXPECT_TRUE(IsFolder(root / "a/b/c"));
    EXPECT_TRUE(MakeDirectories(root / "a/b/c"));
    PutFile(root / "file", "");
    EXPECT_FALSE(MakeDirectories(root / "file/sub"));
    EXPECT_FALSE(MakeDirectories(root / "file"));
    EXPECT_FALSE(MakeDirectories(""));
}
