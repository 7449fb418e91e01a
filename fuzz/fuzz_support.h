// Small helpers shared by the fuzz targets: a byte reader over the fuzzer's input, harness-side
// SLIP framing and Internet checksums (tests/support/slip_wire.h, written apart from the
// product's), and a hard check that aborts (so libFuzzer records the input) when an invariant
// breaks.
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
    return testsupport::Frame(packet);
}

using testsupport::Complement;
using testsupport::FixChecksums;
using testsupport::OnesSum;

} // namespace fuzz
