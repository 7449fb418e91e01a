// The CSI task thread body: the engine over the real link, paced by real time. The local
// profile chooses the pacing once, when the task starts.
#include "csi/csi_task.h"

#include "csi/csi_engine.h"
#include "tools/app_paths.h"

bool CsiFastLoopConfigured() {
    return GetLocalProfileInt("VELMAR", CSI_FAST_LOOP_KEY, 0) != 0;
}

void TaskMain(CsiTaskContext* context) {
    CsiUdpLink link;
    CsiRealSleeper sleeper;
    CsiLinePacer pacer(context->shared != nullptr ? context->shared->queue : nullptr);
    CsiEngine engine(link, sleeper);
    if (CsiFastLoopConfigured())
        engine.UseFastLoop(&pacer);
    else
        engine.UseQuietWait(&pacer);
    engine.Run(context);
}
