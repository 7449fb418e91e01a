// OBJ file check. The file is untrusted device input: every offset and length is tested against
// the received byte count before it is used, in 64-bit arithmetic so that no sum can wrap.
#include "csi/obj_file.h"

#include "csi/csi_message.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr size_t kHeaderSize = 8;
constexpr size_t kSlotSize = 12;
constexpr size_t kObjectHeaderSize = 8;

bool IsEmptySlot(uint16_t id) {
    return id == 0 || id == 0xFFFF;
}

uint8_t XorOf(const uint8_t* begin, size_t count) {
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum ^= begin[i];
    return sum;
}

// True when the object a slot points at lies in the file and agrees with its slot.
bool ObjectMatchesSlot(const uint8_t* file, size_t received, const uint8_t* slot) {
    const uint64_t offset = CsiGet32(slot, 8);
    if (offset + kObjectHeaderSize > received)
        return false;
    const uint8_t* object = file + offset;
    const uint16_t length = CsiGet16(object, 4);
    if (length < kObjectHeaderSize || offset + length > received)
        return false;
    if (std::memcmp(object + 2, slot + 2, 6) != 0)
        return false;
    if (CsiGet16(object, 0) != CsiGet16(slot, 0))
        return false;
    if (object[2] == 0)
        return false;
    return XorOf(object + kObjectHeaderSize, length - kObjectHeaderSize) == object[6];
}

} // namespace

void FreeObjectList(uint8_t** list) {
    if (!list)
        return;
    for (uint8_t** entry = list; *entry; ++entry)
        std::free(*entry);
    std::free(list);
}

int ParseObjFile(ObjectList* listOut, uint32_t* countOut, const uint8_t* file, size_t received) {
    if (!listOut || !countOut || !file)
        return OBJ_NULL_ARGUMENT;
    if (received < 2)
        return OBJ_MALFORMED;
    if (CsiGet16(file, 0) != 1)
        return OBJ_BAD_FORMAT;
    if (received < kHeaderSize)
        return OBJ_MALFORMED;
    const size_t directoryEnd = CsiGet16(file, 4);
    if (directoryEnd < kHeaderSize || directoryEnd > received)
        return OBJ_MALFORMED;
    if (XorOf(file + kHeaderSize, directoryEnd - kHeaderSize) != file[6])
        return OBJ_MALFORMED;

    const size_t slots = (directoryEnd - kHeaderSize) / kSlotSize;
    uint32_t count = 0;
    for (size_t i = 0; i < slots; ++i)
        if (!IsEmptySlot(CsiGet16(file + kHeaderSize + i * kSlotSize, 0)))
            ++count;

    ObjectList list(static_cast<uint8_t**>(std::calloc(count + 1, sizeof(uint8_t*))));
    if (!list)
        return OBJ_OUT_OF_MEMORY;

    int result = count == 0 ? OBJ_MALFORMED : OBJ_VALID;
    uint32_t copied = 0;
    for (size_t i = 0; i < slots && result != OBJ_MALFORMED; ++i) {
        const uint8_t* slot = file + kHeaderSize + i * kSlotSize;
        if (IsEmptySlot(CsiGet16(slot, 0)))
            continue;
        if (!ObjectMatchesSlot(file, received, slot)) {
            result = OBJ_MALFORMED;
            break;
        }
        const uint8_t* object = file + CsiGet32(slot, 8);
        const uint16_t length = CsiGet16(object, 4);
        uint8_t* copy = static_cast<uint8_t*>(std::malloc(length));
        if (!copy) {
            // A later object that copies fine clears this again, as the device protocol has it.
            result = OBJ_OUT_OF_MEMORY;
            continue;
        }
        std::memcpy(copy, object, length);
        list[copied++] = copy;
        result = OBJ_VALID;
    }

    if (result != OBJ_VALID)
        return result;
    *listOut = std::move(list);
    *countOut = count;
    return OBJ_VALID;
}
