#include "platform/fs.h"
#include "support/temp_dir.h"
#include "tools/app_paths.h"

#include <gtest/gtest.h>

using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::string AppDataPath() {
    char buffer[256] = {0};
    GetAppDataPath(buffer, 255);
    return buffer;
}

// Points the machine profile at a file in dir with the given body.
void MachineProfile(const TempDir& dir, const std::string& body) {
    WriteFile(dir / "win.ini", body);
    setenv("ECGCOMM_WIN_INI", (dir / "win.ini").c_str(), 1);
    ResetAppDataPathCache();
}

TEST(AppDataPath, ConfiguredPathIsCreatedLevelByLevelAndUsed) {
    TempDir dir;
    MachineProfile(dir, "[VELMAR]\nVelmarAppDataPath=" + (dir / "Data/App") + "\n");
    EXPECT_EQ(AppDataPath(), dir / "Data/App");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "Data/App"));
    EXPECT_EQ(platform::CurrentDirectory(), dir / "Data/App");
}

TEST(AppDataPath, WithoutConfigurationTheVelmarFolderOfAllUsersIsUsed) {
    TempDir dir;
    MachineProfile(dir, "[OTHER]\nx=1\n");
    std::filesystem::create_directories(dir / "all");
    setenv("ALLUSERSPROFILE", (dir / "all").c_str(), 1);
    EXPECT_EQ(AppDataPath(), dir / "all/VELMAR");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "all/VELMAR"));
    EXPECT_STREQ(LocalProfilePath(), (dir / "all/VELMAR/LOC_WIN.INI").c_str());
    unsetenv("ALLUSERSPROFILE");
}

TEST(AppDataPath, WithoutAllUsersTheTemporaryDirectoryIsUsed) {
    TempDir dir;
    MachineProfile(dir, "");
    unsetenv("ALLUSERSPROFILE");
    const std::string tmp = platform::CurrentDirectory(); // any existing directory
    setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    EXPECT_EQ(AppDataPath(), dir / "tmp/");
    unsetenv("TMPDIR");
    (void)tmp;
}

TEST(AppDataPath, UnreachableConfiguredPathFallsBack) {
    TempDir dir;
    WriteFile(dir / "blocker", "x");
    MachineProfile(dir, "[VELMAR]\nVelmarAppDataPath=" + (dir / "blocker/sub") + "\n");
    std::filesystem::create_directories(dir / "all");
    setenv("ALLUSERSPROFILE", (dir / "all").c_str(), 1);
    EXPECT_EQ(AppDataPath(), dir / "all/VELMAR");
    unsetenv("ALLUSERSPROFILE");
}

TEST(AppDataPath, SecondRequestReturnsTheCachedPath) {
    TempDir dir;
    MachineProfile(dir, "[VELMAR]\nVelmarAppDataPath=" + (dir / "first") + "\n");
    EXPECT_EQ(AppDataPath(), dir / "first");
    WriteFile(dir / "win.ini", "[VELMAR]\nVelmarAppDataPath=" + (dir / "second") + "\n");
    EXPECT_EQ(AppDataPath(), dir / "first");
    char small[8] = {0};
    EXPECT_EQ(GetAppDataPath(small, 8), 7) << "copies at most size - 1 characters";
    EXPECT_EQ(std::string(small), (dir / "first").substr(0, 7));
}

TEST(LocalProfile, NameWithSeparatorIsReturnedUnchanged) {
    TempDir dir;
    MachineProfile(dir, "[VELMAR]\nVelmarAppDataPath=" + dir.Path() + "\n");
    EXPECT_STREQ(LocalProfilePath("/etc/other.ini"), "/etc/other.ini");
    EXPECT_STREQ(LocalProfilePath("MY.INI"), (dir / "MY.INI").c_str());
    EXPECT_STREQ(LocalProfilePath(nullptr), (dir / "LOC_WIN.INI").c_str());
}

TEST(LocalProfile, IntegerIsReadFromLocWinIniOrDefaults) {
    TempDir dir;
    MachineProfile(dir, "[VELMAR]\nVelmarAppDataPath=" + dir.Path() + "\n");
    EXPECT_EQ(GetLocalProfileInt("VELMAR", "LOG_MessageFormat", 0), 0u) << "no file";
    WriteFile(dir / "LOC_WIN.INI", "[VELMAR]\nOTHER=3\n");
    EXPECT_EQ(GetLocalProfileInt("VELMAR", "LOG_MessageFormat", 0), 0u) << "no key";
    WriteFile(dir / "LOC_WIN.INI", "[VELMAR]\nLOG_MessageFormat=1\n");
    EXPECT_EQ(GetLocalProfileInt("VELMAR", "LOG_MessageFormat", 0), 1u);
    EXPECT_EQ(GetLocalProfileInt("VELMAR", "", 5), 5u) << "an empty key is the default";
    EXPECT_EQ(GetLocalProfileInt("VELMAR", nullptr, 5), 5u);
}

} // namespace
