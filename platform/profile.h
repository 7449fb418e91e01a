// Reading the two kinds of profile (INI) files: the machine-wide Windows profile and private
// profile files named by path. Only reads; the process never writes a profile.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

// A string from the machine-wide profile. Windows: WIN.INI through GetProfileStringA.
// Linux: the INI file named by the environment variable ECGCOMM_WIN_INI, or
// /etc/ecgcomm/win.ini when that variable is unset or empty. A missing file, section or key,
// or an empty value, gives the default.
std::string ProfileString(const std::string& section, const std::string& key,
                          const std::string& defaultValue);

// Where the machine-wide profile lives (see ProfileString).
std::string ProfileLocation();

// An integer from a private profile file (GetPrivateProfileIntA semantics): the leading
// decimal digits of the value, after an optional sign ("1x" is 1, "0x1" is 0); a missing file,
// section or key, or a value without digits, gives the default.
uint32_t PrivateProfileInt(const std::string& section, const std::string& key,
                           uint32_t defaultValue, const std::string& path);

// A string from a private profile file, with the same look-up rules as ProfileString.
std::string PrivateProfileString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue, const std::string& path);

} // namespace platform
