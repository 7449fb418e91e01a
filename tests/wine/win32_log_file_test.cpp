// Windows log files: the handle shares reads only, so other programs can watch a log but never
// write or delete it, and a log that someone else holds open for writing keeps the logger out.
#include "logging/error_logger.h"
#include "platform/log_file.h"
#include "win32_support.h"

#include <gtest/gtest.h>

using namespace wintest;

namespace {

HANDLE OpenOther(const std::string& path, DWORD access, DWORD share) {
    return CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

} // namespace

TEST(LogFileSharing, OthersMayReadWhileOpenButNotWriteOrDelete) {
    WinTempDir dir;
    const std::string path = dir / "logfile_1.log";
    platform::SharedReadFile log;
    ASSERT_TRUE(log.OpenAlways(path));
    ASSERT_TRUE(log.Write("line\r\n", 6));
    ASSERT_TRUE(log.Flush());

    HANDLE reader = OpenOther(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE) << "a reader that tolerates our writing gets in";
    char got[16] = {0};
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(reader, got, sizeof got, &n, nullptr));
    EXPECT_EQ(std::string(got, n), "line\r\n") << "CR LF reaches the disk untranslated";
    CloseHandle(reader);

    HANDLE writer = OpenOther(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (writer != INVALID_HANDLE_VALUE)
        CloseHandle(writer);
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    log.Close();
    EXPECT_TRUE(DeleteFileA(path.c_str())) << "closing releases the file";
}

TEST(LogFileSharing, OpenReportsWhetherTheFileWasThereAndCreateAlwaysTruncates) {
    WinTempDir dir;
    const std::string path = dir / "logfile_1.log";
    platform::SharedReadFile log;
    EXPECT_FALSE(log.OpenExistingForRead(path));
    EXPECT_EQ(log.LastError(), platform::kErrorFileNotFound);
    EXPECT_FALSE(log.OpenExistingForRead(dir / "no\\logfile_1.log"));
    EXPECT_EQ(log.LastError(), platform::kErrorPathNotFound);

    ASSERT_TRUE(log.OpenAlways(path));
    EXPECT_EQ(log.LastError(), 0u);
    ASSERT_TRUE(log.Write("0123456789", 10));
    log.Close();
    ASSERT_TRUE(log.OpenAlways(path));
    EXPECT_EQ(log.LastError(), platform::kErrorAlreadyExists);
    EXPECT_EQ(log.Size(), 10u);
    ASSERT_TRUE(log.SeekToEnd());
    ASSERT_TRUE(log.Write("ab", 2));
    EXPECT_EQ(log.Size(), 12u);
    log.Close();
    ASSERT_TRUE(log.CreateAlways(path));
    EXPECT_EQ(log.Size(), 0u);
}

TEST(LogFileSharing, LastWriteTimeIsTheFilesTimeInLocalTime) {
    WinTempDir dir;
    platform::SharedReadFile log;
    ASSERT_TRUE(log.OpenAlways(dir / "logfile_1.log"));
    SYSTEMTIME st{};
    st.wYear = 2016;
    st.wMonth = 3;
    st.wDay = 7;
    st.wHour = 9;
    st.wMinute = 5;
    st.wSecond = 1;
    FILETIME utc{}, local{};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &local));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
    HANDLE h =
        OpenOther(dir / "logfile_1.log", FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (h == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "cannot set the time beside an open log handle here";
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &utc));
    CloseHandle(h);
    platform::LocalTime t;
    ASSERT_TRUE(log.LastWriteLocal(&t));
    EXPECT_EQ(t.year, 2016);
    EXPECT_EQ(t.month, 3);
    EXPECT_EQ(t.day, 7);
    EXPECT_EQ(t.hour, 9);
    EXPECT_EQ(t.minute, 5);
    EXPECT_EQ(t.second, 1);
}

TEST(LoggerStartUp, LogHeldOpenForWritingByAnotherProgramMakesStartUpFail) {
    WinTempDir dir;
    WriteAll(dir / "logfile_1.log", "someone else's\r\n");
    HANDLE other = OpenOther(dir / "logfile_1.log", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    CErrorLogger logger;
    EXPECT_FALSE(
        logger.Initialize(dir.Path(), "", "logfile_", 2, 0x100000, 0, 3600000, 2, true, false));
    CloseHandle(other);
    EXPECT_EQ(ReadAll(dir / "logfile_1.log"), "someone else's\r\n") << "left as it was";
}

TEST(LoggerStartUp, FirstRunWritesTheHeaderWithTheComputerName) {
    WinTempDir dir;
    {
        CErrorLogger logger;
        ASSERT_TRUE(
            logger.Initialize(dir.Path(), "", "logfile_", 2, 0x100000, 0, 3600000, 2, true, false));
        logger.Stop();
    }
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {0};
    DWORD size = sizeof name;
    ASSERT_TRUE(GetComputerNameA(name, &size));
    const std::string text = ReadAll(dir / "logfile_1.log");
    EXPECT_EQ(text.rfind("Log file of system: " + std::string(name) + "\r\nCreated: ", 0), 0u)
        << text;
    EXPECT_EQ(GetFileAttributesA((dir / "logfile_2.log").c_str()), INVALID_FILE_ATTRIBUTES);
}
