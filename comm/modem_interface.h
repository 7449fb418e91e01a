// Drives a Hayes-style modem on a COM port for the modem variant: opens and configures the port,
// sends the user's initialisation string and judges the numeric result code, gives SLIP raw
// read and write access while the modem is ready, and hangs up with the user's prefix and
// suffix. Answering calls is left to the modem. Used only on the CSI task's thread.
#pragma once
#include "platform/serial.h"

#include <cstdint>
#include <functional>
#include <string>

class CModemInterface {
public:
    enum : uint32_t { STATE_CLOSED = 0, STATE_READY = 1, STATE_HUNG_UP = 2 };

    CModemInterface() = default;
    CModemInterface(const CModemInterface&) = delete;
    CModemInterface& operator=(const CModemInterface&) = delete;
    virtual ~CModemInterface();

    void SetInitString(const std::string& text) { m_strInitString = text; }
    void SetHangupPrefix(const std::string& text) { m_strHangupPrefix = text; }
    void SetHangupSuffix(const std::string& text) { m_strHangupSuffix = text; }

    // COM number and baud code (bits per second / 100): true when the modem answered 0.
    bool Initialize(uint32_t comNumber, uint32_t baudCode);
    // One read of up to count bytes; false when the port is not open or the modem not ready.
    bool Read(uint8_t* buffer, int count, int* bytesRead);
    // One write of the block; false when the port is not open or the modem not ready.
    bool Write(const uint8_t* buffer, int length, int* bytesWritten);
    // Waits at most timeoutMs for bytes from the modem or the wake-up (may be null): 1 bytes
    // waiting, 2 woken, 0 time passed. Without a ready modem it only waits for the wake-up.
    int WaitReadable(uint32_t timeoutMs, platform::Wakeup* wakeup);
    // True when the hang-up sequence was sent.
    bool HangUp();
    // Hangs up when possible and closes the port; always true.
    bool Close();

    uint32_t GetState() const { return m_nState; }
    uint32_t GetLastError() const { return m_dwLastError; }

    // Test seam for the guard pauses (1.5 s each). Production uses the platform sleep; tests may
    // pass a function that records the requested pause and waits less. Empty restores it.
    using PauseFunction = std::function<void(uint32_t milliseconds)>;
    static void SetPauseFunction(PauseFunction pause);

private:
    void ClosePort();
    static void Pause(uint32_t milliseconds);

    std::string m_strInitString;
    std::string m_strHangupPrefix;
    std::string m_strHangupSuffix;
    uint32_t m_nState = STATE_CLOSED;
    platform::UniqueSerialPort m_hPort;
    uint32_t m_dwLastError = 0;
};
