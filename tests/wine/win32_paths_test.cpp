// Windows paths and profiles: the application data directory found through WIN.INI, its
// fall-backs, LOC_WIN.INI, and directory creation along backslash paths from a drive root.
#include "platform/profile.h"
#include "platform/sysinfo.h"
#include "tools/app_paths.h"
#include "tools/misc_tools.h"
#include "win32_support.h"

#include <gtest/gtest.h>

using namespace wintest;

namespace {

std::string AppDataPath() {
    char buffer[256] = {0};
    GetAppDataPath(buffer, 255);
    return buffer;
}

class AppData : public ::testing::Test {
protected:
    void SetUp() override { ResetAppDataPathCache(); }
    void TearDown() override { ResetAppDataPathCache(); }
    WinTempDir dir;
};

} // namespace

TEST_F(AppData, ConfiguredPathIsCreatedLevelByLevelFromItsDriveRootAndEntered) {
    const std::string configured = dir / "Data\\App";
    WinIniKey key("VELMAR", "VelmarAppDataPath", configured);
    EXPECT_EQ(AppDataPath(), configured);
    EXPECT_TRUE(IsDirectory(configured));
    EXPECT_EQ(CurrentDir(), configured);
    EXPECT_EQ(std::string(LocalProfilePath()), configured + "\\LOC_WIN.INI");
}

TEST_F(AppData, SectionAndKeyOfWinIniAreCaseInsensitive) {
    WinIniKey key("velmar", "velmarappdatapath", dir.Path());
    EXPECT_EQ(AppDataPath(), dir.Path());
}

TEST_F(AppData, WithoutConfigurationTheVelmarFolderOfAllUsersIsCreatedAndUsed) {
    ScopedEnv all("ALLUSERSPROFILE", dir.Path());
    EXPECT_EQ(AppDataPath(), dir / "VELMAR");
    EXPECT_TRUE(IsDirectory(dir / "VELMAR"));
    EXPECT_EQ(std::string(LocalProfilePath()), dir / "VELMAR\\LOC_WIN.INI");
}

TEST_F(AppData, UnreachableAllUsersFolderFallsBackToTheTemporaryDirectory) {
    ScopedEnv all("ALLUSERSPROFILE", dir / "missing");
    const std::string temp = platform::TempDirectory();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), '\\');
    EXPECT_EQ(AppDataPath(), temp);
    EXPECT_FALSE(IsDirectory(dir / "missing"));
}

TEST_F(AppData, NetworkPathWithoutShareCreatesNothingLocally) {
    WinIniKey key("VELMAR", "VelmarAppDataPath", "\\\\onlyserver");
    ScopedEnv all("ALLUSERSPROFILE", dir.Path());
    SetCurrentDirectoryA(dir.Path().c_str());
    EXPECT_EQ(AppDataPath(), dir / "VELMAR");
    EXPECT_FALSE(IsDirectory(dir / "onlyserver"));
}

TEST_F(AppData, SecondRequestKeepsTheFirstAnswerAfterTheProfileChanged) {
    {
        WinIniKey key("VELMAR", "VelmarAppDataPath", dir.Path());
        EXPECT_EQ(AppDataPath(), dir.Path());
    }
    WinIniKey other("VELMAR", "VelmarAppDataPath", dir / "other");
    EXPECT_EQ(AppDataPath(), dir.Path());
    EXPECT_FALSE(IsDirectory(dir / "other"));
}

TEST_F(AppData, MessageFormatIsReadFromLocWinIniInTheApplicationDataDirectory) {
    WinIniKey key("VELMAR", "VelmarAppDataPath", dir.Path());
    EXPECT_EQ(GetLocalProfileInt("VELMAR", "LOG_MessageFormat", 0), 0u) << "no file yet";
    WriteAll(dir / "LOC_WIN.INI", "[velmar]\r\nlog_messageformat = 1\r\n");
    EXPECT_EQ(GetLocalProfileInt("VELMAR", "LOG_MessageFormat", 0), 1u);
    EXPECT_EQ(GetLocalProfileInt("VELMAR", "LOG_Other", 7), 7u);
    EXPECT_EQ(GetLocalProfileInt("VELMAR", "", 5), 5u) << "an empty key is not looked up";
}

TEST_F(AppData, ProfileNameWithABackslashIsAFullPath) {
    WinIniKey key("VELMAR", "VelmarAppDataPath", dir.Path());
    EXPECT_EQ(std::string(LocalProfilePath("D:\\elsewhere\\X.INI")), "D:\\elsewhere\\X.INI");
    EXPECT_EQ(std::string(LocalProfilePath("X.INI")), dir / "X.INI");
}

TEST(DirectoryPath, BackslashPathIsCreatedLevelByLevelAndLeavesUsInTheDeepest) {
    WinTempDir dir;
    const std::string deep = dir / "a\\b\\c";
    EXPECT_TRUE(CCommonMiscTools::CreateDirectoryPath(deep));
    EXPECT_TRUE(IsDirectory(deep));
    EXPECT_EQ(CurrentDir(), deep);
    // An existing path changes nothing, not even the current directory.
    SetCurrentDirectoryA(dir.Path().c_str());
    EXPECT_TRUE(CCommonMiscTools::CreateDirectoryPath(deep + "\\"));
    EXPECT_EQ(CurrentDir(), dir.Path());
}

TEST(DirectoryPath, RelativePathIsCreatedFromTheCurrentDirectoryButReadsAsMissing) {
    // The final check looks for the relative path from the deepest level the walk entered,
    // so a relative path that had to be created reports false; callers give absolute paths.
    WinTempDir dir;
    SetCurrentDirectoryA(dir.Path().c_str());
    EXPECT_FALSE(CCommonMiscTools::CreateDirectoryPath("rel\\sub"));
    EXPECT_TRUE(IsDirectory(dir / "rel\\sub"));
    EXPECT_EQ(CurrentDir(), dir / "rel\\sub");
}

TEST(DirectoryPath, NetworkPathCreatesNothingAndReportsWhetherItExists) {
    WinTempDir dir;
    SetCurrentDirectoryA(dir.Path().c_str());
    EXPECT_FALSE(CCommonMiscTools::CreateDirectoryPath("\\\\noserver\\share\\dir"));
    EXPECT_FALSE(IsDirectory(dir / "noserver"));
}

TEST(DirectoryPath, LevelBelowAFileCannotBeCreatedAndEarlierLevelsStay) {
    WinTempDir dir;
    WriteAll(dir / "file", "x");
    EXPECT_FALSE(CCommonMiscTools::CreateDirectoryPath(dir / "made\\bad|name\\below"));
    EXPECT_TRUE(IsDirectory(dir / "made"));
    EXPECT_FALSE(CCommonMiscTools::CreateDirectoryPath(dir / "file\\below"));
    EXPECT_EQ(ReadAll(dir / "file"), "x");
}

TEST(FileExistence, WildcardsMatchAndADirectoryCounts) {
    WinTempDir dir;
    WriteAll(dir / "2024-01-01T00_00_00.123.ECG", "x");
    EXPECT_TRUE(CCommonMiscTools::FileExists(dir / "*.ECG"));
    EXPECT_FALSE(CCommonMiscTools::FileExists(dir / "*.TMP"));
    EXPECT_TRUE(CCommonMiscTools::FileExists(dir.Path()));
    EXPECT_FALSE(CCommonMiscTools::FileExists(""));
    EXPECT_TRUE(CCommonMiscTools::PathExists(dir / "2024-01-01T00_00_00.123.ECG"));
}

TEST(MachineFacts, EnvironmentExpansionLeavesUnsetVariablesAsWritten) {
    ScopedEnv set("ECGWIN_SET", "C:\\x");
    EXPECT_EQ(platform::ExpandEnvironment("%ECGWIN_SET%\\y"), "C:\\x\\y");
    EXPECT_EQ(platform::ExpandEnvironment("%ECGWIN_UNSET_VARIABLE%"), "%ECGWIN_UNSET_VARIABLE%");
}
