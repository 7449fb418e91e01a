// A scripted stand-in for the CSI task engine: it takes records from the real queue on the real
// task thread, writes the status words the way the engine does, and lets a test decide each
// command's outcome. The poster runs in virtual time: each 250 ms sleep costs 1 ms.
#pragma once
#include "comm/csi_interface.h"
#include "csi/csi_task.h"
#include "logging/log.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TakenCommand {
    uint32_t code;
    int32_t flag;
    std::string interfaceName;
    bool hasObjectListOut;
};

class FakeEngine {
public:
    // Returns the final status of a command, or 1 to keep it running.
    std::function<int32_t(const CsiCommandRecord&)> answer = [](const CsiCommandRecord&) {
        return CSI_STATUS_DONE;
    };

    CsiEngineBody Body() {
        return [this](CsiTaskContext* context) { Run(context); };
    }
    static CsiSleep VirtualSleep() {
        return [](uint32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
    }

    // Ends the running command with the given status, as a completed file would.
    void Finish(int32_t status) { m_finish.store(status); }

    std::vector<TakenCommand> Taken() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_taken;
    }
    bool Stopped() const { return m_stopped.load(); }
    bool Running() const { return m_running.load(); }
    // Waits (real time, generous) until a command with the code has been taken.
    bool WaitForTaken(uint32_t code) {
        for (int i = 0; i < 5000; ++i) {
            for (const auto& t : Taken())
                if (t.code == code)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

private:
    void Run(CsiTaskContext* context) {
        m_running.store(true);
        CsiCommandRecord current;
        bool running = false;
        while (context->stop.load() == 0) {
            CsiCommandRecord record;
            if (context->shared->queue->TakeHead(&record) && record.statusWord) {
                {
                    std::lock_guard<std::mutex> guard(m_lock);
                    m_taken.push_back({record.code, record.flag,
                                       record.interfaceName ? record.interfaceName : "",
                                       record.objectListOut != nullptr});
                }
                if (record.code == 1 || !running) {
                    record.statusWord->store(CSI_STATUS_RUNNING);
                    const int32_t status = record.code == 1 ? CSI_STATUS_DONE : answer(record);
                    running = status == CSI_STATUS_RUNNING;
                    if (running)
                        current = record;
                    else
                        record.statusWord->store(status);
                }
            }
            const int32_t finish = m_finish.exchange(0);
            if (finish != 0 && running) {
                current.statusWord->store(finish);
                running = false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        m_running.store(false);
        m_stopped.store(true);
    }

    std::mutex m_lock;
    std::vector<TakenCommand> m_taken;
    std::atomic<int32_t> m_finish{0};
    std::atomic<bool> m_stopped{false};
    std::atomic<bool> m_running{false};
};

// Collects every log message for the life of the object.
class LogCapture {
public:
    struct Entry {
        std::string source;
        std::string text;
        int level;
    };
    LogCapture() {
        SetLogObserver([this](const std::string& s, const std::string& t, int l) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_entries.push_back({s, t, l});
        });
    }
    ~LogCapture() { SetLogObserver(nullptr); }
    std::vector<Entry> Entries() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_entries;
    }
    // Texts of one source, in order.
    std::vector<std::string> Texts(const std::string& source) {
        std::vector<std::string> texts;
        for (const auto& e : Entries())
            if (e.source == source)
                texts.push_back(e.text);
        return texts;
    }

private:
    std::mutex m_lock;
    std::vector<Entry> m_entries;
};
