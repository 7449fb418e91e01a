// Line control records over the COM line table. Never logs: SLIP reports attach failures.
#include "link/line.h"

#include "link/v24.h"

namespace {

struct LineRecord {
    bool readEnabled = false;
    bool writeEnabled = false;
    bool binary = false;
    uint32_t index = 0;
};

LineRecord g_lines[V24_LINES];

bool ValidIndex(int line) {
    return line >= 0 && line < V24_LINES;
}

} // namespace

int line_baud_index(int baudCode) {
    switch (baudCode) {
    case 3:
        return 0;
    case 6:
        return 1;
    case 12:
        return 2;
    case 24:
        return 3;
    case 48:
        return 4;
    case 96:
        return 5;
    case 192:
        return 6;
    case 384:
        return 7;
    case 560:
        return 8;
    case 576:
        return 9;
    case 1152:
        return 10;
    case 1280:
        return 11;
    default:
        return -1;
    }
}

int line_open(int comNumber, int baudCode, int /*dataBits*/, int /*parity*/, int /*stopBits*/,
              const char* options) {
    if (comNumber < 1 || comNumber > 255)
        return -1;
    const int line = comNumber - 1;
    LineRecord& rec = g_lines[line];
    rec.index = static_cast<uint32_t>(line);
    rec.readEnabled = false;
    rec.writeEnabled = false;
    for (const char* p = options; p != nullptr && *p != '\0'; ++p) {
        if (*p == 'e')
            rec.binary = true;
        else if (*p == 'r')
            rec.readEnabled = true;
        else if (*p == 'w')
            rec.writeEnabled = true;
    }
    const int baudIndex = line_baud_index(baudCode);
    if (baudIndex >= 0 && (rec.readEnabled || rec.writeEnabled) &&
        v24_open(line, V24_PARITY_NONE, V24_DATA_BITS_8, V24_STOP_BITS_1, baudIndex,
                 V24_HANDSHAKE_NONE) == 0)
        return line;
    rec.readEnabled = false;
    rec.writeEnabled = false;
    return -1;
}

int line_read(int line, uint8_t* buffer, int count, uint32_t timeoutMs, int* bytesRead) {
    if (!ValidIndex(line) || !g_lines[line].readEnabled)
        return -1;
    return v24_read_block(line, timeoutMs, count, buffer, bytesRead);
}

int line_write(int line, const uint8_t* buffer, uint32_t timeoutMs, int length) {
    if (!ValidIndex(line))
        return -1;
    return v24_write_block(line, timeoutMs, buffer, length);
}

int line_close(int line) {
    if (!ValidIndex(line))
        return -1;
    LineRecord& rec = g_lines[line];
    if (rec.readEnabled || rec.writeEnabled) {
        v24_close(line);
        rec.readEnabled = false;
        rec.writeEnabled = false;
    }
    return 0;
}
