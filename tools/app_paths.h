// The application data directory and the local profile file "LOC_WIN.INI" in it.
// The directory is looked up once per process and cached; the look-up changes the process's
// current directory. Not thread-safe: the process reads its profile once, on the main thread,
// while the logger is set up.
#pragma once
#include <cstdint>

// Fills buffer (size bytes, terminated) with the application data directory: the configured
// "VelmarAppDataPath" of section "VELMAR" in the machine profile (created when missing),
// else the VELMAR folder under %ALLUSERSPROFILE%, else the temporary directory.
// Returns the length of the path.
int GetAppDataPath(char* buffer, int size);

// Full path of a local profile file in the application data directory; fileName null means
// "LOC_WIN.INI", and a name that already holds a path separator is returned unchanged. The
// result lives in a shared buffer that the next call overwrites.
const char* LocalProfilePath(const char* fileName = nullptr);

// The integer key of the section in the local profile file, or defaultValue.
uint32_t GetLocalProfileInt(const char* section, const char* key, uint32_t defaultValue,
                            const char* fileName = nullptr);

// Forgets the cached directory so that the next request looks it up again (tests only).
void ResetAppDataPathCache();
