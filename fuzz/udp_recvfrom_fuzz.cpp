// Fuzz target: arbitrary packets at the datagram layer's receive side.
// Input: [flags][packet bytes]. Flag bit 0 binds the endpoint to a set address instead of the
// not-set one, bit 1 rewrites both checksums so the packet gets past them, bits 2-3 choose the
// caller's buffer capacity. Checked against the documented receive rules, computed here apart
// from the product: a packet is accepted exactly when every rule holds, its payload arrives
// unchanged, and the sender is reported.
#include "fuzz/fuzz_support.h"
#include "fuzz/memory_line.h"
#include "link/slip.h"
#include "link/udp.h"
#include "logging/log.h"

#include <cstring>

namespace {

constexpr int kCom = 4;
constexpr uint32_t kSetAddress = 0xC0090905u; // 192.9.9.5

int g_warnings = 0;

uint16_t Be16(const fuzz::Bytes& p, size_t at) {
    return static_cast<uint16_t>((p[at] << 8) | p[at + 1]);
}

uint32_t Be32(const fuzz::Bytes& p, size_t at) {
    return (static_cast<uint32_t>(p[at]) << 24) | (static_cast<uint32_t>(p[at + 1]) << 16) |
           (static_cast<uint32_t>(p[at + 2]) << 8) | p[at + 3];
}

bool ChecksumsVerify(const fuzz::Bytes& p) {
    if (fuzz::Complement(fuzz::OnesSum(p.data(), 20)) != 0)
        return false;
    const size_t udpLength = p.size() - 20;
    uint32_t sum = fuzz::OnesSum(p.data() + 12, 8) + 17 + static_cast<uint32_t>(udpLength);
    return fuzz::Complement(fuzz::OnesSum(p.data() + 20, udpLength, sum)) == 0;
}

bool ShouldAccept(const fuzz::Bytes& p, bool addressSet) {
    return p.size() > 28 && p[0] == 0x45 && p[1] == 0x00 && ChecksumsVerify(p) &&
           Be16(p, 2) == p.size() && p[9] == 17 && Be16(p, 22) == CSI_PORT &&
           (!addressSet || Be32(p, 16) == kSetAddress);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetLogObserver([](const std::string&, const std::string& text, int) {
        if (text == "More data received than fits in buffer. Packet lost!")
            ++g_warnings;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const uint8_t flags = data[0];
    fuzz::Bytes packet(data + 1, data + size);
    const bool addressSet = (flags & 1) != 0;
    if ((flags & 2) != 0)
        fuzz::FixChecksums(packet);
    static const int capacities[4] = {512, 1006, 16, 0};
    const int capacity = capacities[(flags >> 2) & 3];

    memory_line::Clear();
    slip_reset_for_tests();
    udp_reset_for_tests();
    FUZZ_CHECK(slip_attach(kCom, 96) == kCom - 1);
    csi_sockaddr_in peer{};
    FUZZ_CHECK(inet_setup(addressSet ? kSetAddress : CSI_ADDR_NOT_SET, CSI_ADDR_PEER, CSI_PORT,
                          &peer) == 0);

    const fuzz::Bytes frame = fuzz::SlipFrame(packet);
    memory_line::Queue(frame.data(), frame.size());
    uint8_t buffer[1100];
    std::memset(buffer, 0xAA, sizeof buffer);
    csi_sockaddr_in from{};
    int fromLength = sizeof from;
    g_warnings = 0;
    const int got = udp_recvfrom(0, buffer, capacity, 0, &from, &fromLength);

    // Frames over the SLIP limit never reach the datagram layer.
    const bool delivered = packet.size() <= SLIP_MAX_FRAME && !packet.empty();
    const bool accept = delivered && ShouldAccept(packet, addressSet);
    const int payload = static_cast<int>(packet.size()) - 28;
    FUZZ_CHECK(got >= 0 && got <= capacity);
    FUZZ_CHECK(buffer[capacity] == 0xAA); // nothing written past the caller's capacity
    if (!accept) {
        FUZZ_CHECK(got == 0);
        FUZZ_CHECK(g_warnings == 0);
    } else if (payload > capacity) {
        FUZZ_CHECK(got == 0);
        FUZZ_CHECK(g_warnings == 1);
    } else {
        FUZZ_CHECK(got == payload);
        FUZZ_CHECK(std::memcmp(buffer, packet.data() + 28, static_cast<size_t>(payload)) == 0);
    }
    if (accept) {
        FUZZ_CHECK(std::memcmp(&from.sin_port, packet.data() + 20, 2) == 0);
        FUZZ_CHECK(std::memcmp(&from.sin_addr, packet.data() + 12, 4) == 0);
    }

    // Whatever came before, a reply can still be built and framed.
    memory_line::Clear();
    const uint8_t reply[14] = {14, 0, 0x9D, 0x16, 1, 0, 4, 0};
    FUZZ_CHECK(udp_sendto(0, reply, sizeof reply, 0, &peer, sizeof peer) == sizeof reply);
    FUZZ_CHECK(memory_line::Written().size() >= 2 + 28 + sizeof reply);

    link_close(kCom - 1);
    FUZZ_CHECK(memory_line::OpenPorts() == 0);
    return 0;
}
