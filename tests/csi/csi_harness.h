// Test harness for the CSI engine: an in-memory datagram link, a virtual clock, a scripted
// device that builds messages byte by byte, and a poster that posts commands like the
// communication task does. Everything runs on the test thread in virtual time.
#pragma once
#include "csi/csi_engine.h"
#include "csi/csi_queue.h"
#include "csi/csi_task.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

class FakeLink : public ICsiLink {
public:
    int LinkOpen() override;
    void LinkClose(int line) override;
    int InetSetup(uint32_t local, uint32_t peer, uint16_t port, csi_sockaddr_in* address) override;
    void UdpClose(int socket) override;
    int RecvFrom(int socket, uint8_t* buffer, int capacity, csi_sockaddr_in* from,
                 int* fromLength) override;
    int SendTo(int socket, const uint8_t* payload, int length, const csi_sockaddr_in* to,
               int toLength) override;

    std::deque<Bytes> inbound; // what the device sent, one datagram per poll
    std::vector<Bytes> sent;   // what the engine sent while the link was open
    int opens = 0;
    int closes = 0;
    bool open = false;
    bool failOpen = false;
    bool failSetup = false;
    int failSends = 0;           // the next n sends report 0 bytes
    bool refuseOddLength = true; // as the UDP layer does
};

class VirtualSleeper : public ICsiSleeper {
public:
    void Sleep(uint32_t milliseconds) override {
        now += milliseconds;
        sleeps.push_back(milliseconds);
    }
    uint64_t now = 0;
    std::vector<uint32_t> sleeps;
};

// One message as the device would put it on the wire.
Bytes Msg(uint16_t type, uint16_t session, uint16_t sequence, const Bytes& body = {});
Bytes Connect(uint16_t sequence, uint16_t id = 1, uint16_t station = 2, uint16_t level = 3);
Bytes Login(uint16_t sequence, uint16_t session = 0);
Bytes FileAnnounce(uint16_t session, uint16_t sequence, uint32_t size, uint16_t transferId,
                   uint8_t fileType = 0);
Bytes Data(uint16_t session, uint16_t sequence, const uint8_t* data, size_t n, bool last);

// A parsed server answer.
struct Answer {
    uint16_t length = 0, session = 0, sequence = 0, type = 0, check = 0;
    uint16_t word10 = 0, word12 = 0, word14 = 0;
    std::string text;
    size_t size = 0;
};
Answer Parse(const Bytes& message);

struct Poster {
    std::atomic<int32_t> word{0};
    uintptr_t listSlot = 0;
};

class EngineFixtureBase {
public:
    EngineFixtureBase();
    ~EngineFixtureBase();

    // Posts a command as the communication task does (word set to 1 first).
    void Post(Poster& poster, uint32_t code, int32_t flag = 0, const char* name = "INT",
              bool withList = true);
    // Runs n loop rounds.
    void Rounds(int n);
    // Puts a datagram in front of the engine and runs one round; returns what was sent.
    std::vector<Bytes> Send(const Bytes& datagram);
    // Sends and expects exactly one answer.
    Answer Exchange(const Bytes& datagram);
    // Starts server mode (command 2) and leaves the engine idle in state 0.
    void StartServer(int32_t flag = 1);
    // Connect + login; the session is then in state 200 with code 5821.
    void ConnectAndLogin(uint16_t id = 1, uint16_t station = 2);
    // Announces and sends a whole file in pieces of 128 bytes (state 300/302 afterwards).
    void SendWholeFile(const Bytes& file, uint16_t transferId = 0x4242);

    FakeLink link;
    VirtualSleeper sleeper;
    CCSIQueue queue;
    uint16_t stationId = 0;
    uint8_t cell = 0;
    CsiSharedBlock shared;
    std::unique_ptr<CsiEngine> engine;
    Poster server, waiter, confirmer;
    uint16_t seq = 1;
    std::string tempDir;
    std::string originalDirectory;
    std::vector<std::string> logs; // "source|level|text"
};
