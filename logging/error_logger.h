// CErrorLogger: the one process-wide logger. Log() only copies a message into a ring of 1000
// entries; a writer thread renders and appends them to a ring of numbered log files. Log must
// never wait for the disk (except for Critical messages, which are written at once) and never
// report errors to its callers beyond its boolean result.
#pragma once
#include "platform/clock.h"
#include "platform/log_file.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct LogEntry {
    int16_t year = 0;
    int16_t month = 0;
    int16_t day = 0;
    int16_t hour = 0;
    int16_t minute = 0;
    int16_t second = 0;
    int16_t millisecond = 0;
    int32_t level = 0;
    std::string text;
    std::string source;
};

class CErrorLogger {
public:
    static constexpr uint32_t kRingSlots = 1000;

    static CErrorLogger* GetInstance();
    static void DestroyInstance();

    // The process uses GetInstance; tests construct private loggers.
    CErrorLogger();
    ~CErrorLogger();
    CErrorLogger(const CErrorLogger&) = delete;
    CErrorLogger& operator=(const CErrorLogger&) = delete;

    // True when the message was kept. Callable from any thread.
    bool Log(const char* source, const char* text, int level);
    // The entry rendered in the current message format.
    std::string FormatEntry(const LogEntry& entry) const;
    // The word written for a level number; empty for a number that is no level.
    static const char* LevelName(int32_t level);

    // Configuration and start-up.
    bool Initialize(const std::string& logDirectory, const std::string& subdirectory,
                    const std::string& filePrefix, int32_t maxFiles, uint32_t maxFileSize,
                    int32_t writerPriority, uint32_t writeInterval, int32_t levelThreshold,
                    bool standardLevels, bool keyEvents);
    bool Start();
    void SetLogSubdirectory(const std::string& subdirectory);
    void SetFilePrefix(const std::string& prefix);
    bool SetLogDirectory(const std::string& base);
    bool SetMaxFiles(uint16_t count);
    bool SetMaxFileSize(int32_t bytes);
    bool SetWriterPriority(int32_t priority);
    bool SetWriteInterval(uint32_t milliseconds);
    bool SetLevelThreshold(uint32_t threshold);
    void SetStandardLevels(bool on) { m_bStandardLevels = on; }
    void SetKeyEvents(bool on) { m_bKeyEvents = on; }
    void SetMessageFormat(int32_t format) { m_nMessageFormat = format; }

    // Log files and rotation.
    bool OpenLogFiles();
    bool ScanLogFiles();
    bool PickLatestFile();
    bool OpenLogFileForAppend();
    bool NextLogFile();
    bool CreateLogFile();
    bool WriteHeader();
    bool WriteText(const std::string& text);
    bool CloseLogFile();
    std::string FileDateString() const;

    // The ring and the writer.
    bool Enqueue(const char* source, const char* text, int level);
    bool Flush();
    bool CreateLocks();
    bool StartWriter();
    bool Stop();
    bool FinishWriter();

    // Read-only views for callers and tests.
    bool IsStarted() const { return m_bStarted; }
    const std::string& LogDirectory() const { return m_strLogDirectory; }
    const std::string& LogSubdirectory() const { return m_strSubdirectory; }
    const std::string& FilePrefix() const { return m_strFilePrefix; }
    const std::string& CurrentFile() const { return m_strCurrentFile; }
    const std::vector<std::string>& FileNames() const { return m_astrFileNames; }
    uint16_t MaxFiles() const { return m_nMaxFiles; }
    uint32_t MaxFileSize() const { return m_nMaxFileSize; }
    int32_t WriterPriority() const { return m_nWriterPriority; }
    uint32_t WriteInterval() const { return m_nWriteInterval; }
    int32_t LevelThreshold() const { return m_nLevelThreshold; }
    int32_t MessageFormat() const { return m_nMessageFormat; }
    bool IsWriterRunning() const { return m_bWriterRunning; }
    uint32_t LostEntries() const { return m_nLost; }

    // Replaces the clock that stamps entries, headers and notices (tests run on fixed times).
    void SetTimeSource(std::function<platform::LocalTime()> now) { m_now = std::move(now); }
    // Test seam for a failing or hanging disk: called with each text before it is written;
    // false makes that write fail. Set it while no flush runs.
    void SetWriteFaultForTests(std::function<bool(const std::string&)> fault) {
        m_writeFault = std::move(fault);
    }
    // True once Stop gave up waiting for a writer that hangs in a write: the logger must then
    // outlive that writer, so it is never freed.
    bool IsWriterLeftBehind() const { return m_bWriterLeftBehind; }

private:
    void WriterThreadProc();
    // Nothing kept and nothing lost since the last flush.
    bool NothingPending();
    // The writer's sleep while there is nothing to write: until an entry is kept or Stop.
    void WaitForEntry(std::unique_lock<std::mutex>& lock);
    void SignalStop();
    bool TakeOldestEntry(LogEntry* copy);
    static std::string Stamp(const platform::LocalTime& t);

    // Stop event (manual reset) and the writer thread.
    std::mutex m_eventLock;
    std::condition_variable m_eventCond;
    bool m_bStopSignalled = false;
    bool m_bEntryKept = false;              // under the event lock
    std::atomic<bool> m_bWriterIdle{false}; // the writer sleeps until an entry is kept
    std::thread m_writer;
    std::atomic<bool> m_bWriterRunning{false};
    std::atomic<bool> m_bWriterExists{false};

    // The ring: slots 0..999 are used; the last one stays empty.
    LogEntry m_aBuffer[kRingSlots + 1];
    std::mutex m_slotLock; // keeps a slot copy consistent while it is overwritten
    std::atomic<uint32_t> m_nWrite{0};
    std::atomic<uint32_t> m_nRead{0};
    std::atomic<uint32_t> m_nLost{0};
    uint32_t m_nPending = 0; // entries waiting for the file; under the index lock

    // The three locks; every wait on them is limited to 1000 ms.
    std::recursive_timed_mutex m_indexLock;
    std::recursive_timed_mutex m_bufferLock;
    std::recursive_timed_mutex m_fileLock;
    std::mutex m_flushLock; // one flush at a time, so no entry is written twice

    platform::SharedReadFile m_file;
    std::string m_strCurrentFile;
    const std::string m_strSourceLabel = "Source:";
    const std::string m_strTextLabel = "Text:";
    const std::string m_strLevelLabel = "Log Level:";
    std::vector<std::string> m_astrFileNames;
    std::vector<std::string> m_astrFileDates;
    std::string m_strSubdirectory = "LOG";
    std::string m_strLogDirectory;
    std::string m_strFilePrefix = "LogFile";
    std::atomic<int32_t> m_nLevelThreshold{0};
    std::atomic<uint32_t> m_nWriteInterval{10000};
    std::atomic<uint32_t> m_nMaxFileSize{1048576};
    uint16_t m_nMaxFiles = 5;
    std::atomic<bool> m_bKeyEvents{false};
    std::atomic<bool> m_bStandardLevels{true};
    int32_t m_nWriterPriority = -1;
    std::atomic<bool> m_bStarted{false};
    std::atomic<int32_t> m_nMessageFormat{0};

    std::function<platform::LocalTime()> m_now;
    std::function<bool(const std::string&)> m_writeFault;
    std::atomic<bool> m_bWriterLeftBehind{false};
    CErrorLogger* m_pNextLeftBehind = nullptr; // DestroyInstance's list of loggers kept for good
};
