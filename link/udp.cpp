// The one-endpoint UDP/IPv4 layer over SLIP: builds outgoing packets with both checksums, and
// checks, filters and unpacks incoming ones. Learns the system's own address from the device's
// first datagrams when the endpoint was bound to the not-set address. No operating-system
// network stack is involved. Runs only on the CSI task's thread; its state is unguarded.
#include "link/udp.h"

#include "link/slip.h"
#include "logging/log.h"

#include <cstring>

namespace {

const char* const kSource = "csi_task_interface";

constexpr int kHeaderBytes = 28; // IPv4 header without options + UDP header
constexpr int kSendBuffer = 1024;
constexpr uint8_t kProtocolUdp = 17;
constexpr uint8_t kTimeToLive = 255;

struct UdpState {
    csi_sockaddr_in local{};
    uint8_t learned[4] = {0, 0, 0, 0}; // lives for the whole process, only ever replaced
    uint16_t identification = 0;
};

UdpState g_udp;

void Put16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value & 0xFF);
}

uint16_t Get16(const uint8_t* at) {
    return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

// Ones' complement sum of 16-bit big-endian words, a trailing odd byte padded with zero.
uint32_t SumWords(const uint8_t* data, int length, uint32_t sum) {
    int i = 0;
    for (; i + 1 < length; i += 2)
        sum += Get16(data + i);
    if (i < length)
        sum += static_cast<uint32_t>(data[i]) << 8;
    return sum;
}

uint16_t Fold(uint32_t sum) {
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

uint32_t PseudoHeaderSum(const uint8_t* packet, int udpLength) {
    uint32_t sum = SumWords(packet + 12, 8, 0); // source and destination address
    sum += kProtocolUdp;
    sum += static_cast<uint32_t>(udpLength);
    return sum;
}

bool LocalAddressNotSet() {
    uint8_t notSet[4] = {0xC0, 0xC0, 0xC0, 0xC0};
    return std::memcmp(&g_udp.local.sin_addr, notSet, 4) == 0;
}

// Builds one packet; addresses and ports are given as they stand on the wire.
int BuildPacket(const uint8_t source[4], const uint8_t destination[4], const uint8_t sourcePort[2],
                const uint8_t destinationPort[2], const uint8_t* payload, int length,
                uint8_t* buffer, int capacity) {
    const int total = length + kHeaderBytes;
    // Only even payloads are sent: the device's messages always have an even length.
    if (length < 0 || capacity < total || (length & 1) != 0)
        return 0;
    g_udp.identification = static_cast<uint16_t>(g_udp.identification + 2);
    std::memset(buffer, 0, kHeaderBytes);
    buffer[0] = 0x45;
    buffer[1] = 0;
    Put16(buffer + 2, static_cast<uint16_t>(total));
    Put16(buffer + 4, g_udp.identification);
    Put16(buffer + 6, 0);
    buffer[8] = kTimeToLive;
    buffer[9] = kProtocolUdp;
    std::memcpy(buffer + 12, source, 4);
    std::memcpy(buffer + 16, destination, 4);
    std::memcpy(buffer + 20, sourcePort, 2);
    std::memcpy(buffer + 22, destinationPort, 2);
    Put16(buffer + 24, static_cast<uint16_t>(length + 8));
    if (length > 0)
        std::memcpy(buffer + kHeaderBytes, payload, static_cast<size_t>(length));
    Put16(buffer + 10, static_cast<uint16_t>(~Fold(SumWords(buffer, 20, 0))));
    const int udpLength = total - 20;
    const uint32_t udpSum = SumWords(buffer + 20, udpLength, PseudoHeaderSum(buffer, udpLength));
    Put16(buffer + 26, static_cast<uint16_t>(~Fold(udpSum)));
    return total;
}

// The receive checks, in their order; true when the packet is for this endpoint.
bool Acceptable(const uint8_t* packet, int length) {
    if (length <= kHeaderBytes)
        return false;
    if (Get16(packet) != 0x4500)
        return false;
    if (Fold(SumWords(packet, 20, 0)) != 0xFFFF)
        return false;
    const int udpLength = length - 20;
    if (Fold(SumWords(packet + 20, udpLength, PseudoHeaderSum(packet, udpLength))) != 0xFFFF)
        return false;
    if (Get16(packet + 2) != length)
        return false;
    if (packet[9] != kProtocolUdp)
        return false;
    if (std::memcmp(packet + 22, &g_udp.local.sin_port, 2) != 0)
        return false;
    if (LocalAddressNotSet()) {
        std::memcpy(g_udp.learned, packet + 16, 4);
        return true;
    }
    return std::memcmp(packet + 16, &g_udp.local.sin_addr, 4) == 0;
}

} // namespace

int udp_socket(int /*family*/, int /*type*/, int /*protocol*/) {
    return 0;
}

int udp_bind(int /*socket*/, const csi_sockaddr_in* address, int /*length*/) {
    if (address != nullptr)
        std::memcpy(&g_udp.local, address, sizeof g_udp.local);
    g_udp.identification = 0;
    return 0;
}

int udp_close(int /*socket*/) {
    return 0;
}

int inet_setup(uint32_t localAddress, uint32_t peerAddress, uint16_t port,
               csi_sockaddr_in* address) {
    const int socket = udp_socket(2, 2, 0);
    if (socket < 0 || address == nullptr)
        return -1;
    auto toWire = [](uint32_t hostOrder, uint32_t* field) {
        const uint8_t bytes[4] = {
            static_cast<uint8_t>(hostOrder >> 24), static_cast<uint8_t>(hostOrder >> 16),
            static_cast<uint8_t>(hostOrder >> 8), static_cast<uint8_t>(hostOrder)};
        std::memcpy(field, bytes, 4);
    };
    address->sin_family = 2;
    Put16(reinterpret_cast<uint8_t*>(&address->sin_port), port);
    toWire(localAddress, &address->sin_addr);
    std::memset(address->sin_zero, 0, sizeof address->sin_zero);
    if (udp_bind(socket, address, sizeof *address) != 0) {
        udp_close(socket);
        return -1;
    }
    // From here on the record names the peer at the same port: where everything is sent.
    toWire(peerAddress, &address->sin_addr);
    return socket;
}

int udp_recvfrom(int /*socket*/, uint8_t* buffer, int capacity, int /*flags*/,
                 csi_sockaddr_in* from, int* /*fromLength*/) {
    uint8_t packet[SLIP_MAX_FRAME];
    for (;;) {
        const int length = slip_receive(packet);
        if (length == 0)
            return 0;
        if (!Acceptable(packet, length))
            continue; // malformed, corrupted or foreign: dropped without a word
        const int payload = length - kHeaderBytes;
        int result = 0;
        if (payload > capacity || buffer == nullptr) {
            LogMessage(kSource, "More data received than fits in buffer. Packet lost!",
                       LOG_WARNING);
        } else {
            std::memcpy(buffer, packet + kHeaderBytes, static_cast<size_t>(payload));
            result = payload;
        }
        if (from != nullptr) {
            std::memcpy(&from->sin_port, packet + 20, 2);
            std::memcpy(&from->sin_addr, packet + 12, 4);
        }
        return result;
    }
}

int udp_sendto(int /*socket*/, const uint8_t* payload, int length, int /*flags*/,
               const csi_sockaddr_in* to, int /*toLength*/) {
    uint8_t source[4];
    if (LocalAddressNotSet())
        std::memcpy(source, g_udp.learned, 4);
    else
        std::memcpy(source, &g_udp.local.sin_addr, 4);
    uint8_t destination[4] = {0, 0, 0, 0};
    uint8_t destinationPort[2] = {0, 0};
    if (to != nullptr) {
        std::memcpy(destination, &to->sin_addr, 4);
        std::memcpy(destinationPort, &to->sin_port, 2);
    }
    uint8_t packet[kSendBuffer];
    const int total =
        BuildPacket(source, destination, reinterpret_cast<const uint8_t*>(&g_udp.local.sin_port),
                    destinationPort, payload, length, packet, kSendBuffer);
    if (total != length + kHeaderBytes) {
        LogMessage(kSource, "Unable to generate UDP packet for CSI data", LOG_ERROR);
        return 0;
    }
    return slip_send(packet, total) == 1 ? length : 0;
}

void udp_reset_for_tests() {
    g_udp = UdpState{};
}
