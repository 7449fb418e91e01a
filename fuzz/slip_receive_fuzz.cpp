// Fuzz target: arbitrary bytes arriving in arbitrary read chunks at the SLIP receiver, checked
// call by call against a plain receiver written straight from the framing rules, which decodes
// everything kept from its first byte every time. The product skips re-decoding kept bytes that
// are known to hold no complete frame; any packet, return value or pending count that differs
// means that shortcut (or anything else) changed what comes out.
// Input: records of [n][n bytes]; n = 0 is a read that brings nothing (the line went quiet).
// Every record is shorter than the receiver's buffer, so each read empties the line.
// Also checked: after any garbage a good frame that follows still comes through.
#include "fuzz/fuzz_support.h"
#include "fuzz/memory_line.h"
#include "link/slip.h"
#include "logging/log.h"

#include <cstring>
#include <deque>

namespace {

constexpr int kCom = 3;
constexpr size_t kFrameLimit = 1006, kPendingLimit = 2048;

// One frame from the start of `in`: true when complete; `used` is where decoding stopped.
bool Decode(const fuzz::Bytes& in, size_t* used, fuzz::Bytes* out, size_t* count) {
    out->clear();
    *count = 0;
    auto store = [&](uint8_t b) {
        if (*count < kFrameLimit)
            out->push_back(b);
        ++*count;
    };
    size_t i = 0;
    while (i < in.size()) {
        const uint8_t b = in[i++];
        if (b == 0xC0) {
            if (*count == 0)
                continue; // an END before any data opens the frame
            *used = i;
            return *count <= kFrameLimit;
        }
        if (b == 0xDB) {
            if (i < in.size() && (in[i] == 0xDC || in[i] == 0xDD))
                store(in[i++] == 0xDC ? 0xC0 : 0xDB);
            continue; // a lone ESC is dropped; the byte after it is read as an ordinary one
        }
        store(b);
    }
    *used = i;
    return false;
}

// The receiver as the rules describe it, fed the same reads as the product.
class Reference {
public:
    explicit Reference(std::deque<fuzz::Bytes> reads) : m_reads(std::move(reads)) {}
    size_t Receive(fuzz::Bytes* packet) {
        size_t used = 0, count = 0;
        if (m_kept) {
            if (Decode(m_pending, &used, packet, &count))
                return Keep(m_pending, used), count;
            if (count == 0)
                Drop();
        }
        for (;;) {
            if (m_reads.empty() || m_reads.front().empty()) {
                if (!m_reads.empty())
                    m_reads.pop_front();
                return 0;
            }
            const fuzz::Bytes chunk = m_reads.front();
            m_reads.pop_front();
            if (m_kept) {
                if (m_pending.size() + chunk.size() > kPendingLimit)
                    return Drop(), 0;
                m_pending.insert(m_pending.end(), chunk.begin(), chunk.end());
                if (Decode(m_pending, &used, packet, &count))
                    return Keep(m_pending, used), count;
            } else if (Decode(chunk, &used, packet, &count)) {
                return Keep(chunk, used), count;
            } else if (count > 0) {
                m_kept = true, m_pending = chunk;
            }
            // A read that did not fill the receiver's buffer emptied the line: the receiver
            // waits for the next call rather than reading again.
            if (chunk.size() < kFrameLimit)
                return 0;
        }
    }
    size_t Pending() const { return m_kept ? m_pending.size() : 0; }

private:
    void Keep(const fuzz::Bytes& from, size_t used) {
        const fuzz::Bytes rest(from.begin() + static_cast<long>(used), from.end());
        m_kept = !rest.empty();
        m_pending = rest;
    }
    void Drop() {
        m_kept = false;
        m_pending.clear();
    }
    std::deque<fuzz::Bytes> m_reads;
    fuzz::Bytes m_pending;
    bool m_kept = false;
};

// A packet whose frame is long enough that a stuck pending store overflows within the eight
// recovery reads below, and short enough to keep each run cheap.
const fuzz::Bytes& KnownPacket() {
    static const fuzz::Bytes packet = [] {
        fuzz::Bytes p(300);
        for (size_t i = 0; i < p.size(); ++i)
            p[i] = static_cast<uint8_t>(i * 7 + 1);
        p[10] = 0xC0;
        p[11] = 0xDB;
        return p;
    }();
    return packet;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetLogObserver([](const std::string&, const std::string&, int) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    memory_line::Clear();
    slip_reset_for_tests();
    FUZZ_CHECK(slip_attach(kCom, 96) == kCom - 1);
    fuzz::Reader in(data, size);
    std::deque<fuzz::Bytes> reads;
    while (!in.Empty()) {
        reads.push_back(in.Take(in.Byte()));
        memory_line::Queue(reads.back().data(), reads.back().size());
    }
    Reference reference(reads);
    uint8_t packet[SLIP_MAX_FRAME];
    fuzz::Bytes expected;
    for (int guard = 0; guard < 100000; ++guard) {
        const int n = slip_receive(packet);
        const size_t want = reference.Receive(&expected);
        FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) == want);
        FUZZ_CHECK(want == 0 || std::memcmp(packet, expected.data(), want) == 0);
        FUZZ_CHECK(static_cast<size_t>(slip_pending_count()) == reference.Pending());
        if (n == 0 && memory_line::QueuedChunks() == 0)
            break;
        FUZZ_CHECK(guard < 99999);
    }

    // Recovery: a good frame, repeated in separate reads, must come through at least once.
    static const fuzz::Bytes frame = fuzz::SlipFrame(KnownPacket());
    bool seen = false;
    for (int attempt = 0; attempt < 8 && !seen; ++attempt) {
        memory_line::Queue(frame.data(), frame.size());
        for (int n; (n = slip_receive(packet)) > 0;)
            if (static_cast<size_t>(n) == KnownPacket().size() &&
                std::memcmp(packet, KnownPacket().data(), KnownPacket().size()) == 0)
                seen = true;
    }
    FUZZ_CHECK(seen);

    link_close(kCom - 1);
    FUZZ_CHECK(memory_line::OpenPorts() == 0);
    slip_reset_for_tests();
    return 0;
}
