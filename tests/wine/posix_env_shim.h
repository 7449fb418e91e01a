// setenv/unsetenv for the Windows test programs: the MinGW C runtime only has _putenv_s.
#pragma once
#include <cstdlib>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && std::getenv(name) != nullptr)
        return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) {
    // An empty value removes the variable on Windows.
    return _putenv_s(name, "") == 0 ? 0 : -1;
}
