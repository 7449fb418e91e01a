// CErrorLogger core: the instance, the level filter, entry rendering and the one-call
// configuration. The files live in log_files.cpp, the ring and the writer in log_writer.cpp.
// Nothing here may report an error other than through a boolean: callers ignore the logger.
#include "logging/error_logger.h"

#include "platform/fs.h"
#include "tools/app_paths.h"
#include "tools/misc_tools.h"
#include "tools/token.h"

#include <cstdio>
#include <memory>

namespace {
std::unique_ptr<CErrorLogger> g_pInstance;

std::string Printf10(const std::string& label, const std::string& value) {
    char head[32];
    std::snprintf(head, sizeof head, "%10s ", label.c_str());
    return head + value;
}
} // namespace

CErrorLogger* CErrorLogger::GetInstance() {
    // No lock: the entry makes the first call before any other thread exists.
    if (g_pInstance == nullptr)
        g_pInstance = std::make_unique<CErrorLogger>();
    return g_pInstance.get();
}

void CErrorLogger::DestroyInstance() {
    if (g_pInstance == nullptr)
        return;
    g_pInstance->Stop();
    if (g_pInstance->IsWriterLeftBehind()) {
        // Its writer still runs on it: kept, and reachable, until the process ends. Never
        // freed, not even at exit, where freeing it would wait for the hung write.
        static CErrorLogger* s_pLeftBehind = nullptr;
        g_pInstance->m_pNextLeftBehind = s_pLeftBehind;
        s_pLeftBehind = g_pInstance.release();
    } else {
        g_pInstance.reset();
    }
}

CErrorLogger::CErrorLogger() : m_now(platform::NowLocal) {}

CErrorLogger::~CErrorLogger() {
    // A private logger that is still writing must not leave its thread behind; one whose
    // writer was left hanging can only be freed once the hang has ended.
    if (m_bWriterLeftBehind) {
        std::unique_lock<std::mutex> lock(m_eventLock);
        m_eventCond.wait(lock, [this] { return !m_bWriterRunning; });
    } else if (m_writer.joinable()) {
        Stop();
    }
}

const char* CErrorLogger::LevelName(int32_t level) {
    switch (level) {
    case 2:
        return "Information";
    case 1:
        return "Warning";
    case 0:
        return "Error";
    case -1:
        return "Legacy";
    case -2:
        return "Critical";
    case -5:
        return "Key Event";
    default:
        return "";
    }
}

bool CErrorLogger::Log(const char* source, const char* text, int level) {
    if (!m_bStarted)
        return false;
    if (level > m_nLevelThreshold)
        return false;
    if (m_bStandardLevels && level >= -2 && level <= 2)
        return Enqueue(source, text, level);
    if (m_bKeyEvents && level == -5)
        return Enqueue(source, text, level);
    return false;
}

std::string CErrorLogger::FormatEntry(const LogEntry& e) const {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", e.year, e.month, e.day,
                  e.hour, e.minute, e.second, e.millisecond);
    if (m_nMessageFormat == 1)
        return std::string(stamp) + "  " + e.text + "\r\n";
    std::string out = std::string(stamp) + "\r\n";
    out += Printf10(m_strLevelLabel, LevelName(e.level)) + "\r\n";
    if (!e.source.empty())
        out += Printf10(m_strSourceLabel, e.source) + "\r\n";
    out += Printf10(m_strTextLabel, e.text) + "\r\n";
    out += "\r\n";
    return out;
}

// ---- configuration ----

void CErrorLogger::SetLogSubdirectory(const std::string& subdirectory) {
    const std::string strip = std::string(" \\") + platform::PathSeparator();
    const size_t first = subdirectory.find_first_not_of(strip);
    if (first == std::string::npos) {
        m_strSubdirectory.clear();
        return;
    }
    const size_t last = subdirectory.find_last_not_of(strip);
    m_strSubdirectory = subdirectory.substr(first, last - first + 1);
}

void CErrorLogger::SetFilePrefix(const std::string& prefix) {
    m_strFilePrefix = TrimBoth(prefix);
    if (m_strFilePrefix.empty())
        m_strFilePrefix = "LogFile";
}

bool CErrorLogger::SetLogDirectory(const std::string& base) {
    if (base.empty())
        return false;
    m_strLogDirectory.clear();
    const char sep = platform::PathSeparator();
    std::string d = base;
    if (base.back() != sep) {
        d += sep;
        if (!m_strSubdirectory.empty())
            d += m_strSubdirectory + sep;
    } else if (!m_strSubdirectory.empty()) {
        d += m_strSubdirectory + sep;
    }
    if (!CCommonMiscTools::CreateDirectoryPath(d))
        return false;
    m_strLogDirectory = d;
    return true;
}

bool CErrorLogger::SetMaxFiles(uint16_t count) {
    if (count < 1 || count > 15)
        return false;
    // One file could not rotate; two is the smallest ring.
    m_nMaxFiles = count == 1 ? 2 : count;
    return true;
}

bool CErrorLogger::SetMaxFileSize(int32_t bytes) {
    if (bytes < 0x401 || bytes > 0x100000)
        return false;
    m_nMaxFileSize = static_cast<uint32_t>(bytes);
    return true;
}

bool CErrorLogger::SetWriterPriority(int32_t priority) {
    switch (priority) {
    case -15:
    case -2:
    case -1:
    case 0:
    case 1:
    case 2:
    case 15:
    case 0x7FFFFFFF:
        m_nWriterPriority = priority;
        return true;
    default:
        return false;
    }
}

bool CErrorLogger::SetWriteInterval(uint32_t milliseconds) {
    if (milliseconds == 0)
        return false;
    m_nWriteInterval = milliseconds;
    return true;
}

bool CErrorLogger::SetLevelThreshold(uint32_t threshold) {
    if (threshold > 2)
        return false;
    m_nLevelThreshold = static_cast<int32_t>(threshold);
    return true;
}

bool CErrorLogger::Initialize(const std::string& logDirectory, const std::string& subdirectory,
                              const std::string& filePrefix, int32_t maxFiles, uint32_t maxFileSize,
                              int32_t writerPriority, uint32_t writeInterval,
                              int32_t levelThreshold, bool standardLevels, bool keyEvents) {
    SetLogSubdirectory(subdirectory);
    SetFilePrefix(filePrefix);
    SetLogDirectory(logDirectory); // uses the subdirectory, so it comes after it
    SetMaxFiles(static_cast<uint16_t>(maxFiles));
    SetMaxFileSize(static_cast<int32_t>(maxFileSize));
    SetWriterPriority(writerPriority);
    SetWriteInterval(writeInterval);
    SetLevelThreshold(static_cast<uint32_t>(levelThreshold));
    SetStandardLevels(standardLevels);
    SetKeyEvents(keyEvents);
    m_nMessageFormat = static_cast<int32_t>(GetLocalProfileInt("VELMAR", "LOG_MessageFormat", 0));
    if (!Start())
        return false;
    m_bStarted = true;
    return true;
}

bool CErrorLogger::Start() {
    return CreateLocks() && OpenLogFiles() && StartWriter();
}
