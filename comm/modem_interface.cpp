// The modem interface: command strings, result code and hang-up around a raw port.
// Every failure of Initialize leaves the port closed; nothing here retries.
#include "comm/modem_interface.h"

#include "logging/log.h"
#include "platform/clock.h"
#include "platform/serial.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

namespace {

const char* const kSource = "CModemInterface";
constexpr uint32_t kGuardPauseMs = 1500;
constexpr int kResponseBytes = 100;

std::mutex g_pauseLock;
CModemInterface::PauseFunction g_pause;

// Command strings go out in the OEM code page, as on the original Windows process.
std::string ToOem(const std::string& text) {
    return platform::SerialToOem(text);
}

uint32_t ModemBitsPerSecond(uint32_t baudCode) {
    switch (baudCode) {
    case 48:
        return 4800;
    case 96:
        return 9600;
    case 192:
        return 19200;
    case 384:
        return 38400;
    case 576:
        return 57600;
    case 1152:
        return 115200;
    default:
        return 0; // keep the port's current rate
    }
}

} // namespace

void CModemInterface::SetPauseFunction(PauseFunction pause) {
    std::lock_guard<std::mutex> guard(g_pauseLock);
    g_pause = std::move(pause);
}

void CModemInterface::Pause(uint32_t milliseconds) {
    PauseFunction pause;
    {
        std::lock_guard<std::mutex> guard(g_pauseLock);
        pause = g_pause;
    }
    if (pause)
        pause(milliseconds);
    else
        platform::SleepMs(milliseconds);
}

CModemInterface::~CModemInterface() {
    if (m_hPort != nullptr)
        Close();
}

void CModemInterface::ClosePort() {
    if (m_hPort != nullptr)
        platform::SerialClose(std::move(m_hPort));
    m_nState = STATE_CLOSED;
}

bool CModemInterface::Initialize(uint32_t comNumber, uint32_t baudCode) {
    // Give the modem time to settle after the previous call or power-up.
    Pause(kGuardPauseMs);
    if (m_strInitString.empty()) {
        LogMessage(kSource, "Modem initialization-string is empty. Unable to initialize modem.",
                   LOG_ERROR);
        return false;
    }
    if (comNumber == 0 || comNumber == 257) {
        LogMessage(kSource, "Invalid com-port or baudrate. Unable to initialize modem.", LOG_ERROR);
        return false;
    }
    if (m_hPort != nullptr)
        ClosePort();
    const std::string device = platform::SerialDeviceName(comNumber);
    m_hPort = platform::SerialOpen(comNumber, &m_dwLastError);
    if (m_hPort == nullptr) {
        LogFormat(kSource, LOG_ERROR, "Error opening com-port : %s.", device.c_str());
        m_nState = STATE_CLOSED;
        return false;
    }
    switch (platform::SerialConfigureModem(m_hPort.get(), ModemBitsPerSecond(baudCode))) {
    case platform::SerialSetup::Ok:
        break;
    case platform::SerialSetup::ReadSettingsFailed:
        LogMessage(kSource, "Error reading modem-properties.", LOG_ERROR);
        ClosePort();
        return false;
    case platform::SerialSetup::ApplySettingsFailed:
        LogMessage(kSource, "Error setting modem-properties.", LOG_ERROR);
        ClosePort();
        return false;
    case platform::SerialSetup::TimeoutsFailed:
        ClosePort();
        return false;
    }

    const std::string init = ToOem(m_strInitString);
    platform::SerialWrite(m_hPort.get(), reinterpret_cast<const uint8_t*>(init.data()),
                          static_cast<int>(init.size()));
    uint8_t response[kResponseBytes + 1] = {};
    platform::SerialRead(m_hPort.get(), response, kResponseBytes); // the echo, discarded
    const uint8_t cr = 0x0D;
    platform::SerialWrite(m_hPort.get(), &cr, 1);
    std::memset(response, 0, sizeof response);
    const int got = platform::SerialRead(m_hPort.get(), response, kResponseBytes);
    response[got > 0 ? got : 0] = 0;
    // The answer is text up to its first zero byte.
    if (response[0] == 0) {
        LogFormat(kSource, LOG_ERROR, "Error opening com-port : %s.", device.c_str());
        ClosePort();
        return false;
    }
    const long code = std::strtol(reinterpret_cast<const char*>(response), nullptr, 10);
    if (code == 0) {
        m_nState = STATE_READY;
        return true;
    }
    LogFormat(kSource, LOG_ERROR, "Error initializing modem. Return-code : %d",
              static_cast<int>(code));
    ClosePort();
    return false;
}

bool CModemInterface::Read(uint8_t* buffer, int count, int* bytesRead) {
    if (m_hPort == nullptr || m_nState != STATE_READY)
        return false;
    const int got = platform::SerialRead(m_hPort.get(), buffer, count);
    if (bytesRead != nullptr)
        *bytesRead = got > 0 ? got : 0;
    return true;
}

int CModemInterface::WaitReadable(uint32_t timeoutMs, platform::Wakeup* wakeup) {
    platform::SerialPort* port = m_nState == STATE_READY ? m_hPort.get() : nullptr;
    switch (platform::SerialWaitReadable(port, wakeup, timeoutMs)) {
    case platform::SerialWait::Readable:
        return 1;
    case platform::SerialWait::Woken:
        return 2;
    default:
        return 0;
    }
}

bool CModemInterface::Write(const uint8_t* buffer, int length, int* bytesWritten) {
    if (m_hPort == nullptr || m_nState != STATE_READY)
        return false;
    const bool ok = platform::SerialWrite(m_hPort.get(), buffer, length);
    if (bytesWritten != nullptr)
        *bytesWritten = ok ? length : 0;
    return true;
}

bool CModemInterface::HangUp() {
    if (m_nState != STATE_READY || m_hPort == nullptr)
        return false;
    if (m_strHangupPrefix.empty() || m_strHangupSuffix.empty())
        return false;
    // The guard times around the escape sequence are what make a Hayes modem leave data mode.
    const std::string prefix = ToOem(m_strHangupPrefix);
    Pause(kGuardPauseMs);
    platform::SerialWrite(m_hPort.get(), reinterpret_cast<const uint8_t*>(prefix.data()),
                          static_cast<int>(prefix.size()));
    Pause(kGuardPauseMs);
    const std::string suffix = ToOem(m_strHangupSuffix);
    platform::SerialWrite(m_hPort.get(), reinterpret_cast<const uint8_t*>(suffix.data()),
                          static_cast<int>(suffix.size()));
    uint8_t discard[kResponseBytes];
    platform::SerialRead(m_hPort.get(), discard, kResponseBytes);
    const uint8_t cr = 0x0D;
    platform::SerialWrite(m_hPort.get(), &cr, 1);
    platform::SerialRead(m_hPort.get(), discard, kResponseBytes);
    m_nState = STATE_HUNG_UP;
    return true;
}

bool CModemInterface::Close() {
    HangUp();
    ClosePort();
    return true;
}
