// File operations that make a received recording durable: exclusive create, full write, flush
// to stable storage, rename that never replaces an existing file, and a flush of the directory
// entry. Each reports failure by its result only; the caller decides what to log.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/unique_handle.h"

namespace platform {

// A file being made durable; one left open by an early return is closed when it goes away.
struct DurableFile {
    UniqueFile handle;
};

// Creates a new file for writing; fails when a file of that name already exists.
bool DurableCreateExclusive(const std::string& path, DurableFile* file);

// Writes all bytes (short writes are continued); false on any error.
bool DurableWriteAll(DurableFile* file, const uint8_t* data, size_t length);

// Forces the written bytes to stable storage.
bool DurableFlush(DurableFile* file);

// Closes the file; false when the close itself reports an error (a write that failed late).
bool DurableClose(DurableFile* file);

// Renames from → to; fails (and leaves both alone) when "to" already exists. Works on file
// systems without hard links too.
bool DurableRenameNoReplace(const std::string& from, const std::string& to);

// The rename that DurableRenameNoReplace falls back to where the file system can neither link
// nor rename without replacing: a check that "to" is free, then a plain rename. "from" must be a
// file its caller created exclusively (the .TMP); the POSIX implementation says what that
// guarantees. Windows never needs it and renames as DurableRenameNoReplace does.
bool DurableRenameChecked(const std::string& from, const std::string& to);

// Forces the directory's entries (a rename into it) to stable storage. A no-op where the
// platform flushes directory entries with the file system's own journal; a file system that
// cannot flush a directory at all is not a failure.
bool DurableSyncDirectory(const std::string& directory);

// Deletes a file; false when it cannot (or does not exist).
bool DurableDelete(const std::string& path);

} // namespace platform
