// Received-file storage: names, separators, directory creation, failures that must leave the
// flag false and nothing behind, and the no-replace rename underneath.
#include "csi/csi_config.h"
#include "csi/file_storage.h"
#include "logging/log.h"
#include "platform/durable_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

class Storage : public ::testing::Test {
protected:
    void SetUp() override {
        csi_config_reset_for_tests();
        root = (fs::temp_directory_path() /
                ("csi_storage_" +
                 std::to_string(std::chrono::steady_clock::now().time_since_epoch().count())))
                   .string();
        SetLogObserver([this](const std::string& source, const std::string& text, int level) {
            logs.push_back(source + "|" + std::to_string(level) + "|" + text);
        });
        original = fs::current_path();
    }
    void TearDown() override {
        SetLogObserver({});
        SetStorageNameSourceForTests({});
        csi_config_reset_for_tests();
        fs::current_path(original); // the directory walk changes it
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::vector<fs::path> Entries(const std::string& dir) {
        std::vector<fs::path> found;
        for (const auto& e : fs::directory_iterator(dir))
            found.push_back(e.path());
        return found;
    }
    Bytes ReadAll(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string root;
    fs::path original;
    std::vector<std::string> logs;
    const Bytes data{0x01, 0x00, 0xC0, 0xDB, 0x0A, 0x0D, 0x00, 0xFF};
};

TEST_F(Storage, StoresUnderTimeStampedNameInANewNestedDirectory) {
    const std::string dir = root + "/a/b";
    csi_set_destination(dir.c_str());
    StoreFile(data.data(), data.size());
    EXPECT_TRUE(csi_get_file_stored());
    const auto entries = Entries(dir);
    ASSERT_EQ(entries.size(), 1u);
    const std::string name = entries[0].filename().string();
    EXPECT_TRUE(
        std::regex_match(name, std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}_\d{2}_\d{2}\.\d{3}\.ECG)")))
        << name;
    EXPECT_EQ(ReadAll(entries[0]), data);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0],
              "csi_task_interface|2|File \"" + dir + "/" + name + "\" successfully stored.");
}

TEST_F(Storage, NoSecondSeparatorWhenTheDirectoryEndsWithOne) {
    const std::string dir = root + "/";
    csi_set_destination(dir.c_str());
    SetStorageNameSourceForTests([] { return std::string("2024-05-06T07_08_09.123"); });
    StoreFile(data.data(), data.size());
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0], "csi_task_interface|2|File \"" + root +
                           "/2024-05-06T07_08_09.123.ECG\" successfully stored.");
}

TEST_F(Storage, ExistingTmpOrEcgNameMakesAnotherNameDrawnAndLeavesTheOldFileAlone) {
    fs::create_directories(root);
    { std::ofstream(root + "/N1.TMP") << "foreign"; }
    { std::ofstream(root + "/N2.ECG") << "older recording"; }
    csi_set_destination(root.c_str());
    int calls = 0;
    SetStorageNameSourceForTests([&calls] { return "N" + std::to_string(++calls); });
    StoreFile(data.data(), data.size());
    EXPECT_TRUE(csi_get_file_stored());
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(ReadAll(root + "/N3.ECG"), data);
    EXPECT_EQ(ReadAll(root + "/N2.ECG"),
              Bytes({'o', 'l', 'd', 'e', 'r', ' ', 'r', 'e', 'c', 'o', 'r', 'd', 'i', 'n', 'g'}));
}

TEST_F(Storage, UnsetDestinationIsLoggedAndTheFlagStaysFalse) {
    csi_set_file_stored(true);
    StoreFile(data.data(), data.size());
    EXPECT_FALSE(csi_get_file_stored());
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0], "csi_task_interface|0|File could not be written because destination "
                       "directory has not been set.");
}

TEST_F(Storage, DirectoryThatCannotBeCreatedIsLogged) {
    fs::create_directories(root);
    { std::ofstream(root + "/plainfile") << "x"; }
    const std::string dir = root + "/plainfile/sub";
    csi_set_destination(dir.c_str());
    csi_set_file_stored(true);
    StoreFile(data.data(), data.size());
    EXPECT_FALSE(csi_get_file_stored());
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0], "csi_task_interface|0|Unable to create directory \"" + dir +
                           "\". Received files won't be stored / confirmed.");
}

TEST_F(Storage, UnwritableDirectoryLeavesNothingAndTheFlagFalse) {
    // /proc exists and refuses new files even for the super-user.
    csi_set_destination("/proc");
    SetStorageNameSourceForTests([] { return std::string("X"); });
    csi_set_file_stored(true);
    StoreFile(data.data(), data.size());
    EXPECT_FALSE(csi_get_file_stored());
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0], "csi_task_interface|0|Unable to write file \"/proc/X.TMP\".");
}

TEST_F(Storage, EmptyDataWritesNothingAndLogsNothing) {
    csi_set_destination(root.c_str());
    csi_set_file_stored(true);
    StoreFile(data.data(), 0);
    StoreFile(nullptr, 5);
    EXPECT_FALSE(csi_get_file_stored());
    EXPECT_TRUE(logs.empty());
    EXPECT_TRUE(Entries(root).empty());
}

TEST_F(Storage, RenameNeverReplacesAnExistingTarget) {
    fs::create_directories(root);
    platform::DurableFile f;
    ASSERT_TRUE(platform::DurableCreateExclusive(root + "/a.TMP", &f));
    ASSERT_TRUE(platform::DurableWriteAll(&f, data.data(), data.size()));
    ASSERT_TRUE(platform::DurableFlush(&f));
    ASSERT_TRUE(platform::DurableClose(&f));
    platform::DurableFile again;
    EXPECT_FALSE(platform::DurableCreateExclusive(root + "/a.TMP", &again)) << "exclusive";
    { std::ofstream(root + "/a.ECG") << "keep"; }
    EXPECT_FALSE(platform::DurableRenameNoReplace(root + "/a.TMP", root + "/a.ECG"));
    EXPECT_EQ(ReadAll(root + "/a.ECG"), Bytes({'k', 'e', 'e', 'p'}));
    EXPECT_TRUE(fs::exists(root + "/a.TMP"));
    EXPECT_TRUE(platform::DurableRenameNoReplace(root + "/a.TMP", root + "/b.ECG"));
    EXPECT_FALSE(fs::exists(root + "/a.TMP"));
    EXPECT_EQ(ReadAll(root + "/b.ECG"), data);
    EXPECT_TRUE(platform::DurableSyncDirectory(root));
    EXPECT_TRUE(platform::DurableDelete(root + "/b.ECG"));
    EXPECT_FALSE(platform::DurableDelete(root + "/b.ECG"));
}

} // namespace
