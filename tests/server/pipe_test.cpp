// The control pipe on this platform: where its name leads, that a missing pipe fails at once,
// and that bytes cross it in order between the two roles.
#include "server/cmn_pipe.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class ControlPipe : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("pipe_test_" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string PathOf(const std::string& leaf) { return (dir / leaf).string(); }
    fs::path dir;
};

TEST_F(ControlPipe, ClientOpenOfAPipeNobodyCreatedFailsAtOnce) {
    CCmnPipe pipe;
    EXPECT_FALSE(pipe.Open(PathOf("absent"), false));
    EXPECT_NE(pipe.LastError(), 0u);
    EXPECT_FALSE(pipe.Open(PathOf("absent"), false)) << "a failed object stays failed";
    pipe.Close();
}

TEST_F(ControlPipe, EmptyNameFailsWithoutTouchingTheSystem) {
    CCmnPipe pipe;
    EXPECT_FALSE(pipe.Open("", false));
    EXPECT_EQ(pipe.LastError(), 0u);
    EXPECT_TRUE(pipe.Name().empty());
}

TEST_F(ControlPipe, NameWithSlashIsTheSocketPathItself) {
    CCmnPipe server;
    ASSERT_TRUE(server.Open(PathOf("ctl"), true));
    EXPECT_EQ(server.Name(), PathOf("ctl"));
    EXPECT_TRUE(fs::exists(PathOf("ctl")));
    server.Close();
    EXPECT_FALSE(fs::exists(PathOf("ctl"))) << "the creator removes its name";
}

TEST_F(ControlPipe, BareNameLivesInTheTemporaryDirectory) {
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    setenv("TMPDIR", dir.c_str(), 1);
    CCmnPipe server;
    ASSERT_TRUE(server.Open("unit", true));
    EXPECT_EQ(server.Name(), PathOf("ecgcomm-pipe-unit"));
    EXPECT_TRUE(fs::exists(PathOf("ecgcomm-pipe-unit")));
    CCmnPipe client;
    EXPECT_TRUE(client.Open("unit", false));
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

TEST_F(ControlPipe, WithoutTmpdirTheBareNameLivesInTmp) {
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    unsetenv("TMPDIR");
    CCmnPipe client;
    client.Open("no-such-parent-" + std::to_string(getpid()), false);
    EXPECT_EQ(client.Name(), "/tmp/ecgcomm-pipe-no-such-parent-" + std::to_string(getpid()));
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
}

TEST_F(ControlPipe, PathLongerThanASocketAddressHoldsIsRefused) {
    CCmnPipe server;
    EXPECT_FALSE(server.Open("/tmp/" + std::string(120, 'x'), true));
    EXPECT_NE(server.LastError(), 0u);
}

TEST_F(ControlPipe, BytesWrittenByTheCreatorAreReadByTheClientInOrder) {
    CCmnPipe server, client;
    ASSERT_TRUE(server.Open(PathOf("ctl"), true));
    ASSERT_TRUE(client.Open(PathOf("ctl"), false));
    const unsigned char events[] = {0x8E, 0x8F};
    uint32_t written = 0;
    ASSERT_TRUE(server.Write(events, 2, &written));
    EXPECT_EQ(written, 2u);
    unsigned char buffer[16];
    uint32_t got = 0, total = 0;
    while (total < 2 && client.Read(buffer + total, sizeof(buffer) - total, &got))
        total += got;
    ASSERT_EQ(total, 2u);
    EXPECT_EQ(buffer[0], 0x8E);
    EXPECT_EQ(buffer[1], 0x8F);
}

TEST_F(ControlPipe, ReadFailsOnceTheCreatorHasClosedItsEnd) {
    CCmnPipe server, client;
    ASSERT_TRUE(server.Open(PathOf("ctl"), true));
    ASSERT_TRUE(client.Open(PathOf("ctl"), false));
    unsigned char byte = 0x41;
    ASSERT_TRUE(server.Write(&byte, 1, nullptr));
    server.Close();
    unsigned char buffer[8];
    uint32_t got = 0;
    EXPECT_TRUE(client.Read(buffer, sizeof(buffer), &got)); // what was written still arrives
    EXPECT_FALSE(client.Read(buffer, sizeof(buffer), &got));
    EXPECT_EQ(got, 0u);
}

TEST_F(ControlPipe, ClosedOrNullBufferReadsFail) {
    CCmnPipe pipe;
    unsigned char buffer[4];
    EXPECT_FALSE(pipe.Read(buffer, 4, nullptr));
    CCmnPipe server, client;
    ASSERT_TRUE(server.Open(PathOf("ctl"), true));
    ASSERT_TRUE(client.Open(PathOf("ctl"), false));
    EXPECT_FALSE(client.Read(nullptr, 4, nullptr));
    EXPECT_FALSE(client.Open(PathOf("ctl"), false)) << "an open object cannot open again";
}

} // namespace
