// Control pipe wrapper: keeps the name and the last platform error; all OS work is in
// platform/pipe. Never retries on its own: the caller decides what a failure means.
#include "server/cmn_pipe.h"

CCmnPipe::CCmnPipe() = default;

bool CCmnPipe::Open(const std::string& name, bool bCreate) {
    if (m_hPipe || m_bFailed)
        return false;
    if (name.empty())
        return false;
    m_strName = platform::PipePath(name);
    m_hPipe = bCreate ? platform::PipeCreate(name, &m_dwLastError)
                      : platform::PipeConnect(name, &m_dwLastError, &m_strForeignOwner);
    if (!m_hPipe)
        m_bFailed = true;
    return m_hPipe != nullptr;
}

bool CCmnPipe::Close() {
    m_hPipe.reset(); // closes the pipe
    m_bFailed = false;
    m_strForeignOwner.clear();
    return true;
}

bool CCmnPipe::Read(void* buffer, uint32_t size, uint32_t* bytesRead) {
    if (!m_hPipe || !buffer)
        return false;
    return platform::PipeRead(m_hPipe.get(), buffer, size, bytesRead, &m_dwLastError);
}

bool CCmnPipe::Write(const void* buffer, uint32_t size, uint32_t* bytesWritten) {
    if (!m_hPipe || !buffer)
        return false;
    return platform::PipeWrite(m_hPipe.get(), buffer, size, bytesWritten, &m_dwLastError);
}

void CCmnPipe::InterruptRead() {
    platform::PipeInterrupt(m_hPipe.get());
}
