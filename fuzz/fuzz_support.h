// Small helpers shared by the fuzz targets: a byte reader over the fuzzer's input, harness-side
// SLIP framing and Internet checksums written apart from the product's, and a hard check that
// aborts (so libFuzzer records the input) when an invariant breaks.
#pragma once
#include "tests/support/slip_wire.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__,           \
                         __LINE__);                                                                \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// Where targets that must touch files keep them: a memory file system when there is one, so
// that a run's cost stays in the code under test rather than in the disk.
inline std::filesystem::path ScratchRoot() {
    std::error_code ec;
    return std::filesystem::is_directory("/dev/shm", ec) ? std::filesystem::path("/dev/shm")
                                                         : std::filesystem::temp_directory_path();
}

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_at >= m_size; }
    size_t Left() const { return m_size - m_at; }
    uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    // Up to n bytes, fewer at the end of the input.
    Bytes Take(size_t n) {
        if (n > Left())
            n = Left();
        Bytes out(m_data + m_at, m_data + m_at + n);
        m_at += n;
        return out;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

inline Bytes SlipFrame(const Bytes& packet) {
    return testing_support::Frame(packet);
}

// RFC 1071 sum over big-endian words, odd byte padded.
inline uint32_t OnesSum(const uint8_t* p, size_t n, uint32_t sum = 0) {
    for (size_t i = 0; i < n; ++i)
        sum += (i % 2 == 0) ? static_cast<uint32_t>(p[i]) << 8 : p[i];
    return sum;
}

inline uint16_t Complement(uint32_t sum) {
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

// Rewrites both checksums of an IPv4/UDP packet (at least 28 bytes) so that they verify, the
// UDP length of the pseudo-header being the packet length - 20.
inline void FixChecksums(Bytes& packet) {
    if (packet.size() < 28)
        return;
    packet[10] = packet[11] = 0;
    const uint16_t ip = Complement(OnesSum(packet.data(), 20));
    packet[10] = static_cast<uint8_t>(ip >> 8);
    packet[11] = static_cast<uint8_t>(ip);
    packet[26] = packet[27] = 0;
    const size_t udpLength = packet.size() - 20;
    uint32_t sum = OnesSum(packet.data() + 12, 8);
    sum += 17 + static_cast<uint32_t>(udpLength);
    const uint16_t udp = Complement(OnesSum(packet.data() + 20, udpLength, sum));
    packet[26] = static_cast<uint8_t>(udp >> 8);
    packet[27] = static_cast<uint8_t>(udp);
}

} // namespace fuzz
