// setenv/unsetenv for the Windows test programs. Several shared test helpers point the process
// at test folders through the environment; the MinGW C runtime only has _putenv_s, which has
// the same effect on this process and on the children it starts.
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
