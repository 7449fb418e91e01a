// Directory and path services the tools need: attributes, wildcard match, current directory.
#pragma once
#include <string>

namespace platform {

// The path separator of this system: '\\' on Windows, '/' elsewhere.
char PathSeparator();

// True when the path names an existing file or directory (GetFileAttributes semantics).
bool PathHasAttributes(const std::string& path);

// True when the path, which may hold the wildcards * and ?, matches at least one entry
// (FindFirstFile semantics; a directory counts).
bool AnyEntryMatches(const std::string& pattern);

// Changes the process's current directory; false when it cannot.
bool ChangeDirectory(const std::string& path);

// Creates one directory level; false when it cannot (it may already exist).
bool MakeDirectory(const std::string& path);

// The process's current directory, without a trailing separator.
std::string CurrentDirectory();

// The path made absolute against the current directory (unchanged when it already is).
std::string AbsolutePath(const std::string& path);

} // namespace platform
