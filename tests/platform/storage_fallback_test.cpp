// What storage relies on where the file system has no hard links: the checked rename that takes
// link()'s place, and a directory flush that the file system cannot do.
#include "platform/durable_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

TEST(StorageFallback, CheckedRenameMovesToAFreeNameAndNeverOntoATakenOne) {
    for (const bool taken : {false, true}) {
        SCOPED_TRACE(taken ? "taken" : "free");
        TempDir dir;
        WriteFile(dir / "a.TMP", "received");
        if (taken)
            WriteFile(dir / "a.ECG", "another's");
        EXPECT_EQ(platform::DurableRenameChecked(dir / "a.TMP", dir / "a.ECG"), !taken);
        EXPECT_EQ(ReadFile(dir / "a.ECG"), taken ? "another's" : "received");
        EXPECT_EQ(std::filesystem::exists(dir / "a.TMP"), taken);
    }
}

// procfs refuses fsync on a directory with EINVAL, as some FUSE and network file systems do.
TEST(StorageFallback, DirectoryFlushRefusedAsUnsupportedIsNoFailure) {
    EXPECT_TRUE(platform::DurableSyncDirectory("/proc"));
    TempDir dir;
    EXPECT_FALSE(platform::DurableSyncDirectory(dir / "missing"));
}

} // namespace
