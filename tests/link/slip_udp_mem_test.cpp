// SLIP framing, the UDP/IPv4 layer and the link attach over the in-memory serial port.
#include "csi/csi_config.h"
#include "fuzz/memory_line.h"
#include "link/answer_timing.h"
#include "link/slip.h"
#include "link/udp.h"
#include "platform/wakeup.h"
#include "support/slip_wire.h"
#include "support/support.h"

#include <gtest/gtest.h>

namespace {

using namespace testsupport;

const Bytes kPayload = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
const Bytes kAwkward = {0xC0, 0xDB, 0x11, 0x13, 0x0A, 0x0D, 0xFF, 0x00};

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

class MemLine : public ::testing::Test {
protected:
    void SetUp() override {
        memory_line::Clear();
        slip_reset_for_tests(), udp_reset_for_tests(), csi_config_reset_for_tests();
        ASSERT_EQ(slip_attach(3, 96), 2);
        log.Clear();
    }
    void TearDown() override {
        slip_reset_for_tests();
        EXPECT_EQ(memory_line::OpenPorts(), 0) << "every port closed again";
    }
    // Each chunk arrives after everything before it was received; the packets that came out.
    std::vector<Bytes> Receive(const std::vector<Bytes>& chunks) {
        std::vector<Bytes> packets;
        uint8_t packet[SLIP_MAX_FRAME];
        for (const Bytes& c : chunks) {
            memory_line::Queue(c.data(), c.size());
            for (int n; (n = slip_receive(packet)) > 0;)
                packets.emplace_back(packet, packet + n);
        }
        return packets;
    }
    // The frames written since the last look, as bytes on the wire.
    Bytes Wire() {
        const Bytes w = memory_line::Written();
        memory_line::Clear();
        return w;
    }
    // One datagram received from what the line brings: the payload, with the sender's port and
    // address bytes appended, or nothing.
    Bytes Datagram(const Bytes& wire, int capacity = 1024) {
        memory_line::Queue(wire.data(), wire.size());
        uint8_t buf[1024];
        int fromLength = 16;
        from = csi_sockaddr_in{};
        const int n = udp_recvfrom(0, buf, capacity, 0, &from, &fromLength);
        const auto* raw = reinterpret_cast<const uint8_t*>(&from);
        return n > 0 ? Cat({Bytes(buf, buf + n), Bytes(raw + 2, raw + 8)}) : Bytes{};
    }
    int SendTo(const Bytes& payload, const csi_sockaddr_in& to) {
        return udp_sendto(0, payload.data(), static_cast<int>(payload.size()), 0, &to, 16);
    }
    const Bytes kDevice = {0x10, 0xE1, 10, 1, 2, 3}; // port 4321 of 10.1.2.3
    csi_sockaddr_in from{};
    LogCapture log;
};

struct SlipRow {
    const char* name;
    std::vector<Bytes> chunks, packets;
    int pending;
};

const Bytes kBig = Cat({{0xC0}, Bytes(1007, 0x41), {0xC0}}),
            kAlmost = Cat({{0xC0}, Bytes(1005, 0x41)});
// clang-format off
const SlipRow kSlipRows[] = {
    {"EscapesDecodedLeadingEndsSkipped", {{0xC0, 0xC0, 0x41, 0xDB, 0xDC, 0xDB, 0xDD, 0x42, 0xC0}}, {{0x41, 0xC0, 0xDB, 0x42}}, 0},
    {"EscBeforeAnOrdinaryByteIsDropped", {{0x41, 0xDB, 0x42, 0xC0}}, {{0x41, 0x42}}, 0},
    {"SplitOverThreeReads", {{0xC0, 0x10}, {0x11, 0x12}, {0x13, 0xC0}}, {{0x10, 0x11, 0x12, 0x13}}, 0},
    {"EscapeCutAtAReadBoundary", {{0xC0, 0x41, 0xDB}, {0xDC, 0x42, 0xC0}}, {{0x41, 0xC0, 0x42}}, 0},
    {"TwoFramesInOneRead", {{0xC0, 1, 2, 0xC0, 0xC0, 3, 4, 5, 0xC0}}, {{1, 2}, {3, 4, 5}}, 0},
    {"GarbageWithoutEndJoinsTheNextFrame", {{0x99, 0x98, 0xC0, 0x41, 0xC0}}, {{0x99, 0x98}, {0x41}}, 0},
    {"ModemTextBetweenFrames", {{'2', '\r', '1', '\r', 0xC0, 0x50, 0xC0}}, {{'2', '\r', '1', '\r'}, {0x50}}, 0},
    {"HalfAFrameIsKept", {{0xC0, 1, 2, 3}}, {}, 4},
    {"LongestPacket", {Frame(Bytes(1006, 0x7F))}, {Bytes(1006, 0x7F)}, 0},
    {"OversizedFrameIsKeptButNeverReturned", {kBig}, {}, 1009},
    {"PastThePendingLimitAllIsDropped", {kBig, Cat({Bytes(1040, 0x42), {0xC0}}), {0xC0, 0x61, 0xC0}}, {{0x61}}, 0},
    {"ExactlyAtThePendingLimitIsKept", {kAlmost, Bytes(1042, 0x42)}, {}, 2048},
    {"OneBytePastItDrops", {kAlmost, Bytes(1042, 0x42), {0x43}}, {}, 0},
};
// clang-format on

class SlipReceive : public MemLine, public ::testing::WithParamInterface<SlipRow> {};

TEST_P(SlipReceive, PacketsAndPendingBytes) {
    EXPECT_EQ(Receive(GetParam().chunks), GetParam().packets);
    EXPECT_EQ(slip_pending_count(), GetParam().pending);
}

INSTANTIATE_TEST_SUITE_P(Table, SlipReceive, ::testing::ValuesIn(kSlipRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MemLine, SendFramesEscapesWithinTheLineLimitAndTheWaitSeesKeptFrames) {
    const uint8_t packet[] = {0x01, 0xC0, 0xDB, 0x0A, 0x0D, 0x11, 0x13, 0xFF, 0x00};
    ASSERT_EQ(slip_send(packet, 9) + slip_send(nullptr, 0), 2);
    EXPECT_EQ(Wire(), (Bytes{0xC0, 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0x0A, 0x0D, 0x11, 0x13, 0xFF, 0x00,
                             0xC0, 0xC0, 0xC0}));
    const Bytes fits(1004, 0x41), escaped = Cat({Bytes(1003, 0x41), {0xC0}});
    EXPECT_EQ(slip_send(fits.data(), 1004), 1);
    EXPECT_EQ(slip_send(Bytes(1005, 0x41).data(), 1005) + slip_send(escaped.data(), 1004), 0);
    EXPECT_EQ(Wire().size(), 1006u) << "only the frame that fits; an escape costs a byte too";
    const platform::UniqueWakeup signal = platform::WakeupCreate();
    platform::Wakeup* wakeup = signal.get();
    uint8_t buf[SLIP_MAX_FRAME];
    const Bytes two = Cat({Frame({1, 2, 3, 4}), Frame({5, 6})});
    memory_line::Queue(two.data(), two.size());
    EXPECT_EQ(slip_receive(buf), 4);
    EXPECT_EQ(link_wait(1000, wakeup), 1) << "the second frame of that read is kept";
    EXPECT_EQ(slip_receive(buf), 2);
    Receive({{0xC0, 1, 2}});
    EXPECT_EQ(link_wait(1000, wakeup), 0) << "half a frame is nothing to receive yet";
    Receive({kBig});
    EXPECT_EQ(link_wait(1000, wakeup), 0) << "nor is an oversized one: no busy loop";
    platform::WakeupRaise(wakeup);
    EXPECT_EQ(link_wait(1000, wakeup), 2);
}

// Every receive check drops exactly its packet, silently; the next one comes through.
struct DropRow {
    const char* name;
    void (*spoil)(Bytes&);
};

// clang-format off
const DropRow kDrops[] = {
    {"EmptyPayload", [](Bytes& p) { p = UdpPacket({}); }},
    {"IpChecksum", [](Bytes& p) { p[10] ^= 1; }},
    {"UdpChecksum", [](Bytes& p) { p[26] ^= 1; }},
    {"PayloadChanged", [](Bytes& p) { p[30] ^= 1; }},
    {"UdpChecksumZero", [](Bytes& p) { p[26] = p[27] = 0; }},
    {"TypeOfService", [](Bytes& p) { p[1] = 0x10, FixChecksums(p); }},
    {"HeaderWithOptions", [](Bytes& p) { p[0] = 0x46, FixChecksums(p); }},
    {"TotalLengthPlusOne", [](Bytes& p) { p[3] += 1, FixChecksums(p); }},
    {"ProtocolTcp", [](Bytes& p) { p[9] = 6, FixChecksums(p); }},
    {"OtherPort", [](Bytes& p) { p = UdpPacket(kPayload, {192, 9, 9, 5}, 8889); }},
    {"Truncated", [](Bytes& p) { p.resize(p.size() - 3); }},
    {"OtherHostOnceTheAddressIsSet", [](Bytes& p) { p = UdpPacket(kPayload, {10, 9, 9, 9}); }},
};
// clang-format on

class UdpDrop : public MemLine, public ::testing::WithParamInterface<DropRow> {};

TEST_P(UdpDrop, PacketIsDroppedSilentlyAndTheNextOneComesThrough) {
    csi_sockaddr_in peer{};
    ASSERT_EQ(inet_setup(0xC0090905u, CSI_ADDR_PEER, CSI_PORT, &peer), 0); // 192.9.9.5
    Bytes bad = UdpPacket(kPayload);
    GetParam().spoil(bad);
    EXPECT_EQ(Datagram(Cat({Frame(bad), Frame(UdpPacket(kAwkward))})), Cat({kAwkward, kDevice}));
    EXPECT_EQ(Datagram({}), Bytes{});
    EXPECT_TRUE(log.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, UdpDrop, ::testing::ValuesIn(kDrops),
                         [](const auto& info) { return std::string(info.param.name); });

// How long the fast loop may sleep through the rest of a frame, from the bytes kept so far.
// An opening END and the first `have` bytes of an IPv4 packet that states `stated` bytes:
Bytes Head(int stated, size_t have) {
    Bytes b = {0xC0, 0x45, 0, static_cast<uint8_t>(stated >> 8), static_cast<uint8_t>(stated)};
    b.resize(have + 1, 0x11);
    return b;
}

// n bytes at 9,600 bit/s, ten bits each; one in 128 is reckoned escaped, then the closing END.
constexpr uint64_t Us(uint64_t n) {
    return n * 10000000 / 9600;
}

TEST(FrameRest, FromTheKeptBytes) {
    const struct {
        const char* what;
        Bytes kept;
        int last; // length of the last packet received
        uint64_t us;
    } rows[] = {
        {"an opening END: the shortest datagram", {0xC0}, 0, Us(28 + 1)},
        {"an opening END: as long as the last", {0xC0, 0xC0}, 166, Us(166 + 1 + 1)},
        {"the header's length, not the last", Head(166, 6), 40, Us(160 + 1 + 1)},
        {"escaped length byte 0xC0", {0x45, 0, 0, 0xDB, 0xDC, 0x11}, 0, Us(187 + 1 + 1)},
        {"not IPv4: the last length stands", {0x60, 0, 0x01, 0}, 100, Us(96 + 1)},
        {"stated beyond a frame: 1006 at most", Head(0xFFFF, 4), 0, Us(1002 + 7 + 1)},
        {"stated below the shortest datagram", Head(5, 8), 0, Us(20 + 1)},
        {"all there but the closing END", Head(40, 40), 300, Us(1)},
        {"an ended, oversized frame is no frame", {0xC0, 0x45, 0x41, 0xC0, 0x45}, 0, 0},
        {"nothing kept", {}, 100, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(slip_frame_rest_us(r.kept.data(), static_cast<int>(r.kept.size()), 9600, r.last),
                  r.us);
    }
    // An escape at the end waits for its byte: nothing beyond the kept bytes is looked at.
    const Bytes cut = {0x45, 0, 0, 40, 0xDB, 0xDC};
    EXPECT_EQ(slip_frame_rest_us(cut.data(), 5, 9600, 0), Us(36 + 1));
    EXPECT_EQ(slip_frame_rest_us(cut.data(), 5, 0, 0), 0u) << "a line without a rate";
}

// The device's delay before its answer, learnt from the first read after each send. At
// 100,000 bit/s a byte takes 100 us and the learning step is half of that.
TEST(AnswerTiming, LearnsTheDelayInSmallStepsFromHowTheAnswersCame) {
    AnswerTiming t;
    EXPECT_EQ(t.DueUs(5000), 0u) << "nothing sent: no answer awaited";
    t.Sent(1000, 10, 100000); // out at 2,000
    EXPECT_EQ(t.DueUs(5000), 7000u);
    t.FirstBytes(8000, false, 5, 5000); // began at 7,500: 5,500 late, learnt one step
    EXPECT_EQ(t.LagUs(), 50u);
    EXPECT_FALSE(t.Awaited());
    t.FirstBytes(9000, false, 1, 5000);
    EXPECT_EQ(t.LagUs(), 50u) << "only the first read after a send teaches";
    t.Sent(10000, 10, 100000); // out at 11,000
    EXPECT_EQ(t.DueUs(5000), 16050u);
    t.FirstBytes(16100, true, 1, 5000);
    EXPECT_EQ(t.LagUs(), 38u) << "there when due: maybe earlier, a quarter step less";
    t.Sent(20000, 10, 100000);
    t.Late();
    t.FirstBytes(26010, true, 1, 5000); // came 10 us after the model: no more than it shows
    EXPECT_EQ(t.LagUs(), 38u);
    t.Sent(30000, 10, 100000);
    t.Late();
    t.FirstBytes(37000, true, 1, 5000); // came 1,000 us after the model
    EXPECT_EQ(t.LagUs(), 88u);
    t.Sent(40000, 10, 100000);
    t.FirstBytes(40500, false, 1, 5000); // began before this send had gone out
    EXPECT_EQ(t.LagUs(), 88u);
    // A device slower than the longest delay worth sleeping through is read at its first byte.
    t.Sent(0, 1, 1000); // 10 ms a byte: steps of 5 ms
    for (int i = 0; i < 5; ++i) {
        t.Sent(100000 * i, 1, 1000);
        t.FirstBytes(100000 * i + 90000, false, 1, 0);
    }
    EXPECT_EQ(t.LagUs(), 25088u);
    t.Sent(600000, 1, 1000);
    EXPECT_EQ(t.DueUs(0), 0u);
}

TEST_F(MemLine, UnsetAddressLearnsTheDestinationAndRepliesFromIt) {
    csi_sockaddr_in peer{};
    ASSERT_EQ(inet_setup(CSI_ADDR_NOT_SET, CSI_ADDR_PEER, CSI_PORT, &peer), 0);
    const auto* raw = reinterpret_cast<const uint8_t*>(&peer);
    EXPECT_EQ(Bytes(raw + 1, raw + 16),
              (Bytes{2, 0x22, 0xB8, 192, 9, 9, 4, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(SendTo(kPayload, peer), 10);
    std::vector<Bytes> sent = Unframe(Wire());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Bytes(sent[0].begin() + 12, sent[0].begin() + 24),
              (Bytes{0, 0, 0, 0, 192, 9, 9, 4, 0x22, 0xB8, 0x22, 0xB8}))
        << "nothing learnt yet";
    EXPECT_EQ(
        Datagram(Cat({{1, 2, 3, 0xC0, 0x45, 0, 0xC0}, Frame(UdpPacket(kAwkward, {10, 9, 9, 9}))})),
        Cat({kAwkward, kDevice}))
        << "garbage first";
    ASSERT_EQ(SendTo(kAwkward, from), 8);
    sent = Unframe(Wire());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Bytes(sent[0].begin() + 12, sent[0].end()),
              Cat({{10, 9, 9, 9, 10, 1, 2, 3, 0x22, 0xB8, 0x10, 0xE1, 0, 16},
                   {sent[0][26], sent[0][27]},
                   kAwkward}));
    ASSERT_EQ(inet_setup(0xC0090905u, CSI_ADDR_PEER, CSI_PORT, &peer), 0); // a set address
    ASSERT_EQ(SendTo(kPayload, peer), 10);
    sent = Unframe(Wire());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Bytes(sent[0].begin() + 12, sent[0].begin() + 16), (Bytes{192, 9, 9, 5}));
}

TEST_F(MemLine, SentPacketsVerifyAndTheirIdentificationsWrap) {
    csi_sockaddr_in peer{};
    ASSERT_EQ(inet_setup(CSI_ADDR_NOT_SET, CSI_ADDR_PEER, CSI_PORT, &peer), 0);
    for (size_t size : {10, 8, 900})
        ASSERT_EQ(SendTo(Bytes(size, 0x5A), peer), static_cast<int>(size));
    const std::vector<Bytes> sent = Unframe(Wire());
    ASSERT_EQ(sent.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const Bytes& p = sent[i];
        EXPECT_TRUE(ChecksumsVerify(p)) << i;
        const uint8_t total[2] = {uint8_t(p.size() >> 8), uint8_t(p.size())};
        EXPECT_EQ(Bytes(p.begin(), p.begin() + 10),
                  (Bytes{0x45, 0, total[0], total[1], 0, uint8_t(2 + 2 * i), 0, 0, 255, 17}))
            << i;
        EXPECT_EQ((p[24] << 8 | p[25]), static_cast<int>(p.size() - 20)) << "UDP length";
    }
    // Packets are built and counted while nothing is attached: 65534, then 0; a new endpoint
    // starts at 2 again.
    link_close(2);
    for (int i = 4; i < 32768; ++i)
        ASSERT_EQ(SendTo(kPayload, peer), 0);
    ASSERT_EQ(slip_attach(3, 96), 2);
    ASSERT_EQ(SendTo(kPayload, peer), 10);
    ASSERT_EQ(inet_setup(CSI_ADDR_NOT_SET, CSI_ADDR_PEER, CSI_PORT, &peer), 0);
    ASSERT_EQ(SendTo(kPayload, peer), 10);
    const std::vector<Bytes> later = Unframe(Wire());
    ASSERT_EQ(later.size(), 2u);
    EXPECT_EQ(Bytes({later[0][4], later[0][5], later[1][4], later[1][5]}), (Bytes{0, 0, 0, 2}));
}

TEST_F(MemLine, OddOrOverlongPayloadsAreRefusedAndAnOverflowOnReceiveNamesTheSender) {
    csi_sockaddr_in peer{};
    ASSERT_EQ(inet_setup(CSI_ADDR_NOT_SET, CSI_ADDR_PEER, CSI_PORT, &peer), 0);
    EXPECT_EQ(SendTo(Bytes(39, 0x41), peer) + SendTo(Bytes(998, 0x41), peer), 0);
    EXPECT_EQ(log.Texts(),
              std::vector<std::string>(2, "Unable to generate UDP packet for CSI data"));
    log.Clear();
    EXPECT_EQ(Datagram(Frame(UdpPacket(Bytes(600, 0))), 512), Bytes{});
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"csi_task_interface|1|More data received "
                                                    "than fits in buffer. Packet lost!"});
    const auto* raw = reinterpret_cast<const uint8_t*>(&from);
    EXPECT_EQ(Bytes(raw + 2, raw + 8), kDevice) << "but names the sender";
}

} // namespace
