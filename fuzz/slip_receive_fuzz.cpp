// Fuzz target: arbitrary bytes arriving in arbitrary read chunks at the SLIP receiver.
// Input: records of [n][n bytes]; n = 0 is a read that brings nothing (the line went quiet).
// Checked: no packet longer than the frame limit, the pending store never past its limit, and
// after any garbage the receiver still delivers a good frame that follows.
#include "fuzz/fuzz_support.h"
#include "fuzz/memory_line.h"
#include "link/slip.h"
#include "logging/log.h"

#include <cstring>

namespace {

constexpr int kCom = 3;

void Drain() {
    uint8_t packet[SLIP_MAX_FRAME];
    for (int guard = 0; guard < 100000; ++guard) {
        const int n = slip_receive(packet);
        FUZZ_CHECK(n >= 0 && n <= SLIP_MAX_FRAME);
        FUZZ_CHECK(slip_pending_count() >= 0 && slip_pending_count() <= SLIP_MAX_PENDING);
        if (n == 0 && memory_line::QueuedChunks() == 0)
            return;
    }
    FUZZ_CHECK(!"slip_receive never ran dry");
}

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
    while (!in.Empty()) {
        const size_t n = in.Byte();
        const fuzz::Bytes chunk = in.Take(n);
        memory_line::Queue(chunk.data(), chunk.size());
    }
    Drain();

    // Recovery: a good frame, repeated in separate reads, must come through at least once.
    static const fuzz::Bytes frame = fuzz::SlipFrame(KnownPacket());
    bool seen = false;
    uint8_t packet[SLIP_MAX_FRAME];
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
