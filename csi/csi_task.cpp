// Placeholder engine: answers nothing until the stop flag is set. Replaced by the real engine.
#include "csi/csi_task.h"

#include "platform/clock.h"

void TaskMain(CsiTaskContext* context) {
    while (context->stop.load() == 0)
        platform::SleepMs(250);
}
