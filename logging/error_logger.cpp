// Placeholder logger that keeps nothing; replaced by the real logger.
#include "logging/error_logger.h"

namespace {
CErrorLogger* g_instance = nullptr;
}

CErrorLogger* CErrorLogger::GetInstance() {
    if (g_instance == nullptr)
        g_instance = new CErrorLogger();
    return g_instance;
}

void CErrorLogger::DestroyInstance() {
    delete g_instance;
    g_instance = nullptr;
}

bool CErrorLogger::Log(const char*, const char*, int) { return false; }

bool CErrorLogger::Initialize(const std::string&, const std::string&, const std::string&, int32_t,
                              uint32_t, int32_t, uint32_t, int32_t, bool, bool) {
    return false;
}
