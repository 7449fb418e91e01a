// The test bench tools keep the contracts other tests rely on: the pty helper links COM<n> and
// the peer path, relays bytes unchanged both ways and removes its links when stopped.
#include "link/slip.h"
#include "link/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using testing_support::Bytes;

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

TEST(PtyHelper, RelaysSlipFramesBothWaysAndRemovesItsLinksOnStop) {
    const std::string dir = testing_support::MakeTempDir("ptyhelper");
    const std::string peer = dir + "/device-tty";
    {
        testing_support::ChildTool helper(
            {"python3", testing_support::SourceDir() + "/testbench/pty_helper.py", "--com-dir", dir,
             "--com", "12", "--peer-link", peer});
        ASSERT_TRUE(helper.WaitReady());
        ASSERT_TRUE(Exists(dir + "/COM12"));
        ASSERT_TRUE(Exists(peer));
        setenv("ECGCOMM_PORTS", dir.c_str(), 1);
        ASSERT_EQ(slip_attach(12, 96), 11);

        const int device = open(peer.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(device, 0);
        termios t{};
        tcgetattr(device, &t);
        cfmakeraw(&t);
        tcsetattr(device, TCSANOW, &t);

        // Device to process: every byte value, including the ones a cooked tty would eat.
        Bytes packet;
        for (int i = 0; i < 256; ++i)
            packet.push_back(static_cast<uint8_t>(i));
        const Bytes frame = testing_support::Frame(packet);
        ASSERT_EQ(write(device, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
        uint8_t got[SLIP_MAX_FRAME];
        int n = 0;
        for (int i = 0; i < 3000 && n == 0; ++i) {
            n = slip_receive(got);
            if (n == 0)
                usleep(1000);
        }
        EXPECT_EQ(Bytes(got, got + n), packet);

        // Process to device.
        ASSERT_EQ(slip_send(packet.data(), 256), 1);
        Bytes wire;
        for (int i = 0; i < 300 && wire.size() < frame.size(); ++i) {
            uint8_t buf[1024];
            const ssize_t r = read(device, buf, sizeof buf);
            if (r > 0)
                wire.insert(wire.end(), buf, buf + r);
            else
                usleep(10000);
        }
        EXPECT_EQ(wire, frame);
        close(device);
        link_close(11);
        slip_reset_for_tests();
        unsetenv("ECGCOMM_PORTS");
        helper.Stop();
        EXPECT_FALSE(Exists(dir + "/COM12"));
        EXPECT_FALSE(Exists(peer));
    }
    testing_support::RemoveTree(dir);
}

TEST(TestBenchTools, EachToolAnswersHelp) {
    for (const char* tool : {"pty_helper.py", "modem.py"}) {
        std::string out;
        EXPECT_EQ(testing_support::RunWithInput("python3 '" + testing_support::SourceDir() +
                                                    "/testbench/" + tool + "' --help",
                                                "", &out),
                  0)
            << tool;
        EXPECT_NE(out.find("--com-dir"), std::string::npos) << tool;
    }
}

} // namespace
