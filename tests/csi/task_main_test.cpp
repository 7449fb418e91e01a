// The real thread body over the real link and real time: commands come back through the
// poster's status word and the thread ends when the stop byte is set.
#include "csi/csi_config.h"
#include "csi/csi_message.h"
#include "csi/csi_task.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

int32_t PostAndWait(CCSIQueue& queue, uint32_t code, const char* name = "INT") {
    std::atomic<int32_t> word{1};
    CsiCommandRecord r;
    r.code = code;
    r.interfaceName = name;
    r.statusWord = &word;
    queue.Append(r);
    // Generous: a loaded machine may stretch the 250 ms rounds a lot.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (word.load() == 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return word.load();
}

TEST(TaskMain, AnswersCommandsOnItsThreadAndStopsOnTheStopByte) {
    csi_config_reset_for_tests(); // no COM port: the link cannot be attached
    CCSIQueue queue;
    uint16_t station = 0;
    uint8_t cell = 0;
    CsiSharedBlock shared{&station, &cell, &queue};
    CsiTaskContext context;
    context.shared = &shared;
    std::thread task([&context] { TaskMain(&context); });

    EXPECT_EQ(PostAndWait(queue, 9), CSI_STATUS_FAILURE);
    EXPECT_EQ(PostAndWait(queue, 3), CSI_STATUS_NOT_ALLOWED);
    EXPECT_EQ(PostAndWait(queue, 2), CSI_STATUS_FAILURE) << "no line to attach";
    EXPECT_EQ(PostAndWait(queue, 1), CSI_STATUS_DONE);

    context.stop.store(1);
    task.join();
    SUCCEED();
}

} // namespace

TEST(CsiMessage, StatusLengthsFollowTheirTexts) {
    uint8_t area[CSI_AREA_SIZE];
    EXPECT_EQ(CsiBuildStatus(area, 1, 2, 0, RC_OK, nullptr), 14u);
    EXPECT_EQ(CsiBuildStatus(area, 1, 2, 0xFFFF, RC_BADAUTH, CSI_TEXT_BADAUTH), 38u);
    EXPECT_EQ(area[37], 0) << "text is NUL-terminated";
    EXPECT_EQ(CsiBuildStatus(area, 1, 2, 0xFFFF, RC_NOREQUEST, CSI_TEXT_NOREQUEST), 52u);
    EXPECT_EQ(CsiBuildStatus(area, 1, 2, 0xFFFF, RC_FILE, CSI_TEXT_FILE), 32u);
    const std::string tooLong(CSI_AREA_SIZE, 'x');
    EXPECT_EQ(CsiBuildStatus(area, 1, 2, 0xFFFF, RC_FILE, tooLong.c_str()), 0u);
}

TEST(CsiMessage, ReceiptRulesCompareTheLengthFieldWithTheDatagram) {
    uint8_t m[20] = {16, 0};
    EXPECT_TRUE(CsiIsAcceptableDatagram(m, 16));
    EXPECT_FALSE(CsiIsAcceptableDatagram(m, 20));
    EXPECT_FALSE(CsiIsAcceptableDatagram(m, 2));
    EXPECT_FALSE(CsiIsAcceptableDatagram(m, 0));
    EXPECT_FALSE(CsiIsAcceptableDatagram(m, -1));
    m[0] = 4;
    EXPECT_FALSE(CsiIsAcceptableDatagram(m, 4)) << "shorter than a header";
    m[0] = 0x10;
    m[1] = 0x01; // 272: the 16-bit length must match exactly
    EXPECT_FALSE(CsiIsAcceptableDatagram(m, 16));
}
