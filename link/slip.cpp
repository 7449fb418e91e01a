// SLIP framing and the link attach: one IPv4 packet per frame, to and from the direct line or
// the modem. slip_receive keeps incomplete frames between calls and returns at most one packet
// per call. Runs only on the CSI task's thread; its state is unguarded on purpose.
#include "link/slip.h"

#include "comm/modem_interface.h"
#include "csi/csi_config.h"
#include "link/answer_timing.h"
#include "link/line.h"
#include "link/v24.h"
#include "logging/log.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/wakeup.h"
#include "tools/unique_nothrow.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

const char* const kSource = "CSlip";

constexpr uint8_t END = 0xC0;
constexpr uint8_t ESC = 0xDB;
constexpr uint8_t ESC_END = 0xDC;
constexpr uint8_t ESC_ESC = 0xDD;
// An IPv4 header and a UDP header with nothing in it.
constexpr int kShortestPacket = 28;

struct SlipState {
    int attachedLine = -1;
    bool modemInUse = false; // selects the modem for send and receive; never cleared again
    std::unique_ptr<CModemInterface> modem;
    std::unique_ptr<uint8_t[]> pending; // still-encoded bytes of frames not yet returned
    int pendingCount = 0;
    // The kept bytes were decoded and hold no complete frame: until bytes with an END arrive
    // there is nothing to find, so they are not decoded again (a long frame in many small reads
    // would otherwise be scanned once per read).
    bool pendingIncomplete = false;
    uint32_t bitsPerSecond = 0; // of the attached line, for the time a frame's rest needs
    // The last read ended in an END with no data kept: a frame has opened. Nothing is kept for
    // it, but its first bytes are on their way.
    bool frameOpened = false;
    // Length of the last packet received: until a frame's own header has come, the next one is
    // expected to be as long (a transfer's pieces all are).
    int lastPacketLength = 0;
    AnswerTiming answer;  // when the answer to the last frame sent can be complete
    bool readAny = false; // the current receive read bytes from the line
};

SlipState g_slip;

// How long a frame as long as the last packet takes on the line, from its opening END on.
uint64_t ExpectedFrameUs() {
    if (g_slip.bitsPerSecond == 0)
        return 0;
    const uint8_t opening = END;
    return slip_frame_rest_us(&opening, 1, g_slip.bitsPerSecond, g_slip.lastPacketLength) +
           10ull * 1000000 / g_slip.bitsPerSecond;
}

enum class Decode { Complete, Incomplete };

// Decodes from *cursor, consuming bytes; *decoded counts every stored byte, even past the limit.
Decode slip_decode_frame(const uint8_t** cursor, int* remaining, uint8_t* out, int* decoded) {
    *decoded = 0;
    auto store = [&](uint8_t b) {
        if (*decoded < SLIP_MAX_FRAME)
            out[*decoded] = b;
        ++*decoded;
    };
    while (*remaining > 0) {
        uint8_t b = **cursor;
        ++*cursor;
        --*remaining;
        if (b == END) {
            if (*decoded > 0)
                return *decoded <= SLIP_MAX_FRAME ? Decode::Complete : Decode::Incomplete;
            continue; // an END before any data only separates frames
        }
        if (b == ESC) {
            if (*remaining == 0)
                continue; // the ESC is dropped when nothing follows in this buffer
            const uint8_t next = **cursor;
            if (next == ESC_END || next == ESC_ESC) {
                ++*cursor;
                --*remaining;
                store(next == ESC_END ? END : ESC);
            }
            // Any other byte stays unconsumed: the ESC is dropped, the byte handled next.
            continue;
        }
        store(b);
    }
    return Decode::Incomplete;
}

void FreePending() {
    g_slip.pending.reset();
    g_slip.pendingCount = 0;
    g_slip.pendingIncomplete = false;
}

// Decodes the first frame of the pending bytes; a complete frame is removed from them.
// Returns the packet length, or 0 when the pending bytes hold no complete frame yet.
int DecodePending(uint8_t* packet) {
    const uint8_t* cursor = g_slip.pending.get();
    int remaining = g_slip.pendingCount;
    int decoded = 0;
    if (slip_decode_frame(&cursor, &remaining, packet, &decoded) == Decode::Complete) {
        if (remaining == 0) {
            FreePending();
        } else {
            std::memmove(g_slip.pending.get(), cursor, static_cast<size_t>(remaining));
            g_slip.pendingCount = remaining;
            g_slip.pendingIncomplete = false;
        }
        return decoded;
    }
    if (decoded == 0)
        FreePending(); // nothing but separators and dropped escapes: nothing worth keeping
    else
        g_slip.pendingIncomplete = true;
    return 0;
}

// One read of what has arrived: its length, or 0 when nothing came.
int ReadChunk(uint8_t* chunk) {
    int got = 0;
    if (g_slip.modemInUse) {
        if (g_slip.modem == nullptr || !g_slip.modem->Read(chunk, SLIP_MAX_FRAME, &got))
            return 0;
        return got > 0 ? got : 0;
    }
    if (line_read(g_slip.attachedLine, chunk, SLIP_MAX_FRAME, 0, &got) == -1)
        return 0;
    return got > 0 ? got : 0;
}

} // namespace

int slip_attach(int comNumber, int baudCode) {
    g_slip.attachedLine = -1;
    g_slip.attachedLine = line_open(comNumber, baudCode, 8, 0, 1, "erw");
    g_slip.bitsPerSecond = static_cast<uint32_t>(baudCode) * 100;
    if (g_slip.attachedLine == -1)
        LogFormat(kSource, LOG_ERROR, "Error attaching slip driver : COM port (%d). Baudrate (%d).",
                  comNumber, baudCode * 100);
    else
        LogFormat(kSource, LOG_INFORMATION, "Attached slip driver : COM port (%d). Baudrate (%d).",
                  comNumber, baudCode * 100);
    return g_slip.attachedLine;
}

int slip_attach_modem(int comNumber, int baudCode, const char* initString, const char* hangupPrefix,
                      const char* hangupSuffix) {
    g_slip.attachedLine = -1;
    g_slip.modemInUse = true;
    if (g_slip.modem != nullptr)
        return -1;
    // The rate to the modem; the line behind it may be slower, which only makes the estimate
    // of a frame's rest short.
    g_slip.bitsPerSecond = static_cast<uint32_t>(baudCode) * 100;
    g_slip.modem = MakeUniqueNoThrow<CModemInterface>();
    if (g_slip.modem != nullptr) {
        g_slip.modem->SetInitString(initString != nullptr ? initString : "");
        g_slip.modem->SetHangupPrefix(hangupPrefix != nullptr ? hangupPrefix : "");
        g_slip.modem->SetHangupSuffix(hangupSuffix != nullptr ? hangupSuffix : "");
        if (g_slip.modem->Initialize(static_cast<uint32_t>(comNumber),
                                     static_cast<uint32_t>(baudCode))) {
            g_slip.attachedLine = comNumber - 1;
            LogFormat(kSource, LOG_INFORMATION,
                      "Attached slip driver to modem : COM port (%d). Baudrate (%d).", comNumber,
                      baudCode * 100);
            return g_slip.attachedLine;
        }
        g_slip.modem.reset();
    }
    LogFormat(kSource, LOG_ERROR,
              "Error attaching slip driver to modem : COM port (%d). Baudrate (%d).", comNumber,
              baudCode * 100);
    return g_slip.attachedLine;
}

int link_open() {
    const uint32_t baud = csi_get_baud_rate();
    const uint32_t com = csi_get_com_port();
    if (baud == 0 || com == 0)
        return -1;
    if (!csi_get_modem_mode())
        return slip_attach(static_cast<int>(com), static_cast<int>(baud));
    return slip_attach_modem(static_cast<int>(com), static_cast<int>(baud), csi_get_modem_string(1),
                             csi_get_modem_string(2), csi_get_modem_string(3));
}

void link_close(int line) {
    g_slip.frameOpened = false;
    if (!g_slip.modemInUse) {
        line_close(line);
        g_slip.attachedLine = -1;
        return;
    }
    if (g_slip.modem != nullptr) {
        g_slip.modem->Close();
        g_slip.modem.reset();
    }
    g_slip.attachedLine = -1;
}

int slip_send(const uint8_t* packet, int length) {
    uint8_t frame[SLIP_MAX_FRAME];
    int count = 0;
    auto put = [&](uint8_t b) {
        if (count < SLIP_MAX_FRAME)
            frame[count] = b;
        ++count;
    };
    put(END);
    for (int i = 0; i < length; ++i) {
        if (packet[i] == END) {
            put(ESC);
            put(ESC_END);
        } else if (packet[i] == ESC) {
            put(ESC);
            put(ESC_ESC);
        } else {
            put(packet[i]);
        }
    }
    put(END);
    if (count > SLIP_MAX_FRAME)
        return 0;
    if (g_slip.modemInUse) {
        int written = 0;
        return g_slip.modem != nullptr && g_slip.modem->Write(frame, count, &written) ? 1 : 0;
    }
    if (line_write(g_slip.attachedLine, frame, 0, count) != 0)
        return 0;
    g_slip.answer.Sent(platform::MonotonicUs(), count, g_slip.bitsPerSecond);
    return 1;
}

namespace {

int ReceiveFrame(uint8_t* packet) {
    if (g_slip.pending != nullptr && !g_slip.pendingIncomplete) {
        const int before = g_slip.pendingCount;
        const int n = DecodePending(packet);
        if (n > 0)
            return n;
        if (g_slip.pending != nullptr)
            g_slip.pendingCount = before; // keep every pending byte for the next attempt
    }
    uint8_t chunk[SLIP_MAX_FRAME];
    for (;;) {
        const int got = ReadChunk(chunk);
        if (got == 0)
            return 0;
        g_slip.readAny = true;
        g_slip.frameOpened = false;
        // A read that did not fill the chunk emptied the line: another one would find nothing.
        const bool drained = got < SLIP_MAX_FRAME;
        if (g_slip.pending != nullptr) {
            if (g_slip.pendingCount + got > SLIP_MAX_PENDING) {
                // A runaway frame or line noise: drop everything rather than grow without end.
                FreePending();
                return 0;
            }
            std::memcpy(g_slip.pending.get() + g_slip.pendingCount, chunk,
                        static_cast<size_t>(got));
            g_slip.pendingCount += got;
            if (!g_slip.pendingIncomplete ||
                std::memchr(chunk, END, static_cast<size_t>(got)) != nullptr) {
                const int n = DecodePending(packet);
                if (n > 0)
                    return n;
            }
            if (drained)
                return 0;
            continue;
        }
        const uint8_t* cursor = chunk;
        int remaining = got;
        int decoded = 0;
        if (slip_decode_frame(&cursor, &remaining, packet, &decoded) == Decode::Complete) {
            if (remaining > 0) {
                g_slip.pending = MakeUniqueNoThrow<uint8_t[]>(SLIP_MAX_PENDING);
                if (g_slip.pending != nullptr) {
                    std::memcpy(g_slip.pending.get(), cursor, static_cast<size_t>(remaining));
                    g_slip.pendingCount = remaining;
                    g_slip.pendingIncomplete = false;
                }
            }
            return decoded;
        }
        if (decoded > 0) {
            g_slip.pending = MakeUniqueNoThrow<uint8_t[]>(SLIP_MAX_PENDING);
            if (g_slip.pending == nullptr)
                return 0;
            std::memcpy(g_slip.pending.get(), chunk, static_cast<size_t>(got));
            g_slip.pendingCount = got;
            g_slip.pendingIncomplete = true;
        } else {
            g_slip.frameOpened = chunk[got - 1] == END;
        }
        if (drained)
            return 0;
    }
}

} // namespace

int slip_receive(uint8_t* packet) {
    g_slip.readAny = false;
    const int n = ReceiveFrame(packet);
    if (g_slip.readAny && g_slip.answer.Awaited())
        g_slip.answer.FirstBytes(platform::MonotonicUs(), n > 0,
                                 g_slip.pending != nullptr ? g_slip.pendingCount : 1,
                                 ExpectedFrameUs());
    if (n > 0)
        g_slip.lastPacketLength = n;
    return n;
}

uint64_t slip_frame_rest_us(const uint8_t* kept, int count, uint32_t bitsPerSecond,
                            int expectedLength) {
    int at = 0;
    while (at < count && kept[at] == END)
        ++at;
    if (count == 0 || bitsPerSecond == 0)
        return 0;
    // The first bytes of the packet, unescaped, and how many packet bytes have come so far.
    uint8_t head[4] = {};
    int decoded = 0;
    for (int i = at; i < count; ++i) {
        uint8_t b = kept[i];
        if (b == END)
            return 0; // this frame has ended already (an oversized one): none is under way
        if (b == ESC) {
            if (i + 1 == count)
                break; // the escaped byte is still to come
            const uint8_t next = kept[i + 1];
            if (next != ESC_END && next != ESC_ESC)
                continue; // a stray escape is dropped, as the decoder does
            b = next == ESC_END ? END : ESC;
            ++i;
        }
        if (decoded < 4)
            head[decoded] = b;
        ++decoded;
    }
    // Once the IPv4 header has come it names the length; before that, or for anything else, the
    // expected length stands, and never less than the shortest datagram.
    int length = expectedLength;
    if (decoded >= 4 && (head[0] >> 4) == 4)
        length = (head[2] << 8) | head[3];
    length = std::min(std::max(length, kShortestPacket), SLIP_MAX_FRAME);
    const int missing = std::max(length - decoded, 0);
    // Binary data escapes about one byte in 128 (END and ESC each take two bytes on the wire);
    // counting them saves a wake-up for the last byte or two. Then the closing END.
    const int rest = missing + missing / 128 + 1;
    return static_cast<uint64_t>(rest) * 10 * 1000000 / bitsPerSecond;
}

namespace {

// True when the kept bytes already hold the end of a frame with data before it, so that the next
// receive returns a packet without reading the line.
bool CompleteFrameKept() {
    if (g_slip.pendingIncomplete)
        return false; // decoded already: an oversized frame's END does not count
    bool data = false;
    for (int i = 0; i < g_slip.pendingCount && g_slip.pending != nullptr; ++i) {
        if (g_slip.pending[i] != END)
            data = true;
        else if (data)
            return true;
    }
    return false;
}

} // namespace

int link_wait(uint32_t timeoutMs, platform::Wakeup* wakeup) {
    if (CompleteFrameKept())
        return 1;
    // The rest of a frame under way cannot arrive faster than the line carries it: sleep that
    // long at once instead of waking for every few bytes of it.
    uint64_t restUs = 0;
    bool answerDue = false; // the sleep is the one until the answer to a send can be complete
    if (g_slip.pending != nullptr && g_slip.pendingIncomplete)
        restUs = slip_frame_rest_us(g_slip.pending.get(), g_slip.pendingCount, g_slip.bitsPerSecond,
                                    g_slip.lastPacketLength);
    else if (g_slip.pending == nullptr && g_slip.frameOpened)
        restUs = slip_frame_rest_us(&END, 1, g_slip.bitsPerSecond, g_slip.lastPacketLength);
#ifndef _WIN32
    // Nothing has come since the last frame went out: its answer can be complete only so late.
    // (Windows waits in whole milliseconds of its timer, too coarse for this.)
    else if (g_slip.pending == nullptr && !g_slip.modemInUse && g_slip.lastPacketLength > 0) {
        const uint64_t due = g_slip.answer.DueUs(ExpectedFrameUs());
        const uint64_t now = platform::MonotonicUs();
        restUs = due > now ? due - now : 0;
        answerDue = restUs > 0;
    }
#endif
    if (restUs > 0) {
        const uint64_t limitUs = static_cast<uint64_t>(timeoutMs) * 1000;
        const uint64_t sleepUs = std::min(restUs, limitUs);
        if (platform::WakeupWaitUs(wakeup, sleepUs))
            return 2;
        // The answer is most often there by now: reading at once finds out, and saves a look at
        // the line for each answer. When nothing came, the next wait sees that it is late.
        if (answerDue && sleepUs == restUs)
            return 1;
        timeoutMs = static_cast<uint32_t>((limitUs - sleepUs) / 1000);
    }
    if (g_slip.modemInUse) {
        if (g_slip.modem != nullptr)
            return g_slip.modem->WaitReadable(timeoutMs, wakeup);
    } else if (g_slip.attachedLine >= 0) {
        if (g_slip.answer.Awaited() && g_slip.pending == nullptr && !g_slip.frameOpened) {
            // Whether the answer is there when due tells how the device's delay is learnt.
            const int now = v24_wait_readable(g_slip.attachedLine, 0, wakeup);
            if (now != 0)
                return now;
            g_slip.answer.Late();
        }
        const int r = v24_wait_readable(g_slip.attachedLine, timeoutMs, wakeup);
        if (r >= 0)
            return r;
    }
    // No line to watch: only a posted command can end the wait early.
    return platform::SerialWaitReadable(nullptr, wakeup, timeoutMs) == platform::SerialWait::Woken
               ? 2
               : 0;
}

uint64_t slip_answer_lag_us() {
    return g_slip.answer.LagUs();
}

int slip_pending_count() {
    return g_slip.pending != nullptr ? g_slip.pendingCount : 0;
}

void slip_reset_for_tests() {
    g_slip.modem.reset();
    if (g_slip.attachedLine >= 0 && !g_slip.modemInUse)
        line_close(g_slip.attachedLine);
    g_slip = SlipState{}; // frees the pending bytes too
}
