// OBJ files for tests, written from the file layout apart from the parser they test.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
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

// A file of exactly totalSize bytes (at least 28) with the given fault: an 8-byte header, a
// directory of 12-byte slots (empty ones first if asked), objects of at most 60,000 bytes back
// to back, their data a pattern from seed that holds the SLIP escape bytes and 0x11/0x13.
namespace obj_builder_detail {

// Little-endian, `bytes` long.
inline void Put(std::vector<uint8_t>& f, size_t at, uint32_t v, int bytes = 2) {
    for (int i = 0; i < bytes; ++i)
        f[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint8_t Xor(const std::vector<uint8_t>& f, size_t from, size_t to) {
    uint8_t x = 0;
    for (size_t i = from; i < to; ++i)
        x ^= f[i];
    return x;
}

inline uint8_t PatternByte(uint32_t& state) {
    static const uint8_t awkward[] = {0xC0, 0xDB, 0xDC, 0xDD, 0x11, 0x13, 0x0A, 0x0D, 0xFF, 0x00};
    state = state * 1103515245u + 12345u;
    const uint32_t r = state >> 16;
    return (r % 7 == 0) ? awkward[(r >> 3) % 10] : static_cast<uint8_t>(r);
}

inline std::vector<uint8_t> Build(size_t totalSize, ObjFault fault, uint32_t seed, int emptySlots) {
    constexpr size_t kMaxObject = 60000;
    if (totalSize < 28 + 12 * static_cast<size_t>(emptySlots))
        throw std::invalid_argument("OBJ file too small");
    size_t objects = 1;
    while (totalSize - 8 - 12 * (objects + emptySlots) > objects * kMaxObject)
        ++objects;
    const size_t slots = objects + static_cast<size_t>(emptySlots);
    const size_t directoryEnd = 8 + 12 * slots;
    const size_t objectBytes = totalSize - directoryEnd;
    std::vector<uint8_t> f(totalSize, 0);
    Put(f, 0, fault == ObjFault::Format ? 2 : 1);
    Put(f, 2, 0x1234); // not examined by the receiver
    Put(f, 4, static_cast<uint16_t>(directoryEnd));
    uint32_t state = seed;
    size_t offset = directoryEnd;
    for (size_t i = 0; i < slots; ++i) {
        const size_t slot = 8 + 12 * i;
        if (static_cast<int>(i) < emptySlots) {
            Put(f, slot, (i % 2) ? 0xFFFF : 0);
            continue;
        }
        const size_t index = i - static_cast<size_t>(emptySlots);
        size_t length = objectBytes / objects;
        if (index == objects - 1)
            length = objectBytes - length * (objects - 1);
        const uint16_t id = static_cast<uint16_t>(0x100 + index);
        Put(f, offset, id);
        f[offset + 2] = static_cast<uint8_t>(1 + index % 200); // kind
        f[offset + 3] = 0x5A;
        Put(f, offset + 4, static_cast<uint16_t>(length));
        f[offset + 7] = 0xA5;
        for (size_t b = 8; b < length; ++b)
            f[offset + b] = PatternByte(state);
        f[offset + 6] = Xor(f, offset + 8, offset + length);
        Put(f, slot, id);
        std::copy(f.begin() + offset + 2, f.begin() + offset + 8, f.begin() + slot + 2);
        Put(f, slot + 8, static_cast<uint32_t>(offset), 4);
        offset += length;
    }

    // Faults in the last object, so that earlier objects pass and the walk must reach it.
    const size_t lastSlot = 8 + 12 * (slots - 1);
    const size_t lastObject =
        f[lastSlot + 8] | (f[lastSlot + 9] << 8) | (static_cast<size_t>(f[lastSlot + 10]) << 16);
    const uint32_t longer = static_cast<uint32_t>(totalSize - lastObject + 1);
    // clang-format off
    switch (fault) {
    case ObjFault::SlotCopyLength: f[lastSlot + 4] ^= 0x01; break;
    case ObjFault::KindZero: f[lastObject + 2] = f[lastSlot + 2] = 0; break;
    case ObjFault::ObjectChecksum: f[totalSize - 1] ^= 0x40; break;
    case ObjFault::ObjectOutside: Put(f, lastSlot + 8, static_cast<uint32_t>(totalSize), 4); break;
    case ObjFault::ObjectTooLong: Put(f, lastObject + 4, longer), Put(f, lastSlot + 4, longer); break;
    case ObjFault::IdMismatch: Put(f, lastObject, 0x7777); break;
    case ObjFault::OnlyEmptySlots:
        for (size_t i = 0; i < slots; ++i)
            Put(f, 8 + 12 * i, (i % 2) ? 0xFFFF : 0);
        break;
    default: break;
    }
    // clang-format on
    f[6] = Xor(f, 8, directoryEnd);

    // Header faults come after the checksum so that they are the only thing wrong.
    if (fault == ObjFault::HeaderChecksum)
        f[6] ^= 0x01;
    if (fault == ObjFault::DirectoryEndBelow)
        Put(f, 4, 6);
    if (fault == ObjFault::DirectoryEndBeyond)
        Put(f, 4, static_cast<uint16_t>(std::min<size_t>(totalSize + 12, 0xFFFF)));
    return f;
}

} // namespace obj_builder_detail

inline std::vector<uint8_t> BuildObjFile(size_t totalSize, ObjFault fault = ObjFault::None,
                                         uint32_t seed = 1) {
    return obj_builder_detail::Build(totalSize, fault, seed, 0);
}

inline std::vector<uint8_t> BuildObjFileWithEmptySlots(size_t totalSize, int emptySlots,
                                                       uint32_t seed = 1) {
    return obj_builder_detail::Build(totalSize, ObjFault::None, seed, emptySlots);
}
