// Test-only: the Hayes modem emulator of the test bench as a child process, a simulated caller
// on its socket, its event log, and a pause function that records and shortens the modem
// interface's guard pauses.
#pragma once
#include "comm/modem_interface.h"
#include "link/test_support.h"

#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>

namespace testing_support {

// Pauses are shortened by this factor; the emulator's guard time is set to fit.
constexpr uint32_t kPauseDivisor = 5;

struct ModemEvent {
    double time;
    std::string text; // "rx <hex>" or the event name
};

class ModemBench {
public:
    ModemBench(int comNumber, const std::string& initAnswer) {
        dir_ = MakeTempDir("modem");
        setenv("ECGCOMM_PORTS", dir_.c_str(), 1);
        socket_ = dir_ + "/caller.sock";
        log_ = dir_ + "/modem.log";
        tool_ = std::make_unique<ChildTool>(std::vector<std::string>{
            "python3", SourceDir() + "/testbench/modem.py", "--com-dir", dir_, "--com",
            std::to_string(comNumber), "--caller-socket", socket_, "--init-answer", initAnswer,
            "--guard-ms", "150", "--log", log_});
        ready_ = tool_->WaitReady();
        CModemInterface::SetPauseFunction([this](uint32_t ms) {
            {
                std::lock_guard<std::mutex> g(lock_);
                pauses_.push_back(ms);
            }
            usleep(ms * 1000 / kPauseDivisor);
        });
    }
    ~ModemBench() {
        CModemInterface::SetPauseFunction(nullptr);
        if (caller_ >= 0)
            close(caller_);
        tool_.reset();
        unsetenv("ECGCOMM_PORTS");
        RemoveTree(dir_);
    }
    bool Ready() const { return ready_; }
    std::string PortPath(int comNumber) const { return dir_ + "/COM" + std::to_string(comNumber); }

    std::vector<uint32_t> Pauses() {
        std::lock_guard<std::mutex> g(lock_);
        return pauses_;
    }

    std::vector<ModemEvent> Events() const {
        std::vector<ModemEvent> events;
        std::ifstream in(log_);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            ModemEvent e{};
            fields >> e.time;
            std::getline(fields >> std::ws, e.text);
            events.push_back(e);
        }
        return events;
    }
    // All bytes the modem received in command mode, in order.
    std::string CommandBytes() const {
        std::string all;
        for (const auto& e : Events())
            if (e.text.rfind("rx ", 0) == 0) {
                const Bytes b = FromHex(e.text.substr(3));
                all.append(b.begin(), b.end());
            }
        return all;
    }
    bool WaitForEvent(const std::string& text, int timeoutMs = 3000) const {
        for (int i = 0; i < timeoutMs / 10; ++i) {
            for (const auto& e : Events())
                if (e.text == text)
                    return true;
            usleep(10000);
        }
        return false;
    }

    bool ConnectCaller() {
        caller_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_.c_str());
        if (connect(caller_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            return false;
        return WaitForEvent("caller connected");
    }
    void DropCaller() {
        close(caller_);
        caller_ = -1;
    }
    void CallerSend(const Bytes& b) const { (void)send(caller_, b.data(), b.size(), 0); }
    // What the caller received until the line stayed quiet; *closed when the modem hung up.
    Bytes CallerReceive(int quietMs = 200, bool* closed = nullptr) const {
        Bytes out;
        uint8_t buf[4096];
        for (;;) {
            pollfd p{caller_, POLLIN, 0};
            if (poll(&p, 1, quietMs) <= 0)
                return out;
            const ssize_t n = recv(caller_, buf, sizeof buf, 0);
            if (n <= 0) {
                if (closed != nullptr)
                    *closed = true;
                return out;
            }
            out.insert(out.end(), buf, buf + n);
        }
    }

private:
    std::string dir_, socket_, log_;
    std::unique_ptr<ChildTool> tool_;
    bool ready_ = false;
    int caller_ = -1;
    std::mutex lock_;
    std::vector<uint32_t> pauses_;
};

} // namespace testing_support
