// Test-side SLIP framing, written apart from the product's so that each checks the other. Used by
// the unit tests and by the fuzz targets, so it needs nothing but the standard library.
#pragma once
#include <cstdint>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// One frame: END, the packet with 0xC0 and 0xDB escaped, END.
inline Bytes Frame(const Bytes& packet) {
    Bytes out = {0xC0};
    for (uint8_t b : packet) {
        if (b == 0xC0) {
            out.push_back(0xDB);
            out.push_back(0xDC);
        } else if (b == 0xDB) {
            out.push_back(0xDB);
            out.push_back(0xDD);
        } else {
            out.push_back(b);
        }
    }
    out.push_back(0xC0);
    return out;
}

// The packets of every complete frame on the wire, in order.
inline std::vector<Bytes> Unframe(const Bytes& wire) {
    std::vector<Bytes> frames;
    Bytes cur;
    bool esc = false;
    for (uint8_t b : wire) {
        if (esc) {
            cur.push_back(b == 0xDC ? 0xC0 : b == 0xDD ? 0xDB : b);
            esc = false;
        } else if (b == 0xDB) {
            esc = true;
        } else if (b == 0xC0) {
            if (!cur.empty())
                frames.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(b);
        }
    }
    return frames;
}

} // namespace testing_support
