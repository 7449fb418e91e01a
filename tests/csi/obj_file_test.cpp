// OBJ file check against files from the test builder: valid files of many sizes, each kind
// of fault, truncation, and the object copies handed out.
#include "csi/obj_file.h"
#include "obj_builder.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

int Parse(const std::vector<uint8_t>& f, size_t received, uint32_t* count = nullptr,
          std::vector<std::vector<uint8_t>>* copies = nullptr) {
    uint8_t** list = nullptr;
    uint32_t n = 0;
    const int rc = ParseObjFile(&list, &n, f.data(), received);
    if (rc == OBJ_VALID) {
        EXPECT_NE(list, nullptr);
        for (uint8_t** e = list; *e; ++e) {
            const uint16_t length = static_cast<uint16_t>((*e)[4] | ((*e)[5] << 8));
            if (copies)
                copies->emplace_back(*e, *e + length);
        }
        FreeObjectList(list);
    } else {
        EXPECT_EQ(list, nullptr) << "nothing handed out on failure";
    }
    if (count)
        *count = n;
    return rc;
}

TEST(ObjFile, ValidFilesOfEverySizeClassPass) {
    for (size_t size : {28, 29, 100, 128, 1000, 60019, 60021, 120050, 349999, 350000}) {
        SCOPED_TRACE(size);
        const auto f = BuildObjFile(size, ObjFault::None, static_cast<uint32_t>(size));
        ASSERT_EQ(f.size(), size);
        uint32_t count = 0;
        EXPECT_EQ(Parse(f, f.size(), &count), OBJ_VALID);
        EXPECT_GE(count, 1u);
    }
}

TEST(ObjFile, ObjectsAreCopiedInDirectoryOrder) {
    const auto f = BuildObjFile(200000);
    std::vector<std::vector<uint8_t>> copies;
    uint32_t count = 0;
    ASSERT_EQ(Parse(f, f.size(), &count, &copies), OBJ_VALID);
    ASSERT_EQ(copies.size(), count);
    ASSERT_GE(count, 4u);
    size_t at = 8 + 12 * count;
    for (const auto& c : copies) {
        EXPECT_EQ(std::memcmp(c.data(), f.data() + at, c.size()), 0);
        at += c.size();
    }
    EXPECT_EQ(at, f.size());
}

TEST(ObjFile, EmptySlotsAreSkipped) {
    const auto f = BuildObjFileWithEmptySlots(300, 3);
    uint32_t count = 0;
    EXPECT_EQ(Parse(f, f.size(), &count), OBJ_VALID);
    EXPECT_EQ(count, 1u);
}

TEST(ObjFile, EachKindOfFaultIsRejected) {
    struct Case {
        ObjFault fault;
        int expected;
    };
    const Case cases[] = {
        {ObjFault::Format, OBJ_BAD_FORMAT},           {ObjFault::HeaderChecksum, OBJ_MALFORMED},
        {ObjFault::DirectoryEndBelow, OBJ_MALFORMED}, {ObjFault::DirectoryEndBeyond, OBJ_MALFORMED},
        {ObjFault::SlotCopyLength, OBJ_MALFORMED},    {ObjFault::KindZero, OBJ_MALFORMED},
        {ObjFault::ObjectChecksum, OBJ_MALFORMED},    {ObjFault::ObjectOutside, OBJ_MALFORMED},
        {ObjFault::ObjectTooLong, OBJ_MALFORMED},     {ObjFault::IdMismatch, OBJ_MALFORMED},
        {ObjFault::OnlyEmptySlots, OBJ_MALFORMED},
    };
    for (const Case& c : cases) {
        for (size_t size : {200, 130000}) {
            SCOPED_TRACE(static_cast<int>(c.fault));
            SCOPED_TRACE(size);
            const auto f = BuildObjFile(size, c.fault);
            EXPECT_EQ(Parse(f, f.size()), c.expected);
        }
    }
}

TEST(ObjFile, EveryTruncationOfAValidFileIsRejectedWithoutReadingPastIt) {
    const auto f = BuildObjFile(300);
    for (size_t received = 0; received < f.size(); ++received) {
        SCOPED_TRACE(received);
        // A copy of exactly the received bytes lets the address sanitizer or valgrind see reads.
        std::vector<uint8_t> part(f.begin(), f.begin() + static_cast<long>(received));
        part.reserve(part.size() + 1);
        uint8_t** list = nullptr;
        uint32_t n = 0;
        const uint8_t* data = part.empty() ? f.data() : part.data();
        const int rc = ParseObjFile(&list, &n, data, received);
        EXPECT_NE(rc, OBJ_VALID);
    }
}

TEST(ObjFile, NullArgumentsGiveThree) {
    const auto f = BuildObjFile(100);
    uint8_t** list = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(ParseObjFile(nullptr, &n, f.data(), f.size()), OBJ_NULL_ARGUMENT);
    EXPECT_EQ(ParseObjFile(&list, nullptr, f.data(), f.size()), OBJ_NULL_ARGUMENT);
    EXPECT_EQ(ParseObjFile(&list, &n, nullptr, f.size()), OBJ_NULL_ARGUMENT);
}

TEST(ObjFile, TrailingBytesAfterTheObjectsAreAllowed) {
    auto f = BuildObjFile(100);
    f.resize(150, 0xEE);
    EXPECT_EQ(Parse(f, f.size()), OBJ_VALID);
}

} // namespace
