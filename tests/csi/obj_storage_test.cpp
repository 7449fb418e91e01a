// The OBJ file check and the storage of received files.
#include "csi/csi_config.h"
#include "csi/file_storage.h"
#include "csi/obj_file.h"
#include "obj_builder.h"
#include "platform/durable_file.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <regex>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using namespace testsupport;
using Bytes = std::vector<uint8_t>;

// The check's result; for a valid file the copies handed out, in directory order.
int Check(const Bytes& f, size_t received, std::vector<Bytes>* copies = nullptr) {
    ObjectList list;
    uint32_t n = 0;
    const int rc = ParseObjFile(&list, &n, f.data(), received);
    EXPECT_EQ(rc == OBJ_VALID, list != nullptr) << "a list exactly when valid";
    for (uint8_t** e = list.get(); copies != nullptr && e != nullptr && *e != nullptr; ++e)
        copies->emplace_back(*e, *e + ((*e)[4] | ((*e)[5] << 8)));
    EXPECT_TRUE(list == nullptr || copies == nullptr || copies->size() == n);
    return rc;
}

TEST(ObjFile, ValidFilesOfEverySizeClassPassAndTheirObjectsAreCopiedInOrder) {
    for (size_t size : {28, 29, 128, 60019, 60021, 120050, 200000, 350000}) {
        SCOPED_TRACE(size);
        Bytes f = BuildObjFile(size, ObjFault::None, static_cast<uint32_t>(size));
        std::vector<Bytes> copies;
        ASSERT_EQ(Check(f, f.size(), &copies), OBJ_VALID);
        size_t at = 8 + 12 * copies.size();
        for (const Bytes& c : copies) {
            EXPECT_EQ(Bytes(f.begin() + at, f.begin() + at + c.size()), c);
            at += c.size();
        }
        EXPECT_EQ(at, f.size());
        f.resize(size + 50, 0xEE);
        EXPECT_EQ(Check(f, f.size()), OBJ_VALID) << "bytes after the objects are allowed";
    }
    const Bytes empties = BuildObjFileWithEmptySlots(300, 3);
    std::vector<Bytes> copies;
    EXPECT_EQ(Check(empties, empties.size(), &copies), OBJ_VALID);
    EXPECT_EQ(copies.size(), 1u) << "slots with id 0 and 0xFFFF are skipped";
}

TEST(ObjFile, EachKindOfFaultAndEveryTruncationIsRejected) {
    for (int fault = 1; fault <= static_cast<int>(ObjFault::OnlyEmptySlots); ++fault)
        for (size_t size : {200, 130000}) {
            SCOPED_TRACE(std::to_string(fault) + " " + std::to_string(size));
            const Bytes f = BuildObjFile(size, static_cast<ObjFault>(fault));
            EXPECT_EQ(Check(f, f.size()), fault == 1 ? OBJ_BAD_FORMAT : OBJ_MALFORMED);
        }
    const Bytes f = BuildObjFile(300);
    for (size_t received = 0; received < f.size(); ++received) {
        // A copy of exactly the received bytes lets the sanitizers see any read past them.
        const Bytes part(f.begin(), f.begin() + static_cast<long>(received));
        EXPECT_NE(Check(part.empty() ? f : part, received), OBJ_VALID) << received;
    }
}

const Bytes kData{0x01, 0x00, 0xC0, 0xDB, 0x0A, 0x0D, 0x00, 0xFF};

class Storage : public ::testing::Test {
protected:
    void SetUp() override { csi_config_reset_for_tests(); }
    void TearDown() override {
        SetStorageNameSourceForTests({});
        csi_config_reset_for_tests();
    }
    // Stores into `destination` (unset when null) with the flag set before; the flag after.
    bool Store(const std::string* destination, const Bytes& data = kData) {
        csi_set_destination(destination ? destination->c_str() : nullptr);
        csi_set_file_stored(true);
        log.Clear();
        StoreFile(data.empty() ? nullptr : data.data(), data.size());
        return csi_get_file_stored();
    }
    std::vector<std::string> Entries(const std::string& d) {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(d))
            names.push_back(e.path().filename().string());
        return names;
    }
    TempDir dir;
    LogCapture log;
};

TEST_F(Storage, StoresUnderATimeStampedNameCreatingTheDirectory) {
    const std::string nested = dir / "a/b";
    ASSERT_TRUE(Store(&nested));
    const auto names = Entries(nested);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(
        std::regex_match(names[0], std::regex(R"(\d{4}-\d\d-\d\dT\d\d_\d\d_\d\d\.\d{3}\.ECG)")));
    EXPECT_EQ(ReadFile(nested + "/" + names[0]), std::string(kData.begin(), kData.end()));
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"File \"" + nested + "/" + names[0] +
                                                    "\" successfully stored."});
}

TEST_F(Storage, TakenNamesAreSkippedAndNoEcgIsEverReplaced) {
    WriteFile(dir / "N1.TMP", "foreign");
    WriteFile(dir / "N2.ECG", "older recording");
    int calls = 0;
    SetStorageNameSourceForTests([&calls] { return "N" + std::to_string(++calls); });
    const std::string d = dir.Path();
    ASSERT_TRUE(Store(&d));
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(ReadFile(dir / "N3.ECG"), std::string(kData.begin(), kData.end()));
    EXPECT_FALSE(platform::DurableRenameNoReplace(dir / "N1.TMP", dir / "N2.ECG"));
    EXPECT_EQ(ReadFile(dir / "N2.ECG"), "older recording");
}

#ifndef _WIN32
// Where the file system has no hard links: the checked rename that takes link()'s place never
// moves onto a taken name, and a directory flush refused as unsupported (procfs says EINVAL, as
// some FUSE and network file systems do) is no failure.
TEST_F(Storage, CheckedRenameKeepsTakenNamesAndAnUnsupportedDirectoryFlushIsNoFailure) {
    for (const bool taken : {false, true}) {
        WriteFile(dir / "a.TMP", "received");
        if (taken)
            WriteFile(dir / "a.ECG", "another's");
        EXPECT_EQ(platform::DurableRenameChecked(dir / "a.TMP", dir / "a.ECG"), !taken);
        EXPECT_EQ(ReadFile(dir / "a.ECG"), taken ? "another's" : "received");
        EXPECT_EQ(std::filesystem::exists(dir / "a.TMP"), taken);
        std::filesystem::remove(dir / "a.ECG");
    }
    EXPECT_TRUE(platform::DurableSyncDirectory("/proc"));
    EXPECT_FALSE(platform::DurableSyncDirectory(dir / "missing"));
}
#endif

TEST_F(Storage, EveryFailureIsLoggedLeavesNothingAndTheFlagFalse) {
    WriteFile(dir / "plain", "x");
    const std::string below = dir / "plain/sub", proc = "/proc";
    SetStorageNameSourceForTests([] { return std::string("X"); });
    EXPECT_FALSE(Store(nullptr));
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"File could not be written because "
                                                    "destination directory has not been set."});
    EXPECT_FALSE(Store(&below));
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"Unable to create directory \"" + below +
                                                    "\". Received files won't be stored / "
                                                    "confirmed."});
    EXPECT_FALSE(Store(&proc)) << "exists, but refuses new files even for the super-user";
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"Unable to write file \"/proc/X.TMP\"."});
    const std::string d = dir.Path();
    EXPECT_FALSE(Store(&d, Bytes{}));
    EXPECT_TRUE(log.Texts().empty()) << "nothing to store, nothing to say";
    EXPECT_EQ(Entries(d), std::vector<std::string>{"plain"});
}

#ifndef _WIN32
// A small tmpfs, full then read-only. As root (CI) a mount that fails is a failure, not a skip.
TEST_F(Storage, FullOrReadOnlyFileSystemRefusesTheFileUntilItRecovers) {
    const std::string small = dir / "small";
    fs::create_directories(small);
    const bool mounted =
        std::system(("mount -t tmpfs -o size=256k tmpfs '" + small + "' 2>/dev/null").c_str()) == 0;
    if (!mounted && getuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    ASSERT_TRUE(mounted);
    WriteFile(small + "/filler", std::string(240 * 1024, 'x'));
    const Bytes file = BuildObjFile(40000, ObjFault::None, 11);
    EXPECT_FALSE(Store(&small, file));
    EXPECT_EQ(log.Texts().size(), 1u);
    EXPECT_EQ(log.Texts()[0].rfind("Unable to write file \"" + small + "/", 0), 0u);
    EXPECT_EQ(Entries(small), std::vector<std::string>{"filler"}) << "no partial .TMP or .ECG";
    fs::remove(small + "/filler");
    EXPECT_TRUE(Store(&small, file));
    ASSERT_EQ(std::system(("mount -o remount,ro '" + small + "'").c_str()), 0);
    EXPECT_FALSE(Store(&small, file));
    EXPECT_EQ(log.Texts()[0].rfind("Unable to write file", 0), 0u);
    ASSERT_EQ(std::system(("mount -o remount,rw '" + small + "'").c_str()), 0);
    EXPECT_TRUE(Store(&small, file));
    EXPECT_EQ(Entries(small).size(), 2u);
    fs::current_path(dir.Path());
    std::system(("umount '" + small + "'").c_str());
}

#endif

} // namespace
