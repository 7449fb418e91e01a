// Entry point of ecgcomm: wires the real front-ends, control pipe and end-event thread into
// the process entry. Nothing else belongs here; everything testable lives in the library.
#include "comm/csi_modem_comm.h"
#include "comm/csi_serial_comm.h"
#include "platform/stop_request.h"
#include "server/cmn_pipe.h"
#include "server/process_entry.h"
#include "server/process_state.h"
#include "tools/unique_nothrow.h"

#include <memory>

int main(int argc, char** argv) {
    // First, before any thread exists: signals and console events are recorded from now on.
    platform::StopRequestsInstall();
    EntrySeams seams;
    seams.makeFrontEnd = [](const CommandLine& cl, bool useModem) -> std::unique_ptr<CCSIComm> {
        if (useModem)
            return MakeUniqueNoThrow<CCSIModemComm>(cl.comPort, cl.baudCode, cl.directory,
                                                    cl.initString, cl.hangupPrefix,
                                                    cl.hangupSuffix);
        return MakeUniqueNoThrow<CCSISerialComm>(cl.comPort, cl.baudCode, cl.directory);
    };
    seams.makePipe = []() -> std::unique_ptr<CCmnPipe> { return MakeUniqueNoThrow<CCmnPipe>(); };
    seams.openPipe = [](CCmnPipe& pipe, const std::string& name) { return pipe.Open(name, false); };
    seams.endEventProcedure = EndEventThread;
    seams.waitStopRequest = platform::StopRequestWait;
    seams.releaseStopRequests = platform::StopRequestsRelease;
    return RunProcessEntry(argc, argv, seams);
}
