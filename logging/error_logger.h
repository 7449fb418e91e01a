// The process-wide logger. (Placeholder interface: the full logger replaces this file; the
// signatures of GetInstance, DestroyInstance, Log and Initialize stay as they are here.)
#pragma once
#include <cstdint>
#include <string>

class CErrorLogger {
public:
    static CErrorLogger* GetInstance();
    static void DestroyInstance();

    // True when the message was kept. Callable from any thread.
    bool Log(const char* source, const char* text, int level);

    bool Initialize(const std::string& logDirectory, const std::string& subdirectory,
                    const std::string& filePrefix, int32_t maxFiles, uint32_t maxFileSize,
                    int32_t writerPriority, uint32_t writeInterval, int32_t levelThreshold,
                    bool standardLevels, bool keyEvents);

private:
    CErrorLogger() = default;
    bool m_bStarted = false;
};
