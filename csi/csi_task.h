// The CSI task engine's thread body and the context the communication task hands it.
#pragma once
#include "csi/csi_queue.h"

#include <atomic>
#include <cstdint>

// The block of three pointers the poster creates before the thread starts. The poster owns the
// block and what it points to, and frees them only after the engine thread has ended.
struct CsiSharedBlock {
    uint16_t* stationId = nullptr; // created 0, never set by this system
    uint8_t* cell = nullptr;       // not used by the engine
    CCSIQueue* queue = nullptr;
};

struct CsiTaskContext {
    std::atomic<uint8_t> stop{0};     // the loop ends when this becomes non-zero
    CsiSharedBlock* shared = nullptr; // the poster's, see above
};

// The integer key of section "VELMAR" in the local profile that selects the engine's pacing:
// 0 (or missing) the classic 250 ms round, any other value the fast loop.
constexpr const char* CSI_FAST_LOOP_KEY = "CSI_FastLoop";
bool CsiFastLoopConfigured();

// Runs the engine loop until context->stop is set; real time, real link.
void TaskMain(CsiTaskContext* context);
