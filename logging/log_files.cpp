// CErrorLogger's numbered log files: naming, choosing the file a previous run wrote last,
// the header, rotation, and the guarded writes. Errors are never reported here beyond the
// boolean results; a log file problem must not stop the process.
#include "logging/error_logger.h"

#include "platform/sysinfo.h"

#include <chrono>
#include <cstdio>

namespace {
constexpr std::chrono::milliseconds kLockWait(1000);
}

std::string CErrorLogger::Stamp(const platform::LocalTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

bool CErrorLogger::OpenLogFiles() {
    CloseLogFile();
    m_astrFileNames.clear();
    for (int i = 1; i <= m_nMaxFiles; ++i)
        m_astrFileNames.push_back(m_strLogDirectory + m_strFilePrefix + std::to_string(i) + ".log");
    m_strCurrentFile = m_astrFileNames.front();
    if (!ScanLogFiles())
        return false;
    if (!m_astrFileDates.empty())
        PickLatestFile();
    if (!m_file.IsOpen())
        return OpenLogFileForAppend();
    return true;
}

bool CErrorLogger::ScanLogFiles() {
    m_astrFileDates.clear();
    for (size_t i = 0; i < m_astrFileNames.size(); ++i) {
        const bool opened = m_file.OpenExistingForRead(m_astrFileNames[i]);
        const uint32_t error = m_file.LastError();
        if ((error != 0 && error != platform::kErrorAlreadyExists) || !opened) {
            if (error == platform::kErrorFileNotFound && !opened) {
                // Numbering stops at the first missing file; none at all means a fresh start.
                if (i == 0)
                    return CreateLogFile();
                return true;
            }
            // Someone else holds the file, or the directory is gone: no log this run.
            m_file.Close();
            return false;
        }
        m_astrFileDates.push_back(FileDateString());
        CloseLogFile();
    }
    return true;
}

bool CErrorLogger::PickLatestFile() {
    const size_t k = m_astrFileDates.size();
    const size_t n = m_astrFileNames.size();
    if (k == 0)
        return false;
    // The first drop in the dates marks the end of what the last run wrote.
    for (size_t j = 1; j < k; ++j) {
        if (m_astrFileDates[j] < m_astrFileDates[j - 1]) {
            m_strCurrentFile = m_astrFileNames[j - 1];
            return true;
        }
    }
    if (k == n && m_astrFileDates[0] < m_astrFileDates[n - 1]) {
        m_strCurrentFile = m_astrFileNames[n - 1];
        return true;
    }
    if (k < n)
        m_strCurrentFile = m_astrFileNames[k - 1];
    return true;
}

bool CErrorLogger::OpenLogFileForAppend() {
    if (!m_file.OpenAlways(m_strCurrentFile))
        return false;
    const uint64_t size = m_file.Size();
    if (size == 0)
        return WriteHeader();
    if (size < m_nMaxFileSize) {
        m_file.SeekToEnd();
        return true;
    }
    CloseLogFile();
    if (NextLogFile())
        return CreateLogFile();
    return false;
}

bool CErrorLogger::NextLogFile() {
    const std::string previous = m_strCurrentFile;
    for (size_t i = 0; i < m_astrFileNames.size(); ++i) {
        if (m_astrFileNames[i] == m_strCurrentFile) {
            m_strCurrentFile = m_astrFileNames[(i + 1) % m_astrFileNames.size()];
            break;
        }
    }
    return m_strCurrentFile != previous;
}

bool CErrorLogger::CreateLogFile() {
    CloseLogFile();
    if (!m_file.CreateAlways(m_strCurrentFile))
        return false;
    return WriteHeader();
}

bool CErrorLogger::WriteHeader() {
    std::string header = "Log file of system: " + platform::ComputerName() +
                         "\r\nCreated: " + Stamp(m_now()) + " \r\n";
    header += std::string(64, '-') + "\r\n\r\n";
    return WriteText(header);
}

bool CErrorLogger::WriteText(const std::string& text) {
    if (!m_fileLock.try_lock_for(kLockWait))
        return false;
    bool ok = false;
    if (!text.empty() && m_file.IsOpen())
        ok = (!m_writeFault || m_writeFault(text)) && m_file.Write(text.data(), text.size());
    m_fileLock.unlock();
    return ok;
}

bool CErrorLogger::CloseLogFile() {
    if (!m_file.IsOpen())
        return false;
    if (m_fileLock.try_lock_for(kLockWait)) {
        m_file.Flush();
        m_file.Close();
        m_fileLock.unlock();
    }
    return true;
}

std::string CErrorLogger::FileDateString() const {
    platform::LocalTime t;
    if (!m_file.LastWriteLocal(&t))
        t = platform::LocalTime();
    char text[96];
    std::snprintf(text, sizeof text,
                  "Date (JJJJ-MM-DD): %d-%02d-%02d Time (HH:MM:SS): %02d:%02d:%02d", t.year,
                  t.month, t.day, t.hour, t.minute, t.second);
    return text;
}
