// Writes a received, checked file into the destination directory as a uniquely named .ECG
// and records the outcome in the file-stored flag. Runs only on the engine thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Stores the bytes unchanged. The file-stored flag becomes false at once and true only when the
// complete file is on stable storage under its .ECG name.
void StoreFile(const uint8_t* data, size_t length);

// Test seam: replaces the time-stamped base-name source (empty function restores it).
void SetStorageNameSourceForTests(std::function<std::string()> source);
