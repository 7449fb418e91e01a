// Fuzz target: ParseObjFile on arbitrary bytes. The input sits in a buffer of exactly its size,
// so any read past the received bytes is caught by AddressSanitizer. Checked: only the
// documented results, a list exactly on success and with the count it claims, and the same
// answer twice.
#include "csi/obj_file.h"
#include "fuzz/fuzz_support.h"

#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy: the fuzzer's own buffer might be followed by readable bytes.
    std::unique_ptr<uint8_t[]> file(new uint8_t[size == 0 ? 1 : size]);
    if (size > 0)
        std::memcpy(file.get(), data, size);
    ObjectList list;
    uint32_t count = 12345;
    const int result = ParseObjFile(&list, &count, size == 0 ? nullptr : file.get(), size);
    FUZZ_CHECK(result == OBJ_VALID || result == OBJ_MALFORMED || result == OBJ_BAD_FORMAT ||
               result == OBJ_NULL_ARGUMENT || result == OBJ_OUT_OF_MEMORY);
    FUZZ_CHECK((result == OBJ_VALID) == (list != nullptr)); // nothing handed out on failure
    if (result == OBJ_VALID) {
        uint32_t n = 0;
        while (list[n] != nullptr)
            ++n;
        FUZZ_CHECK(n == count);
    }
    ObjectList again;
    uint32_t againCount = 0;
    FUZZ_CHECK(ParseObjFile(&again, &againCount, size == 0 ? nullptr : file.get(), size) == result);
    if (result == OBJ_VALID)
        FUZZ_CHECK(againCount == count);
    return 0;
}
