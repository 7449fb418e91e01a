// Checks a received OBJ file (header, directory, every object) and copies its objects.
// Reads never go past the number of bytes received, whatever the file claims.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

enum ObjParseResult : int {
    OBJ_VALID = 0,
    OBJ_MALFORMED = 1,
    OBJ_BAD_FORMAT = 2,
    OBJ_NULL_ARGUMENT = 3,
    OBJ_OUT_OF_MEMORY = -34,
};

// Frees every object copy and the list itself; null is allowed.
void FreeObjectList(uint8_t** list);

struct ObjectListDeleter {
    void operator()(uint8_t** list) const { FreeObjectList(list); }
};
// A null-terminated list of heap copies of a file's objects, with the copies it points to.
using ObjectList = std::unique_ptr<uint8_t*[], ObjectListDeleter>;

// On OBJ_VALID, *listOut receives the list of the file's objects and *countOut their number. On
// any other result nothing is handed out.
int ParseObjFile(ObjectList* listOut, uint32_t* countOut, const uint8_t* file, size_t received);
