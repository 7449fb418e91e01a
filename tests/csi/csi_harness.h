// The CSI engine on the test thread in virtual time, over an in-memory datagram link.
#pragma once
#include "csi/csi_config.h"
#include "csi/csi_engine.h"
#include "csi/csi_queue.h"
#include "csi/csi_task.h"
#include "logging/log.h"
#include "support/support.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

class FakeLink : public ICsiLink {
public:
    int LinkOpen() override {
        ++opens;
        open = !failOpen;
        return failOpen ? -1 : 0;
    }
    void LinkClose(int) override { open = false; }
    int InetSetup(uint32_t, uint32_t peer, uint16_t port, csi_sockaddr_in* a) override {
        *a = csi_sockaddr_in{};
        a->sin_family = 2, a->sin_port = port, a->sin_addr = peer;
        return failSetup ? -1 : 0;
    }
    void UdpClose(int) override {}
    int RecvFrom(int, uint8_t* buffer, int capacity, csi_sockaddr_in*, int*) override {
        if (inbound.empty())
            return 0;
        const Bytes d = inbound.front();
        inbound.pop_front();
        if (static_cast<int>(d.size()) > capacity)
            return 0;
        std::copy(d.begin(), d.end(), buffer);
        return static_cast<int>(d.size());
    }
    // As the UDP layer: nothing goes out while detached, and odd payloads are refused.
    int SendTo(int, const uint8_t* payload, int length, const csi_sockaddr_in*, int) override {
        if (failSends > 0 && failSends-- > 0)
            return 0;
        if (!open || length % 2 != 0)
            return 0;
        sent.emplace_back(payload, payload + length);
        return length;
    }

    std::deque<Bytes> inbound; // what the device sent, one datagram per poll
    std::vector<Bytes> sent;   // what the engine sent while the link was open
    int opens = 0;
    bool open = false, failOpen = false, failSetup = false;
    int failSends = 0; // the next n sends report 0 bytes
};

class VirtualSleeper : public ICsiSleeper {
public:
    void Sleep(uint32_t milliseconds) override {
        now += milliseconds;
        sleeps.push_back(milliseconds);
        if (onSleep)
            onSleep(milliseconds);
    }
    uint64_t now = 0;
    std::vector<uint32_t> sleeps;
    std::function<void(uint32_t)> onSleep; // looks at shared state in the middle of a round
};

// The engine's waits in virtual time. What the device sends and the poster posts is due at
// given instants. A wait ends at once for what is due; bytes due during a wait end it the
// moment they come, as on a real line; a post ends it at its instant and the following wait
// finds it (so that the poster's word changes only between rounds).
class VirtualPacer : public ICsiPacer {
public:
    VirtualPacer(VirtualSleeper& clock, FakeLink& link, CCSIQueue& queue)
        : m_clock(clock), m_link(link), m_queue(queue) {}
    uint64_t NowUs() override { return m_clock.now * 1000; }
    CsiWake Wait(uint32_t maxMs) override {
        if (onWait)
            onWait();
        Release();
        if (!m_link.inbound.empty())
            return CsiWake::Readable;
        if (!m_queue.IsEmpty())
            return CsiWake::Posted;
        if (m_next == m_due.size() || m_due[m_next].at >= m_clock.now + maxMs) {
            m_clock.now += maxMs + overshootMs;
            return CsiWake::Timeout;
        }
        m_clock.now = m_due[m_next].at;
        if (!m_due[m_next].bytesOnly)
            return CsiWake::Timeout;
        Release();
        return CsiWake::Readable;
    }
    // Adds an action due at the given instant (in order of instants).
    void At(uint64_t ms, std::function<void()> action, bool bytesOnly) {
        m_due.push_back({ms, std::move(action), bytesOnly});
    }
    std::function<void()> onWait; // looks at the engine as it begins to wait
    uint32_t overshootMs = 0;     // a wait that runs to its limit ends this much later
    // Carries out what is due by now.
    void Release() {
        while (m_next < m_due.size() && m_due[m_next].at <= m_clock.now)
            m_due[m_next++].action();
    }

private:
    struct Due {
        uint64_t at;
        std::function<void()> action;
        bool bytesOnly;
    };
    VirtualSleeper& m_clock;
    FakeLink& m_link;
    CCSIQueue& m_queue;
    std::vector<Due> m_due;
    size_t m_next = 0;
};

// A body of little-endian words, and one message as a device puts it on the wire.
inline Bytes Words(std::initializer_list<uint16_t> words) {
    Bytes b;
    for (uint16_t w : words)
        b.insert(b.end(), {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8)});
    return b;
}
inline Bytes Msg(uint16_t type, uint16_t session, uint16_t sequence, const Bytes& body = {}) {
    Bytes m = Words({static_cast<uint16_t>(10 + body.size()), session, sequence, type, 0});
    m.insert(m.end(), body.begin(), body.end());
    return m;
}
inline Bytes Connect(uint16_t sequence, uint16_t id = 1, uint16_t station = 2, uint16_t level = 3) {
    return Msg(MSG_CONNECT, 0, sequence, Words({id, station, level}));
}
inline Bytes Login(uint16_t sequence, uint16_t session = 0) {
    Bytes body(22);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<uint8_t>('A' + i);
    return Msg(MSG_LOGIN, session, sequence, body);
}
inline Bytes FileAnnounce(uint16_t session, uint16_t sequence, uint32_t size, uint16_t transferId,
                          uint8_t fileType = 0) {
    Bytes body = Words({fileType, transferId, 0, static_cast<uint16_t>(size),
                        static_cast<uint16_t>(size >> 16), 0, 0, 0, 0, 0, 0, 0, 0});
    return Msg(MSG_FILE, session, sequence, body);
}
inline Bytes Data(uint16_t session, uint16_t sequence, const uint8_t* data, size_t n, bool last) {
    return Msg(last ? MSG_DATA_LAST : MSG_DATA, session, sequence, Bytes(data, data + n));
}
// The exact bytes of a server status answer, the text NUL-terminated when there is one.
inline Bytes Status(uint16_t session, uint16_t sequence, uint16_t result, uint16_t reason,
                    const char* text = nullptr) {
    Bytes body = Words({result, reason});
    if (text != nullptr)
        body.insert(body.end(), text, text + std::strlen(text) + 1);
    return Msg(MSG_STATUS, session, sequence, body);
}

// A server answer's length, type and first body word.
struct Answer {
    uint16_t length = 0, type = 0, word10 = 0;
};
inline Answer Parse(const Bytes& m) {
    auto word = [&](size_t at) -> uint16_t {
        return at + 1 < m.size() ? static_cast<uint16_t>(m[at] | (m[at + 1] << 8)) : 0;
    };
    return {word(0), word(6), word(10)};
}

struct Poster {
    std::atomic<int32_t> word{0};
    uintptr_t listSlot = 0;
};

class EngineFixtureBase {
public:
    EngineFixtureBase() : tempDir(dir.Path()) {
        csi_config_reset_for_tests();
        shared.stationId = &stationId;
        shared.cell = &cell;
        shared.queue = &queue;
        engine = std::make_unique<CsiEngine>(link, sleeper);
        engine->Begin(&shared);
        csi_set_destination(tempDir.c_str());
    }
    ~EngineFixtureBase() {
        engine->End();
        engine.reset();
        csi_config_reset_for_tests();
    }
    // Posts a command as the communication task does (word set to 1 first).
    void Post(Poster& poster, uint32_t code, int32_t flag = 0, const char* name = "INT",
              bool withList = true) {
        poster.word.store(1);
        CsiCommandRecord r;
        r.code = code;
        r.interfaceName = name;
        r.objectListOut = withList ? &poster.listSlot : nullptr;
        r.statusWord = &poster.word;
        r.flag = flag;
        queue.Append(r);
    }
    // Posts a command and runs one round; the poster's word then.
    int32_t Command(Poster& poster, uint32_t code, int32_t flag = 0, const char* name = "INT") {
        Post(poster, code, flag, name);
        Rounds(1);
        return poster.word.load();
    }
    void Rounds(int n) {
        while (n-- > 0)
            engine->RunRound();
    }
    // Puts a datagram in front of the engine and runs one round; what was sent meanwhile.
    std::vector<Bytes> Send(const Bytes& datagram) {
        const size_t before = link.sent.size();
        link.inbound.push_back(datagram);
        engine->RunRound();
        return std::vector<Bytes>(link.sent.begin() + static_cast<long>(before), link.sent.end());
    }
    // The answer's bytes when exactly one came, else nothing.
    Bytes Reply(const Bytes& datagram) {
        const std::vector<Bytes> answers = Send(datagram);
        return answers.size() == 1 ? answers[0] : Bytes{};
    }
    // Starts server mode (command 2) and leaves the engine idle in state 0.
    void StartServer(int32_t flag = 1) { Command(server, 2, flag); }
    // Connect + login; the session is then in state 200 with code 5821.
    void ConnectAndLogin(uint16_t id = 1, uint16_t station = 2) {
        Send(Connect(seq++, id, station, 3));
        Send(Login(seq++));
    }
    // Announces and sends a whole file in pieces of 128 bytes (state 300/302 afterwards).
    void SendWholeFile(const Bytes& file, uint16_t transferId = 0x4242) {
        Send(FileAnnounce(5821, seq++, static_cast<uint32_t>(file.size()), transferId));
        for (size_t at = 0; at < file.size(); at += 128) {
            const size_t n = std::min<size_t>(128, file.size() - at);
            Send(Data(5821, seq++, file.data() + at, n, at + n == file.size()));
        }
    }
    bool Logged(const std::string& entry) const {
        const std::vector<std::string> lines = log.Lines();
        return std::find(lines.begin(), lines.end(), entry) != lines.end();
    }
    std::vector<std::string> Files(const std::string& extension) const {
        std::vector<std::string> found;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(tempDir, ec))
            if (e.path().extension() == extension)
                found.push_back(e.path().string());
        return found;
    }

    FakeLink link;
    VirtualSleeper sleeper;
    CCSIQueue queue;
    uint16_t stationId = 0;
    uint8_t cell = 0;
    CsiSharedBlock shared;
    std::unique_ptr<CsiEngine> engine;
    Poster server, waiter, confirmer;
    uint16_t seq = 1;
    testsupport::TempDir dir;
    std::string tempDir;
    testsupport::LogCapture log;
};
