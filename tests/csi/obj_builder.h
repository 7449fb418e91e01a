// Builds OBJ files for tests: valid files of any size from 28 to 350,000 bytes, and files
// with exactly one kind of fault each. Written from the file layout, independently of the
// parser it is used to test.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

enum class ObjFault {
    None,
    Format,             // format word is 2
    HeaderChecksum,     // header checksum byte off by one bit
    DirectoryEndBelow,  // directory end 6
    DirectoryEndBeyond, // directory end past the end of the file
    SlotCopyLength,     // a slot's copy of the object length differs from the object
    KindZero,           // an object (and its slot copy) has kind 0
    ObjectChecksum,     // one data byte of an object changed after its checksum was set
    ObjectOutside,      // a slot points past the end of the file
    ObjectTooLong,      // an object's length reaches past the end of the file
    IdMismatch,         // an object's id differs from its slot's id
    OnlyEmptySlots,     // every slot id is 0 or 0xFFFF
};

// A file of exactly totalSize bytes (at least 28) with the given fault. Object data is a
// deterministic byte pattern from seed that includes the SLIP escape bytes and 0x11/0x13.
std::vector<uint8_t> BuildObjFile(size_t totalSize, ObjFault fault = ObjFault::None,
                                  uint32_t seed = 1);

// Extra empty slots (id 0 and 0xFFFF) in front of the objects, for directory-walk tests.
std::vector<uint8_t> BuildObjFileWithEmptySlots(size_t totalSize, int emptySlots,
                                                uint32_t seed = 1);
