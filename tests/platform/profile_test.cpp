#include "platform/profile.h"
#include "platform/sysinfo.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

TEST(PrivateProfile, SectionAndKeyAreCaseInsensitiveAndBlanksTrimmed) {
    TempDir dir;
    WriteFile(dir / "a.ini", "[other]\nkey=9\n [ velmar ] \n  Log_MessageFormat =  1  \n");
    EXPECT_EQ(platform::PrivateProfileInt("VELMAR", "LOG_MessageFormat", 7, dir / "a.ini"), 1u);
}

TEST(PrivateProfile, FirstMatchWinsAndOtherSectionsAreIgnored) {
    TempDir dir;
    WriteFile(dir / "a.ini", "[A]\nk=1\n[B]\nk=2\nk=3\n");
    EXPECT_EQ(platform::PrivateProfileInt("B", "k", 0, dir / "a.ini"), 2u);
    EXPECT_EQ(platform::PrivateProfileString("A", "k", "d", dir / "a.ini"), "1");
}

TEST(PrivateProfile, IntegersAreTheLeadingDigits) {
    TempDir dir;
    WriteFile(dir / "a.ini", "[S]\na=1x\nb= 1\nc=0x1\nd=abc\ne=\nf=-2\nCRLF=4\r\n");
    const std::string p = dir / "a.ini";
    EXPECT_EQ(platform::PrivateProfileInt("S", "a", 9, p), 1u);
    EXPECT_EQ(platform::PrivateProfileInt("S", "b", 9, p), 1u);
    EXPECT_EQ(platform::PrivateProfileInt("S", "c", 9, p), 0u);
    EXPECT_EQ(platform::PrivateProfileInt("S", "d", 9, p), 9u) << "no digits gives the default";
    EXPECT_EQ(platform::PrivateProfileInt("S", "e", 9, p), 9u) << "empty gives the default";
    EXPECT_EQ(static_cast<int32_t>(platform::PrivateProfileInt("S", "f", 9, p)), -2);
    EXPECT_EQ(platform::PrivateProfileInt("S", "crlf", 9, p), 4u) << "CR LF line ends";
}

TEST(PrivateProfile, MissingFileSectionOrKeyGivesTheDefault) {
    TempDir dir;
    WriteFile(dir / "a.ini", "[S]\nk=5\n");
    EXPECT_EQ(platform::PrivateProfileInt("S", "k", 3, dir / "none.ini"), 3u);
    EXPECT_EQ(platform::PrivateProfileInt("T", "k", 3, dir / "a.ini"), 3u);
    EXPECT_EQ(platform::PrivateProfileInt("S", "j", 3, dir / "a.ini"), 3u);
    EXPECT_EQ(platform::PrivateProfileString("S", "j", "dflt", dir / "a.ini"), "dflt");
}

TEST(MachineProfile, IsReadFromTheFileNamedByTheEnvironment) {
    TempDir dir;
    WriteFile(dir / "win.ini", "[VELMAR]\nVelmarAppDataPath=\"/data/app\"\n");
    setenv("ECGCOMM_WIN_INI", (dir / "win.ini").c_str(), 1);
    EXPECT_EQ(platform::ProfileLocation(), dir / "win.ini");
    EXPECT_EQ(platform::ProfileString("velmar", "velmarappdatapath", ""), "/data/app");
    unsetenv("ECGCOMM_WIN_INI");
    EXPECT_EQ(platform::ProfileLocation(), "/etc/ecgcomm/win.ini");
}

TEST(Environment, SetVariablesExpandAndUnsetOnesStayAsWritten) {
    setenv("ECGCOMM_T1", "/x/y", 1);
    unsetenv("ECGCOMM_UNSET");
    EXPECT_EQ(platform::ExpandEnvironment("%ECGCOMM_T1%/VELMAR"), "/x/y/VELMAR");
    EXPECT_EQ(platform::ExpandEnvironment("%ECGCOMM_UNSET%"), "%ECGCOMM_UNSET%");
    EXPECT_EQ(platform::ExpandEnvironment("a%ECGCOMM_UNSET%%ECGCOMM_T1%b"),
              "a%ECGCOMM_UNSET%/x/yb");
    EXPECT_EQ(platform::ExpandEnvironment("100%"), "100%");
}

TEST(Environment, TemporaryDirectoryEndsWithTheSeparator) {
    setenv("TMPDIR", "/var/tmp", 1);
    EXPECT_EQ(platform::TempDirectory(), "/var/tmp/");
    setenv("TMPDIR", "/var/tmp/", 1);
    EXPECT_EQ(platform::TempDirectory(), "/var/tmp/");
    unsetenv("TMPDIR");
    EXPECT_EQ(platform::TempDirectory(), "/tmp/");
}

TEST(Environment, ComputerNameLooksLikeANetbiosName) {
    const std::string name = platform::ComputerName();
    ASSERT_FALSE(name.empty());
    EXPECT_LE(name.size(), 15u);
    EXPECT_EQ(name.find('.'), std::string::npos);
    for (char c : name)
        EXPECT_FALSE(c >= 'a' && c <= 'z') << name;
}

} // namespace
