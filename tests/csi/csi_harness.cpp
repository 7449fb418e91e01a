#include "csi_harness.h"

#include "csi/csi_config.h"
#include "logging/log.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

int FakeLink::LinkOpen() {
    ++opens;
    if (failOpen)
        return -1;
    open = true;
    return 0;
}

void FakeLink::LinkClose(int) {
    ++closes;
    open = false;
}

int FakeLink::InetSetup(uint32_t, uint32_t peer, uint16_t port, csi_sockaddr_in* address) {
    if (failSetup)
        return -1;
    std::memset(address, 0, sizeof *address);
    address->sin_family = 2;
    address->sin_port = port;
    address->sin_addr = peer;
    return 0;
}

void FakeLink::UdpClose(int) {}

int FakeLink::RecvFrom(int, uint8_t* buffer, int capacity, csi_sockaddr_in*, int*) {
    if (inbound.empty())
        return 0;
    Bytes d = inbound.front();
    inbound.pop_front();
    if (static_cast<int>(d.size()) > capacity)
        return 0;
    if (!d.empty()) // an empty vector may have no storage at all
        std::memcpy(buffer, d.data(), d.size());
    return static_cast<int>(d.size());
}

int FakeLink::SendTo(int, const uint8_t* payload, int length, const csi_sockaddr_in*, int) {
    if (failSends > 0) {
        --failSends;
        return 0;
    }
    if (!open || (refuseOddLength && length % 2 != 0))
        return 0;
    sent.emplace_back(payload, payload + length);
    if (clock != nullptr)
        sentAt.push_back(*clock);
    return length;
}

CsiWake VirtualPacer::Wait(uint32_t maxMs) {
    waits.push_back(maxMs);
    const uint64_t end = m_clock.now + maxMs;
    for (;;) {
        if (!m_link.inbound.empty())
            return CsiWake::Readable;
        if (!m_queue.IsEmpty())
            return CsiWake::Posted;
        const auto next = m_actions.begin();
        if (next == m_actions.end() || next->first > end) {
            m_clock.now = end;
            return CsiWake::Timeout;
        }
        if (next->first > m_clock.now)
            m_clock.now = next->first;
        const std::function<void()> action = next->second;
        m_actions.erase(next);
        action();
    }
}

void VirtualPacer::At(uint64_t atMs, std::function<void()> action) {
    m_actions.emplace(atMs, std::move(action));
}

Bytes Msg(uint16_t type, uint16_t session, uint16_t sequence, const Bytes& body) {
    Bytes m(10 + body.size(), 0);
    const uint16_t length = static_cast<uint16_t>(m.size());
    const uint16_t fields[4] = {length, session, sequence, type};
    for (int i = 0; i < 4; ++i) {
        m[2 * i] = static_cast<uint8_t>(fields[i]);
        m[2 * i + 1] = static_cast<uint8_t>(fields[i] >> 8);
    }
    std::copy(body.begin(), body.end(), m.begin() + 10);
    return m;
}

Bytes Connect(uint16_t sequence, uint16_t id, uint16_t station, uint16_t level) {
    return Msg(MSG_CONNECT, 0, sequence,
               {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8),
                static_cast<uint8_t>(station), static_cast<uint8_t>(station >> 8),
                static_cast<uint8_t>(level), static_cast<uint8_t>(level >> 8)});
}

Bytes Login(uint16_t sequence, uint16_t session) {
    Bytes body(22);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<uint8_t>('A' + i);
    return Msg(MSG_LOGIN, session, sequence, body);
}

Bytes FileAnnounce(uint16_t session, uint16_t sequence, uint32_t size, uint16_t transferId,
                   uint8_t fileType) {
    Bytes body(26, 0);
    body[0] = fileType;
    body[2] = static_cast<uint8_t>(transferId);
    body[3] = static_cast<uint8_t>(transferId >> 8);
    for (int i = 0; i < 4; ++i)
        body[6 + i] = static_cast<uint8_t>(size >> (8 * i));
    return Msg(MSG_FILE, session, sequence, body);
}

Bytes Data(uint16_t session, uint16_t sequence, const uint8_t* data, size_t n, bool last) {
    return Msg(last ? MSG_DATA_LAST : MSG_DATA, session, sequence, Bytes(data, data + n));
}

Answer Parse(const Bytes& m) {
    Answer a;
    a.size = m.size();
    auto word = [&](size_t at) -> uint16_t {
        return at + 1 < m.size() ? static_cast<uint16_t>(m[at] | (m[at + 1] << 8)) : 0;
    };
    a.length = word(0);
    a.session = word(2);
    a.sequence = word(4);
    a.type = word(6);
    a.check = word(8);
    a.word10 = word(10);
    a.word12 = word(12);
    a.word14 = word(14);
    if (a.type == MSG_STATUS && m.size() > 14)
        a.text.assign(reinterpret_cast<const char*>(m.data() + 14),
                      strnlen(reinterpret_cast<const char*>(m.data() + 14), m.size() - 14));
    return a;
}

EngineFixtureBase::EngineFixtureBase() {
    csi_config_reset_for_tests();
    shared.stationId = &stationId;
    shared.cell = &cell;
    shared.queue = &queue;
    engine.reset(new CsiEngine(link, sleeper));
    engine->Begin(&shared);
    namespace fs = std::filesystem;
    std::error_code ec;
    originalDirectory = fs::current_path(ec).string();
    static int counter = 0;
    tempDir = (fs::temp_directory_path() /
               ("csi_test_" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "_" +
                std::to_string(++counter)))
                  .string();
    fs::remove_all(tempDir);
    csi_set_destination(tempDir.c_str());
    SetLogObserver([this](const std::string& source, const std::string& text, int level) {
        logs.push_back(source + "|" + std::to_string(level) + "|" + text);
    });
}

EngineFixtureBase::~EngineFixtureBase() {
    SetLogObserver({});
    engine->End();
    engine.reset();
    csi_config_reset_for_tests();
    std::error_code ec;
    // Storing a file walks into the destination; step out before it is removed.
    std::filesystem::current_path(originalDirectory, ec);
    std::filesystem::remove_all(tempDir, ec);
}

void EngineFixtureBase::Post(Poster& poster, uint32_t code, int32_t flag, const char* name,
                             bool withList) {
    poster.word.store(1);
    CsiCommandRecord r;
    r.code = code;
    r.interfaceName = name;
    r.objectListOut = withList ? &poster.listSlot : nullptr;
    r.statusWord = &poster.word;
    r.flag = flag;
    queue.Append(r);
}

void EngineFixtureBase::Rounds(int n) {
    for (int i = 0; i < n; ++i)
        engine->RunRound();
}

std::vector<Bytes> EngineFixtureBase::Send(const Bytes& datagram) {
    const size_t before = link.sent.size();
    link.inbound.push_back(datagram);
    engine->RunRound();
    return std::vector<Bytes>(link.sent.begin() + static_cast<long>(before), link.sent.end());
}

Answer EngineFixtureBase::Exchange(const Bytes& datagram) {
    const std::vector<Bytes> answers = Send(datagram);
    if (answers.size() != 1) {
        Answer none;
        none.type = 0xEEEE; // makes every field assertion of the caller fail visibly
        return none;
    }
    return Parse(answers[0]);
}

void EngineFixtureBase::StartServer(int32_t flag) {
    Post(server, 2, flag);
    Rounds(1);
}

void EngineFixtureBase::ConnectAndLogin(uint16_t id, uint16_t station) {
    Exchange(Connect(seq++, id, station, 3));
    Exchange(Login(seq++));
}

void EngineFixtureBase::SendWholeFile(const Bytes& file, uint16_t transferId) {
    Exchange(FileAnnounce(5821, seq++, static_cast<uint32_t>(file.size()), transferId));
    for (size_t at = 0; at < file.size(); at += 128) {
        const size_t n = std::min<size_t>(128, file.size() - at);
        Exchange(Data(5821, seq++, file.data() + at, n, at + n == file.size()));
    }
}
