// The CSI task thread body: the engine over the real link, paced by real time.
#include "csi/csi_task.h"

#include "csi/csi_engine.h"

void TaskMain(CsiTaskContext* context) {
    CsiUdpLink link;
    CsiRealSleeper sleeper;
    CsiEngine engine(link, sleeper);
    engine.Run(context);
}
