// Fuzz target: the whole CSI engine in virtual time, fed arbitrary sequences of commands,
// datagrams (raw, shaped like messages, or pieces of real OBJ files) and idle rounds.
// Checked after every step: status words and states only take their documented values, every
// answer's length field is its size; whenever the device is told a file was accepted, a .ECG
// is on disk; every .ECG on disk passes the OBJ check and no .TMP is left; at the end the
// engine gives back its buffers (leaks are left to LeakSanitizer).
#include "csi/csi_config.h"
#include "csi/obj_file.h"
#include "fuzz/fuzz_support.h"
#include "tests/csi/csi_harness.h"
#include "tests/csi/obj_builder.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

bool DocumentedStatus(int32_t s) {
    switch (s) {
    case CSI_STATUS_NONE:
    case CSI_STATUS_RUNNING:
    case CSI_STATUS_FAILURE:
    case CSI_STATUS_NOT_ALLOWED:
    case CSI_STATUS_DONE:
    case CSI_STATUS_NO_CALL:
    case CSI_STATUS_FILE_CONFIRM:
    case CSI_STATUS_CANCELLED:
        return true;
    default:
        return false;
    }
}

// Every .ECG in the destination passes the OBJ check; returns how many there are.
size_t CheckStoredFiles(const std::string& dir) {
    size_t ecg = 0;
    std::error_code ec;
    if (!fs::exists(dir, ec))
        return 0;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string ext = entry.path().extension().string();
        FUZZ_CHECK(ext != ".TMP");
        if (ext != ".ECG")
            continue;
        ++ecg;
        std::ifstream in(entry.path(), std::ios::binary);
        const fuzz::Bytes bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
        ObjectList list;
        uint32_t count = 0;
        FUZZ_CHECK(ParseObjFile(&list, &count, bytes.data(), bytes.size()) == OBJ_VALID);
    }
    return ecg;
}

class Run : public EngineFixtureBase {
public:
    void Check() {
        for (Poster* p : {&server, &waiter, &confirmer})
            FUZZ_CHECK(DocumentedStatus(p->word.load()));
        const uint16_t state = engine->State();
        FUZZ_CHECK(state == SERVER_IDLE || state == SERVER_CONNECTED || state == SERVER_LOGGED ||
                   state == SERVER_TRANSFER);
        const uint16_t sub = engine->Substate();
        FUZZ_CHECK(sub == TRANSFER_NONE || sub == TRANSFER_RECEIVING || sub == TRANSFER_COMPLETE ||
                   sub == TRANSFER_CONFIRM_PENDING);
        bool acceptedNow = false;
        for (; checkedAnswers < link.sent.size(); ++checkedAnswers) {
            const fuzz::Bytes& m = link.sent[checkedAnswers];
            FUZZ_CHECK(m.size() >= CSI_HEADER_SIZE && m.size() <= CSI_AREA_SIZE);
            const Answer a = Parse(m);
            FUZZ_CHECK(a.length == m.size());
            if (a.type == MSG_FILE_STATUS) {
                FUZZ_CHECK(a.word10 == 1 || a.word10 == 2);
                acceptedNow = acceptedNow || a.word10 == 1;
            }
        }
        if (acceptedNow)
            FUZZ_CHECK(CheckStoredFiles(tempDir) >= 1);
    }

    void Deliver(const fuzz::Bytes& datagram) {
        link.inbound.push_back(datagram);
        engine->RunRound();
    }

    Poster& Pick(uint8_t b) {
        switch (b % 3) {
        case 0:
            return server;
        case 1:
            return waiter;
        default:
            return confirmer;
        }
    }

    size_t checkedAnswers = 0;
    fuzz::Bytes file;
    size_t cursor = 0;
};

const size_t kSizes[4] = {28, 300, 1000, 4000};
const uint16_t kTypes[] = {MSG_CONNECT, MSG_DISCONNECT, MSG_LOGIN,       MSG_LOGOUT,
                           MSG_STATUS,  MSG_FILE,       MSG_FILE_STATUS, MSG_REQUEST,
                           MSG_TEXT,    MSG_DATA,       MSG_DATA_LAST,   MSG_FILE_STATUS_QUERY,
                           0x7777};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    Run run;
    for (int step = 0; step < 3000 && !in.Empty(); ++step) {
        const uint8_t op = in.Byte();
        switch (op % 8) {
        case 0: { // a command from the communication task
            const uint8_t b = in.Byte();
            run.Post(run.Pick(b >> 2), 1 + b % 5, (b >> 4) % 3);
            run.Rounds(1);
            break;
        }
        case 1: { // raw datagram
            run.Deliver(in.Take(in.Byte()));
            break;
        }
        case 2: // quiet rounds, long enough to reach the session timers
            run.Rounds(1 + in.Byte() * 2);
            break;
        case 3: { // a message of any type with a fuzzed body
            const uint16_t type = kTypes[in.Byte() % 13];
            const uint8_t how = in.Byte();
            const uint16_t session = (how & 1) ? CSI_DEFAULT_SESSION_CODE : in.Word();
            const uint16_t sequence = (how & 2) ? run.seq++ : in.Word();
            run.Deliver(Msg(type, session, sequence, in.Take(in.Byte())));
            break;
        }
        case 4:
            run.Deliver(Connect(run.seq++, in.Word(), in.Word(), in.Byte() % 5));
            break;
        case 5:
            run.Deliver(Login(run.seq++, (in.Byte() & 1) ? CSI_DEFAULT_SESSION_CODE : 0));
            break;
        case 6: { // announce a real OBJ file, maybe with a fault, maybe with a wrong size
            const uint8_t b = in.Byte();
            run.file = BuildObjFile(kSizes[b % 4], static_cast<ObjFault>((b >> 2) % 12), b);
            run.cursor = 0;
            uint32_t announced = static_cast<uint32_t>(run.file.size());
            if ((b & 0x80) != 0)
                announced = static_cast<uint32_t>(in.Word()) * 7u;
            run.Deliver(FileAnnounce(CSI_DEFAULT_SESSION_CODE, run.seq++, announced, in.Word()));
            break;
        }
        case 7: { // the next piece of that file, sometimes with one byte changed on the way
            if (run.file.empty())
                break;
            const uint8_t b = in.Byte();
            size_t n = 1 + b % 200;
            if (run.cursor >= run.file.size())
                run.cursor = 0; // the device starts over
            n = std::min(n, run.file.size() - run.cursor);
            fuzz::Bytes piece(run.file.begin() + static_cast<long>(run.cursor),
                              run.file.begin() + static_cast<long>(run.cursor + n));
            if ((b & 0x80) != 0 && !piece.empty())
                piece[in.Byte() % piece.size()] ^= static_cast<uint8_t>(1 + in.Byte() % 255);
            const uint16_t sequence = (b & 0x40) ? static_cast<uint16_t>(run.seq - 1) : run.seq++;
            run.cursor += n;
            run.Deliver(Data(CSI_DEFAULT_SESSION_CODE, sequence, piece.data(), piece.size(),
                             run.cursor == run.file.size()));
            break;
        }
        }
        run.Check();
    }
    CheckStoredFiles(run.tempDir);
    run.engine->End();
    FUZZ_CHECK(!run.engine->HoldsFileBuffer());
    FUZZ_CHECK(!run.engine->HoldsObjectList());
    return 0;
}
