#include "platform/fs.h"
#include "support/temp_dir.h"
#include "tools/misc_tools.h"

#include <gtest/gtest.h>
#include <regex>
#include <set>

using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

TEST(FileExists, EmptyPathIsFalseAndDirectoriesAndPatternsCount) {
    TempDir dir;
    WriteFile(dir / "r.ECG", "x");
    EXPECT_FALSE(CCommonMiscTools::FileExists(""));
    EXPECT_TRUE(CCommonMiscTools::FileExists(dir.Path()));
    EXPECT_TRUE(CCommonMiscTools::FileExists(dir / "r.ECG"));
    EXPECT_TRUE(CCommonMiscTools::FileExists(dir / "*.ECG"));
    EXPECT_FALSE(CCommonMiscTools::FileExists(dir / "r.TMP"));
    EXPECT_TRUE(CCommonMiscTools::PathExists(dir / "r.ECG"));
    EXPECT_FALSE(CCommonMiscTools::PathExists(dir / "*.ECG")) << "no wildcards here";
    EXPECT_FALSE(CCommonMiscTools::PathExists(""));
}

TEST(CreateDirectoryPath, ExistingPathIsTrueAndLeavesTheCurrentDirectory) {
    TempDir dir;
    std::filesystem::create_directories(dir / "a/b");
    platform::ChangeDirectory(dir.Path());
    EXPECT_TRUE(CCommonMiscTools::CreateDirectoryPath(dir / "a/b"));
    EXPECT_EQ(platform::CurrentDirectory(), dir.Path());
}

TEST(CreateDirectoryPath, AbsolutePathIsCreatedLevelByLevelFromTheRoot) {
    TempDir dir;
    std::filesystem::create_directories(dir / "a");
    EXPECT_TRUE(CCommonMiscTools::CreateDirectoryPath(dir / "a/b/c"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b/c"));
    EXPECT_EQ(platform::CurrentDirectory(), dir / "a/b/c") << "the walk ends in the deepest";
}

TEST(CreateDirectoryPath, TrailingSeparatorAndRelativePathsWork) {
    TempDir dir;
    EXPECT_TRUE(CCommonMiscTools::CreateDirectoryPath(dir / "x/y/"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "x/y"));
    platform::ChangeDirectory(dir.Path());
    // A relative walk starts in the current directory; its result is judged from where the
    // walk ended, so a relative path that had to be created reads as missing.
    EXPECT_FALSE(CCommonMiscTools::CreateDirectoryPath("rel/sub"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "rel/sub"));
    EXPECT_EQ(platform::CurrentDirectory(), dir / "rel/sub");
    platform::ChangeDirectory(dir.Path());
    EXPECT_TRUE(CCommonMiscTools::CreateDirectoryPath("rel/sub")) << "existing relative path";
}

TEST(CreateDirectoryPath, StopsAtALevelThatCannotBeCreatedKeepingEarlierLevels) {
    TempDir dir;
    WriteFile(dir / "file", "x");
    const std::string tooLong(300, 'n');
    EXPECT_FALSE(CCommonMiscTools::CreateDirectoryPath(dir / ("made/" + tooLong + "/below")));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "made"));
    EXPECT_FALSE(CCommonMiscTools::CreateDirectoryPath(dir / "file/below"));
    EXPECT_FALSE(CCommonMiscTools::CreateDirectoryPath(""));
}

TEST(UniqueFileName, HasTheTimeStampLayout) {
    EXPECT_EQ(FormatUniqueFileName(2016, 3, 7, 9, 5, 1, 42), "2016-03-07T09_05_01.042");
    const std::regex layout(R"(\d{4}-\d\d-\d\dT\d\d_\d\d_\d\d\.\d{3})");
    for (bool exact : {true, false}) {
        const std::string name = CCommonMiscTools::UniqueFileName(exact);
        EXPECT_EQ(name.size(), 23u);
        EXPECT_TRUE(std::regex_match(name, layout)) << name;
    }
}

TEST(UniqueFileName, RandomLastFieldVaries) {
    std::set<std::string> lastFields;
    for (int i = 0; i < 50; ++i)
        lastFields.insert(CCommonMiscTools::UniqueFileName(false).substr(20));
    EXPECT_GT(lastFields.size(), 5u);
}

} // namespace
