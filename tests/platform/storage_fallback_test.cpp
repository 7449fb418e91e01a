// The durable-file steps that file systems without hard links rely on: the checked rename that
// replaces link() there, and a directory flush the file system cannot do.
#include "platform/durable_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

TEST(StorageFallback, CheckedRenameMovesToAFreeNameAndNeverOntoATakenOne) {
    const struct { bool taken; } rows[] = {{false}, {true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.taken ? "taken" : "free");
        TempDir dir;
        WriteFile(dir / "a.TMP", "received bytes");
        if (row.taken)
            WriteFile(dir / "a.ECG", "someone else's");
        EXPECT_EQ(platform::DurableRenameChecked(dir / "a.TMP", dir / "a.ECG"), !row.taken);
        EXPECT_EQ(ReadFile(dir / "a.ECG"), row.taken ? "someone else's" : "received bytes");
        EXPECT_EQ(std::filesystem::exists(dir / "a.TMP"), row.taken);
    }
}

// procfs refuses fsync on its directories with EINVAL, as some FUSE and network file systems do.
TEST(StorageFallback, DirectoryFlushRefusedAsUnsupportedIsNoFailure) {
    EXPECT_TRUE(platform::DurableSyncDirectory("/proc"));
    TempDir dir;
    EXPECT_FALSE(platform::DurableSyncDirectory(dir / "missing"));
}

} // namespace
