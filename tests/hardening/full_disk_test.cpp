// Storage faults through the whole engine: a destination on a nearly full file system and a
// read-only one. The file is reported as not accepted (2) to the device, the log says why,
// nothing partial stays behind, and once space is back the next call is stored. Needs a small
// tmpfs, so root; elsewhere the tests are skipped.
#include "csi/csi_config.h"
#include "csi/csi_harness.h"
#include "csi/obj_builder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace fs = std::filesystem;

namespace {

// A tmpfs of the given size on a fresh directory, unmounted again on destruction.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::string& options) : m_path(UniquePath()) {
        fs::create_directories(m_path);
        m_mounted = std::system(("mount -t tmpfs -o " + options + " tmpfs '" + m_path.string() +
                                 "' 2>/dev/null")
                                    .c_str()) == 0;
    }
    ~SmallFileSystem() {
        std::error_code ec;
        // Storing walks into the destination; a working directory inside would keep it busy.
        fs::current_path(fs::temp_directory_path(), ec);
        if (m_mounted)
            std::system(("umount '" + m_path.string() + "'").c_str());
        fs::remove_all(m_path, ec);
    }
    bool Mounted() const { return m_mounted; }
    const fs::path& Path() const { return m_path; }
    void Remount(const std::string& options) {
        ASSERT_EQ(
            std::system(("mount -o remount," + options + " '" + m_path.string() + "'").c_str()), 0);
    }

private:
    // Unique across the test processes that ctest runs side by side.
    static fs::path UniquePath() {
        std::random_device random;
        return fs::temp_directory_path() /
               ("ecgcomm-small-fs-" + std::to_string(random()) + std::to_string(random()));
    }

    fs::path m_path;
    bool m_mounted = false;
};

class StorageFault : public ::testing::Test, public EngineFixtureBase {
protected:
    // The engine keeps the pointer it is given, so the text must outlive the test.
    void UseDestination(const SmallFileSystem& small) {
        destination = small.Path().string();
        csi_set_destination(destination.c_str());
    }
    std::string destination;

    // One whole call: the file, the confirmation as the communication task gives it, and the
    // device's question; the answer's flag (0 when none came).
    int Call(const Bytes& file, uint16_t transferId) {
        if (waiter.word.load() != CSI_STATUS_RUNNING)
            Post(waiter, 3);
        ConnectAndLogin();
        SendWholeFile(file, transferId);
        Rounds(1);
        Post(confirmer, 4, csi_get_file_stored() ? 1 : 0);
        Rounds(1);
        int flag = 0;
        for (const Bytes& m : Send(Msg(MSG_FILE_STATUS_QUERY, CSI_DEFAULT_SESSION_CODE, seq++))) {
            const Answer a = Parse(m);
            if (a.type == MSG_FILE_STATUS) {
                EXPECT_EQ(a.word12, transferId);
                flag = a.word10;
            }
        }
        Send(Msg(MSG_LOGOUT, CSI_DEFAULT_SESSION_CODE, seq++));
        Send(Msg(MSG_DISCONNECT, CSI_DEFAULT_SESSION_CODE, seq++, {0, 0}));
        return flag;
    }

    std::vector<fs::path> Entries(const fs::path& dir) {
        std::vector<fs::path> found;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().filename() != "filler")
                found.push_back(e.path());
        return found;
    }

    bool LoggedError(const std::string& start) {
        for (const auto& l : logs)
            if (l.rfind("csi_task_interface|0|" + start, 0) == 0)
                return true;
        return false;
    }
};

TEST_F(StorageFault, FullDiskRefusesTheFileLeavesNothingAndTheNextCallIsStored) {
    SmallFileSystem small("size=256k");
    if (!small.Mounted())
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    UseDestination(small);
    {
        // Leave less room than the file needs.
        std::ofstream filler(small.Path() / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        for (int i = 0; i < 60; ++i)
            filler << block;
    }
    StartServer();
    const Bytes file = BuildObjFile(40000, ObjFault::None, 11);
    EXPECT_EQ(Call(file, 0x0101), 2);
    EXPECT_TRUE(LoggedError("Unable to write file")) << "the log says why";
    EXPECT_TRUE(Entries(small.Path()).empty()) << "no partial .TMP or .ECG";

    fs::remove(small.Path() / "filler");
    logs.clear();
    EXPECT_EQ(Call(file, 0x0102), 1);
    const auto stored = Entries(small.Path());
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].extension(), ".ECG");
    std::ifstream in(stored[0], std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), file);
}

TEST_F(StorageFault, ReadOnlyDestinationRefusesTheFileAndRecoversWhenWritable) {
    SmallFileSystem small("size=1m");
    if (!small.Mounted())
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    UseDestination(small);
    small.Remount("ro");
    StartServer();
    const Bytes file = BuildObjFile(3000, ObjFault::None, 12);
    EXPECT_EQ(Call(file, 0x0201), 2);
    EXPECT_TRUE(LoggedError("Unable to write file")) << "the log says why";
    EXPECT_TRUE(Entries(small.Path()).empty());

    small.Remount("rw");
    EXPECT_EQ(Call(file, 0x0202), 1);
    EXPECT_EQ(Entries(small.Path()).size(), 1u);
}

} // namespace
