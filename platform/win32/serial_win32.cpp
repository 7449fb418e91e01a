// Windows serial port: a COM handle with a device control block and communication time-outs.
// The direct line and the modem port keep the settings the original process used, so that
// devices and modems in the field see exactly the same line. Never logs.
#include "platform/serial.h"

#include "platform/wakeup.h"
#include "platform/win32/unique_handle_win32.h"

#include <windows.h>

#include <cstdio>
#include <utility>

namespace platform {

struct SerialPort {
    UniqueWinHandle handle;
    DWORD lastInput = 0; // tick count when input was last seen, for the waits' slices
    bool inputSeen = false;
};

namespace {

void NoteInput(SerialPort* port) {
    port->lastInput = GetTickCount();
    port->inputSeen = true;
}

} // namespace

std::string SerialDeviceName(unsigned comNumber) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%u", "\\\\.\\COM", comNumber);
    return name;
}

void SerialPortDeleter::operator()(SerialPort* port) const {
    delete port; // closes it when SerialClose has not
}

UniqueSerialPort SerialOpen(unsigned comNumber, uint32_t* lastError) {
    const std::string name = SerialDeviceName(comNumber);
    UniqueWinHandle h(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.IsValid()) {
        if (lastError != nullptr)
            *lastError = GetLastError();
        return nullptr;
    }
    UniqueSerialPort port(new SerialPort);
    port->handle = std::move(h);
    return port;
}

SerialSetup SerialConfigureDirect(SerialPort* port, uint32_t bitsPerSecond) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(port->handle.Get(), &dcb))
        return SerialSetup::ReadSettingsFailed;
    dcb.BaudRate = bitsPerSecond;
    // Flag word 3: binary and parity check on; no flow control of any kind; DTR and RTS off.
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    dcb.fDummy2 = 0;
    dcb.XonLim = 200;
    dcb.XoffLim = 128;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    if (!SetCommState(port->handle.Get(), &dcb))
        return SerialSetup::ApplySettingsFailed;
    // Queue sizes, purge and time-outs are not checked: the line works without them.
    SetupComm(port->handle.Get(), 5000, 5000);
    PurgeComm(port->handle.Get(), PURGE_TXCLEAR | PURGE_RXCLEAR);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD; // return at once with what is queued
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 100;
    SetCommTimeouts(port->handle.Get(), &timeouts);
    return SerialSetup::Ok;
}

SerialSetup SerialConfigureModem(SerialPort* port, uint32_t bitsPerSecond) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(port->handle.Get(), &dcb))
        return SerialSetup::ReadSettingsFailed;
    // The flag word: AND 0xFFFF9093, OR 0x1093 - DTR and RTS on, no flow control, the higher
    // bits kept. Written field by field, which gives the same word.
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    if (bitsPerSecond != 0)
        dcb.BaudRate = bitsPerSecond;
    if (!SetCommState(port->handle.Get(), &dcb))
        return SerialSetup::ApplySettingsFailed;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 1;
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 1;
    timeouts.WriteTotalTimeoutMultiplier = 1;
    timeouts.WriteTotalTimeoutConstant = 1;
    if (!SetCommTimeouts(port->handle.Get(), &timeouts))
        return SerialSetup::TimeoutsFailed;
    return SerialSetup::Ok;
}

int SerialRead(SerialPort* port, uint8_t* buffer, int count) {
    if (port == nullptr || buffer == nullptr || count < 0)
        return -1;
    DWORD got = 0;
    if (!ReadFile(port->handle.Get(), buffer, static_cast<DWORD>(count), &got, nullptr))
        return -1;
    if (got > 0)
        NoteInput(port);
    return static_cast<int>(got);
}

bool SerialWrite(SerialPort* port, const uint8_t* buffer, int length) {
    if (port == nullptr || length < 0)
        return false;
    DWORD written = 0;
    return WriteFile(port->handle.Get(), buffer, static_cast<DWORD>(length), &written, nullptr) !=
           0;
}

void SerialPurge(SerialPort* port, bool transmit, bool receive) {
    if (port == nullptr)
        return;
    if (transmit)
        PurgeComm(port->handle.Get(), PURGE_TXABORT | PURGE_TXCLEAR);
    if (receive)
        PurgeComm(port->handle.Get(), PURGE_RXABORT | PURGE_RXCLEAR);
}

// The port is opened without overlapped I/O, so WaitCommEvent would block without a time limit.
// Instead the input queue is looked at in slices, sleeping on the wake-up event between them:
// every 10 ms while input has come within the last second, so that a reply in a call is noticed
// soon; every 100 ms for a minute after that, in case the call goes on after a pause; after that,
// and until the first input since the port was opened, every 250 ms, as often as the classic
// round reads the line: there each look would only cost time (under Wine each one is a round trip
// to the server). A posted command still ends any slice at once. Without a port there is nothing
// to look at.
SerialWait SerialWaitReadable(SerialPort* port, Wakeup* wakeup, uint32_t timeoutMs) {
    constexpr DWORD kBusySliceMs = 10;
    constexpr DWORD kPauseSliceMs = 100;
    constexpr DWORD kQuietSliceMs = 250;
    constexpr DWORD kBusyForMs = 1000;
    constexpr DWORD kPauseForMs = 60000;
    const DWORD start = GetTickCount();
    HANDLE event = reinterpret_cast<HANDLE>(WakeupNativeHandle(wakeup));
    for (;;) {
        if (port != nullptr) {
            DWORD errors = 0;
            COMSTAT stat;
            ZeroMemory(&stat, sizeof stat);
            if (ClearCommError(port->handle.Get(), &errors, &stat) && stat.cbInQue > 0) {
                NoteInput(port);
                return SerialWait::Readable;
            }
        }
        const DWORD now = GetTickCount();
        const DWORD elapsed = now - start;
        if (elapsed >= timeoutMs)
            return SerialWait::Timeout;
        const DWORD left = timeoutMs - elapsed;
        DWORD slice = left;
        if (port != nullptr) {
            const DWORD quietMs = port->inputSeen ? now - port->lastInput : MAXDWORD;
            slice = quietMs < kBusyForMs    ? kBusySliceMs
                    : quietMs < kPauseForMs ? kPauseSliceMs
                                            : kQuietSliceMs;
        }
        if (slice > left)
            slice = left;
        if (event != nullptr) {
            if (WaitForSingleObject(event, slice) == WAIT_OBJECT_0)
                return SerialWait::Woken;
        } else {
            Sleep(slice);
        }
    }
}

std::string SerialToOem(const std::string& text) {
    std::string oem = text;
    if (!oem.empty())
        CharToOemBuffA(text.c_str(), &oem[0], static_cast<DWORD>(oem.size()));
    return oem;
}

bool SerialClose(UniqueSerialPort port) {
    return port != nullptr && port->handle.Close();
}

} // namespace platform
