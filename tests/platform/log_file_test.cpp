#include "platform/fs.h"
#include "platform/log_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

TEST(SharedReadFile, AFileOpenForWritingRefusesASecondWriterAndALockingReader) {
    TempDir dir;
    platform::SharedReadFile writer;
    ASSERT_TRUE(writer.OpenAlways(dir / "x.log"));
    EXPECT_EQ(writer.LastError(), 0u) << "created";
    platform::SharedReadFile other;
    EXPECT_FALSE(other.OpenAlways(dir / "x.log"));
    EXPECT_EQ(other.LastError(), platform::kErrorSharingViolation);
    EXPECT_FALSE(other.CreateAlways(dir / "x.log"));
    EXPECT_FALSE(other.OpenExistingForRead(dir / "x.log"));
    EXPECT_EQ(other.LastError(), platform::kErrorSharingViolation);
    ASSERT_TRUE(writer.Write("abc", 3));
    EXPECT_EQ(ReadFile(dir / "x.log"), "abc") << "plain readers can always read";
    writer.Close();
    EXPECT_TRUE(other.OpenAlways(dir / "x.log")) << "the lock goes with the handle";
    EXPECT_EQ(other.LastError(), platform::kErrorAlreadyExists);
}

TEST(SharedReadFile, AReaderWithoutWriteSharingKeepsWritersOut) {
    TempDir dir;
    WriteFile(dir / "x.log", "old");
    platform::SharedReadFile reader, second, writer;
    ASSERT_TRUE(reader.OpenExistingForRead(dir / "x.log"));
    EXPECT_TRUE(second.OpenExistingForRead(dir / "x.log")) << "readers share";
    EXPECT_FALSE(writer.CreateAlways(dir / "x.log"));
    EXPECT_EQ(ReadFile(dir / "x.log"), "old") << "a refused create must not truncate";
}

TEST(SharedReadFile, OpenErrorsTellAMissingFileFromAMissingDirectory) {
    TempDir dir;
    platform::SharedReadFile f;
    EXPECT_FALSE(f.OpenExistingForRead(dir / "none.log"));
    EXPECT_EQ(f.LastError(), platform::kErrorFileNotFound);
    EXPECT_FALSE(f.OpenExistingForRead(dir / "nodir/none.log"));
    EXPECT_EQ(f.LastError(), platform::kErrorPathNotFound);
    EXPECT_FALSE(f.IsOpen());
}

TEST(SharedReadFile, CreateAlwaysTruncatesAndOpenAlwaysKeepsContent) {
    TempDir dir;
    WriteFile(dir / "x.log", "0123456789");
    platform::SharedReadFile f;
    ASSERT_TRUE(f.OpenAlways(dir / "x.log"));
    EXPECT_EQ(f.Size(), 10u);
    ASSERT_TRUE(f.SeekToEnd());
    ASSERT_TRUE(f.Write("AB", 2));
    EXPECT_TRUE(f.Flush());
    EXPECT_EQ(f.Size(), 12u);
    f.Close();
    EXPECT_EQ(ReadFile(dir / "x.log"), "0123456789AB");
    ASSERT_TRUE(f.CreateAlways(dir / "x.log"));
    EXPECT_EQ(f.Size(), 0u);
}

TEST(SharedReadFile, LastWriteTimeIsTheFilesModificationTime) {
    TempDir dir;
    WriteFile(dir / "x.log", "a");
    namespace fs = std::filesystem;
    // 2016-03-07 09:05:01 UTC, the tests run with TZ=UTC.
    // Aimed at the middle of that second: the two clocks are read one after the other, and on
    // a slow (sanitizer) build the gap between the reads could reach back into the second before.
    const auto when =
        fs::file_time_type::clock::now() -
        (std::chrono::system_clock::now() - std::chrono::system_clock::from_time_t(1457341501)) +
        std::chrono::milliseconds(500);
    fs::last_write_time(dir / "x.log", when);
    platform::SharedReadFile f;
    ASSERT_TRUE(f.OpenExistingForRead(dir / "x.log"));
    platform::LocalTime t;
    ASSERT_TRUE(f.LastWriteLocal(&t));
    EXPECT_EQ(t.year, 2016);
    EXPECT_EQ(t.month, 3);
    EXPECT_EQ(t.day, 7);
    EXPECT_EQ(t.hour, 9);
    EXPECT_EQ(t.minute, 5);
    EXPECT_EQ(t.second, 1);
}

TEST(FileMatch, OnlyStarAndQuestionMarkAreWildcards) {
    TempDir dir;
    WriteFile(dir / "a[1].ECG", "");
    EXPECT_TRUE(platform::AnyEntryMatches(dir / "a[1].ECG"));
    EXPECT_FALSE(platform::AnyEntryMatches(dir / "a1.ECG"));
    EXPECT_TRUE(platform::AnyEntryMatches(dir / "a[?].ECG"));
    EXPECT_TRUE(platform::AnyEntryMatches(dir / "*.ECG"));
    EXPECT_FALSE(platform::AnyEntryMatches(dir / "*.TMP"));
}

} // namespace
