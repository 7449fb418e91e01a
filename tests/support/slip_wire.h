// Test-side SLIP framing and IPv4/UDP packets, written apart from the product's.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// One frame: END, the packet with 0xC0 and 0xDB escaped, END.
inline Bytes Frame(const Bytes& packet) {
    Bytes out = {0xC0};
    for (uint8_t b : packet) {
        if (b == 0xC0 || b == 0xDB)
            out.insert(out.end(), {0xDB, static_cast<uint8_t>(b == 0xC0 ? 0xDC : 0xDD)});
        else
            out.push_back(b);
    }
    out.push_back(0xC0);
    return out;
}

// The packets of every complete frame on the wire, in order.
inline std::vector<Bytes> Unframe(const Bytes& wire) {
    std::vector<Bytes> frames;
    Bytes cur;
    bool esc = false;
    for (uint8_t b : wire) {
        if (esc) {
            cur.push_back(b == 0xDC ? 0xC0 : b == 0xDD ? 0xDB : b);
            esc = false;
        } else if (b == 0xDB) {
            esc = true;
        } else if (b != 0xC0) {
            cur.push_back(b);
        } else if (!cur.empty()) {
            frames.push_back(cur);
            cur.clear();
        }
    }
    return frames;
}

// RFC 1071 sum over big-endian words, an odd byte padded.
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

inline uint32_t PseudoSum(const Bytes& p) {
    return OnesSum(p.data() + 12, 8) + 17 + static_cast<uint32_t>(p.size() - 20);
}

// Rewrites both checksums of an IPv4/UDP packet (20-byte header) so that they verify.
inline void FixChecksums(Bytes& p) {
    if (p.size() < 28)
        return;
    p[10] = p[11] = p[26] = p[27] = 0;
    const uint16_t ip = Complement(OnesSum(p.data(), 20));
    p[10] = static_cast<uint8_t>(ip >> 8);
    p[11] = static_cast<uint8_t>(ip);
    const uint16_t udp = Complement(OnesSum(p.data() + 20, p.size() - 20, PseudoSum(p)));
    p[26] = static_cast<uint8_t>(udp >> 8);
    p[27] = static_cast<uint8_t>(udp);
}

inline bool ChecksumsVerify(const Bytes& p) {
    return p.size() >= 28 && Complement(OnesSum(p.data(), 20)) == 0 &&
           Complement(OnesSum(p.data() + 20, p.size() - 20, PseudoSum(p))) == 0;
}

// A datagram as a device sends it: from 10.1.2.3 port 4321 to `to` port `port`, id 77, TTL 64.
inline Bytes UdpPacket(const Bytes& payload, const Bytes& to = {192, 9, 9, 5},
                       uint16_t port = 8888) {
    const size_t total = 28 + payload.size();
    const auto hi = static_cast<uint8_t>(total >> 8), lo = static_cast<uint8_t>(total);
    Bytes p = {0x45, 0, hi, lo, 0, 77, 0, 0, 64, 17, 0, 0, 10, 1, 2, 3};
    p.insert(p.end(), to.begin(), to.end());
    p.insert(p.end(),
             {0x10, 0xE1, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port),
              static_cast<uint8_t>((total - 20) >> 8), static_cast<uint8_t>(total - 20), 0, 0});
    p.insert(p.end(), payload.begin(), payload.end());
    FixChecksums(p);
    return p;
}

} // namespace testsupport
