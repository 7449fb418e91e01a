// In-memory stand-in for every function of the platform serial service (see memory_line.h).
// Because the fuzz target defines all of them, the linker never pulls the real one from the
// library.
#include "fuzz/memory_line.h"

#include "platform/serial.h"
#include "platform/wakeup.h"

#include <algorithm>
#include <cstring>

namespace platform {
struct SerialPort {
    unsigned comNumber = 0;
};
} // namespace platform

namespace memory_line {
namespace {
std::deque<std::vector<uint8_t>> g_chunks;
std::vector<uint8_t> g_written;
int g_open = 0;
bool g_refuse = false;
uint32_t g_rate = 0;
platform::SerialSetup g_setup = platform::SerialSetup::Ok;
} // namespace

void Queue(const uint8_t* data, size_t size) {
    g_chunks.emplace_back(data, data + size);
}

void Clear() {
    g_chunks.clear();
    g_written.clear();
}

size_t QueuedChunks() {
    return g_chunks.size();
}

const std::vector<uint8_t>& Written() {
    return g_written;
}

int OpenPorts() {
    return g_open;
}

void RefuseOpen(bool refuse) {
    g_refuse = refuse;
}

void ConfigureAnswers(platform::SerialSetup answer) {
    g_setup = answer;
}

uint32_t LastRate() {
    return g_rate;
}

} // namespace memory_line

namespace platform {

std::string SerialDeviceName(unsigned comNumber) {
    return "MEM" + std::to_string(comNumber);
}

void SerialPortDeleter::operator()(SerialPort* port) const {
    --memory_line::g_open; // closed through SerialClose or by its owner going away
    delete port;
}

UniqueSerialPort SerialOpen(unsigned comNumber, uint32_t* lastError) {
    if (memory_line::g_refuse) {
        if (lastError != nullptr)
            *lastError = 2; // no such port
        return nullptr;
    }
    ++memory_line::g_open;
    UniqueSerialPort port(new SerialPort);
    port->comNumber = comNumber;
    return port;
}

SerialSetup SerialConfigureDirect(SerialPort*, uint32_t bitsPerSecond) {
    memory_line::g_rate = bitsPerSecond;
    return memory_line::g_setup;
}

SerialSetup SerialConfigureModem(SerialPort*, uint32_t bitsPerSecond) {
    memory_line::g_rate = bitsPerSecond;
    return memory_line::g_setup;
}

int SerialRead(SerialPort*, uint8_t* buffer, int count) {
    if (memory_line::g_chunks.empty() || count <= 0)
        return 0;
    std::vector<uint8_t>& head = memory_line::g_chunks.front();
    if (head.empty()) {
        memory_line::g_chunks.pop_front(); // a read that found the line quiet
        return 0;
    }
    const size_t n = std::min(head.size(), static_cast<size_t>(count));
    std::memcpy(buffer, head.data(), n);
    head.erase(head.begin(), head.begin() + static_cast<long>(n));
    if (head.empty())
        memory_line::g_chunks.pop_front();
    return static_cast<int>(n);
}

bool SerialWrite(SerialPort*, const uint8_t* buffer, int length) {
    memory_line::g_written.insert(memory_line::g_written.end(), buffer, buffer + length);
    return true;
}

void SerialPurge(SerialPort*, bool, bool) {}

std::string SerialToOem(const std::string& text) {
    return text;
}

SerialWait SerialWaitReadable(SerialPort* port, Wakeup* wakeup, uint32_t) {
    // The memory line never blocks: a raised wake-up wins, then a port with bytes; a wait
    // without a port watches only the wake-up, as the real one does.
    if (wakeup != nullptr && WakeupConsume(wakeup))
        return SerialWait::Woken;
    return port != nullptr && !memory_line::g_chunks.empty() ? SerialWait::Readable
                                                             : SerialWait::Timeout;
}

bool SerialClose(UniqueSerialPort port) {
    return port != nullptr; // the deleter counts the close
}

} // namespace platform
