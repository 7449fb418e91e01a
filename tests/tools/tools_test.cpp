// The path tokenizer, the directory walk, the application data directory and its profiles.
#include "platform/fs.h"
#include "platform/profile.h"
#include "platform/sysinfo.h"
#include "support/support.h"
#include "tools/app_paths.h"
#include "tools/misc_tools.h"
#include "tools/token.h"

#include <gtest/gtest.h>

namespace {

using namespace testsupport;

std::vector<std::string> Tokens(const std::string& text, const std::string& delimiter = "\\") {
    CToken t(text, delimiter);
    std::vector<std::string> out;
    while (t.HasMoreTokens())
        out.push_back(t.GetNextToken());
    EXPECT_EQ(t.GetNextToken(), "") << "nothing after the last token";
    EXPECT_EQ(t.CountTokens(text), static_cast<int>(out.size()));
    return out;
}

TEST(CToken, SplitsAtTheDelimiterDroppingWhiteSpaceAfterIt) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Tokens("  a\\ b  "), (V{"a", "b"}));
    EXPECT_EQ(Tokens(""), V{});
    EXPECT_EQ(Tokens("a\\\\b"), (V{"a", "", "b"}));
    EXPECT_EQ(Tokens("a \\b"), (V{"a ", "b"})) << "white space before a delimiter is kept";
    EXPECT_EQ(Tokens("C:\\data\\ in"), (V{"C:", "data", "in"}));
    EXPECT_EQ(Tokens("\\\\server\\share"), (V{"", "", "server", "share"}));
    EXPECT_EQ(Tokens("/data/in/", "/"), (V{"", "data", "in"})) << "a POSIX root is empty";
}

#ifndef _WIN32 // POSIX paths and the machine profile named by ECGCOMM_WIN_INI
TEST(CreateDirectoryPath, WalksLevelByLevelAndEndsInTheDeepest) {
    TempDir dir;
    fs::create_directories(dir / "a/b");
    platform::ChangeDirectory(dir.Path());
    EXPECT_TRUE(CCommonMiscTools::CreateDirectoryPath(dir / "a/b"));
    EXPECT_EQ(platform::CurrentDirectory(), dir.Path()) << "an existing path is not walked";
    EXPECT_TRUE(CCommonMiscTools::CreateDirectoryPath(dir / "a/b/c/"));
    EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
    EXPECT_EQ(platform::CurrentDirectory(), dir / "a/b/c");
    platform::ChangeDirectory(dir.Path());
    // A relative walk starts in the current directory and is judged from where it ended, so
    // a relative path that had to be created reads as missing.
    EXPECT_FALSE(CCommonMiscTools::CreateDirectoryPath("rel/sub"));
    EXPECT_TRUE(fs::is_directory(dir / "rel/sub"));
    platform::ChangeDirectory(dir.Path());
    EXPECT_TRUE(CCommonMiscTools::CreateDirectoryPath("rel/sub"));
    WriteFile(dir / "file", "x");
    EXPECT_FALSE(CCommonMiscTools::CreateDirectoryPath(dir / ("made/" + std::string(300, 'n'))));
    EXPECT_TRUE(fs::is_directory(dir / "made")) << "earlier levels stay";
    EXPECT_FALSE(CCommonMiscTools::CreateDirectoryPath(dir / "file/below"));
    EXPECT_FALSE(CCommonMiscTools::CreateDirectoryPath(""));
}

class AppData : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv("ECGCOMM_WIN_INI");
        unsetenv("ALLUSERSPROFILE");
        ResetAppDataPathCache();
    }
    std::string Path(const std::string& winIni, const char* allUsers = nullptr) {
        WriteFile(dir / "win.ini", winIni);
        setenv("ECGCOMM_WIN_INI", (dir / "win.ini").c_str(), 1);
        if (allUsers != nullptr)
            setenv("ALLUSERSPROFILE", allUsers, 1);
        else
            unsetenv("ALLUSERSPROFILE");
        ResetAppDataPathCache();
        char buffer[256] = {0};
        GetAppDataPath(buffer, 255);
        return buffer;
    }
    TempDir dir;
};

TEST_F(AppData, ConfiguredPathThenAllUsersThenTheTemporaryDirectoryLookedUpOnce) {
    EXPECT_EQ(Path("[VELMAR]\nVelmarAppDataPath=" + (dir / "Data/App") + "\n"), dir / "Data/App");
    EXPECT_TRUE(fs::is_directory(dir / "Data/App")) << "created level by level";
    EXPECT_EQ(platform::CurrentDirectory(), dir / "Data/App");
    fs::create_directories(dir / "all");
    WriteFile(dir / "blocker", "x");
    EXPECT_EQ(
        Path("[velmar]\nvelmarappdatapath=" + (dir / "blocker/sub") + "\n", (dir / "all").c_str()),
        dir / "all/VELMAR")
        << "an unreachable configured path falls back";
    EXPECT_TRUE(fs::is_directory(dir / "all/VELMAR"));
    EXPECT_STREQ(LocalProfilePath(), (dir / "all/VELMAR/LOC_WIN.INI").c_str());
    setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    EXPECT_EQ(Path("[OTHER]\nx=1\n"), dir / "tmp/");
    setenv("TMPDIR", (dir / "tmp/").c_str(), 1);
    EXPECT_EQ(platform::TempDirectory(), dir / "tmp/") << "one separator at the end";
    unsetenv("TMPDIR");
    EXPECT_EQ(platform::TempDirectory(), "/tmp/");
    unsetenv("ECGCOMM_WIN_INI");
    EXPECT_EQ(platform::ProfileLocation(), "/etc/ecgcomm/win.ini");
    // Looked up once, and the home of the local profile.
    ASSERT_EQ(Path("[VELMAR]\nVelmarAppDataPath=\"" + dir.Path() + "\"\n"), dir.Path());
    WriteFile(dir / "win.ini", "[VELMAR]\nVelmarAppDataPath=" + (dir / "second") + "\n");
    char small[8] = {0};
    EXPECT_EQ(GetAppDataPath(small, 8), 7) << "cached, and at most size - 1 characters";
    EXPECT_EQ(std::string(small), dir.Path().substr(0, 7));
    EXPECT_STREQ(LocalProfilePath("/etc/other.ini"), "/etc/other.ini");
    EXPECT_STREQ(LocalProfilePath("MY.INI"), (dir / "MY.INI").c_str());
    EXPECT_EQ(GetLocalProfileInt("VELMAR", "LOG_MessageFormat", 7), 7u) << "no file";
    WriteFile(dir / "LOC_WIN.INI",
              "[VELMAR]\nLOG_MessageFormat=1\na=1x\nb= 1\r\nc=0x1\nd=abc\nf=-2\n");
    const std::pair<const char*, uint32_t> rows[] = {
        {"LOG_MessageFormat", 1}, {"a", 1}, {"b", 1},    {"c", 0}, {"d", 9},
        {"f", uint32_t(-2)},      {"", 9},  {nullptr, 9}};
    for (const auto& [key, value] : rows)
        EXPECT_EQ(GetLocalProfileInt("VELMAR", key, 9), value) << (key ? key : "null");
}
#endif

} // namespace
