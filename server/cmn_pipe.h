// CCmnPipe: the control pipe between the parent application and this process.
// On Windows a named pipe "\\.\pipe\<name>"; on Linux a Unix-domain stream socket whose path is
// the name itself when it contains '/', else "$TMPDIR/ecgcomm-pipe-<name>" (/tmp without
// TMPDIR). The process only ever connects as a client and reads.
#pragma once
#include "platform/pipe.h"

#include <cstdint>
#include <string>

class CCmnPipe {
public:
    CCmnPipe();
    virtual ~CCmnPipe() = default;

    // bCreate: true = create the pipe (server role), false = connect to it (client role).
    bool Open(const std::string& name, bool bCreate);
    bool Close();
    bool Read(void* buffer, uint32_t size, uint32_t* bytesRead);
    bool Write(const void* buffer, uint32_t size, uint32_t* bytesWritten);
    // Ends a Read that blocks in another thread; every later Read fails at once.
    void InterruptRead();

    const std::string& Name() const { return m_strName; }
    uint32_t LastError() const { return m_dwLastError; }
    // Whose the pipe was when Open refused it for belonging to another user; else empty.
    const std::string& ForeignOwner() const { return m_strForeignOwner; }

    CCmnPipe(const CCmnPipe&) = delete;
    CCmnPipe& operator=(const CCmnPipe&) = delete;

private:
    std::string m_strName;
    std::string m_strForeignOwner;
    uint32_t m_dwLastError = 0;
    platform::UniquePipe m_hPipe;
    // A failed Open leaves the object unusable until Close, as an invalid handle would.
    bool m_bFailed = false;
};
