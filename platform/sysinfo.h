// Facts about the machine and the process environment: computer name, environment expansion
// and the temporary directory. Nothing here fails loudly: a failed query gives an empty or
// unchanged string, and the caller decides.
#pragma once
#include <string>

namespace platform {

// The machine's short name for log headers. Windows: the NetBIOS name (GetComputerNameA).
// Linux: the host name up to its first dot, upper-cased and cut to 15 characters, which is
// what the NetBIOS name of the same machine would look like. Empty when the query fails.
std::string ComputerName();

// Replaces every %NAME% whose variable is set by its value; an unset variable stays as written,
// so "%ALLUSERSPROFILE%" without that variable is returned unchanged.
std::string ExpandEnvironment(const std::string& text);

// The directory for temporary files, ending with the path separator. Linux: TMPDIR, else /tmp/.
std::string TempDirectory();

// The value of an environment variable, or empty when it is unset.
std::string EnvironmentValue(const std::string& name);

} // namespace platform
