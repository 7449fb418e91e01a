// The serial port service: open a COM port by number, configure it either as a direct SLIP line
// or as a modem port, read, write, purge and close. One implementation per operating system.
// Callers never see a platform handle and never need an #ifdef. Nothing here logs: the link
// layers decide what a failure means.
//
// Port names: on Windows COM number n is the device "\\.\COM<n>". On Linux it is /dev/ttyS<n-1>,
// unless the directory named by the environment variable ECGCOMM_PORTS holds an entry COM<n>
// (normally a symlink to a tty such as /dev/ttyUSB0 or a pty slave); that entry is then opened.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

struct Wakeup; // platform/wakeup.h

struct SerialPort; // opaque

// Frees a port, closing it first when SerialClose has not.
struct SerialPortDeleter {
    void operator()(SerialPort* port) const;
};
// The owner of an open port; the functions below only use the port they are given.
using UniqueSerialPort = std::unique_ptr<SerialPort, SerialPortDeleter>;

// How a configuration attempt ended; the modem interface reports each failure differently.
enum class SerialSetup {
    Ok,
    ReadSettingsFailed,  // the port's current settings could not be read
    ApplySettingsFailed, // the new settings were refused
    TimeoutsFailed,      // the read/write time-outs were refused
};

// The device name that opening COM number n uses, for messages.
std::string SerialDeviceName(unsigned comNumber);

// Opens the port exclusively (a second opener fails). Returns null on failure and then stores
// the platform's error code in *lastError when given.
UniqueSerialPort SerialOpen(unsigned comNumber, uint32_t* lastError);

// Direct SLIP line: raw 8N1, no flow control, DTR and RTS off, the given bit rate, both queues
// discarded; a read returns at once with what has arrived; a write gives up after 100 ms.
SerialSetup SerialConfigureDirect(SerialPort* port, uint32_t bitsPerSecond);

// Modem port: raw 8N1, no flow control, DTR and RTS on; bitsPerSecond 0 keeps the port's rate.
// A read waits at most 1 ms per byte asked plus 1 ms for data and returns as soon as the line
// goes quiet after data has arrived.
SerialSetup SerialConfigureModem(SerialPort* port, uint32_t bitsPerSecond);

// Reads up to count bytes as the configuration says: the number read (0 when nothing came),
// or -1 when the read failed.
int SerialRead(SerialPort* port, uint8_t* buffer, int count);

// One write of the whole block: true when the write call succeeded (the count is not checked).
bool SerialWrite(SerialPort* port, const uint8_t* buffer, int length);

// Discards what is queued in the given directions.
void SerialPurge(SerialPort* port, bool transmit, bool receive);

// Modem command text in the code page the modem expects: the OEM code page on Windows; on
// Linux text passes unchanged.
std::string SerialToOem(const std::string& text);

// What ended a wait for input.
enum class SerialWait {
    Timeout,  // the time passed with nothing to read
    Readable, // bytes are waiting to be read
    Woken,    // the wake-up signal was raised (it is cleared again)
};

// Waits at most timeoutMs until the port has bytes to read or the wake-up signal (may be null)
// is raised. A port whose far end has gone away waits out the time rather than spinning.
SerialWait SerialWaitReadable(SerialPort* port, Wakeup* wakeup, uint32_t timeoutMs);

// Closes the port and frees the object; false when closing failed (the object is freed anyway)
// or there was no port.
bool SerialClose(UniqueSerialPort port);

} // namespace platform
