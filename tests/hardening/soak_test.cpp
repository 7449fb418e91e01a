// Soak in virtual time: ten thousand calls through one engine, with every kind of good and bad
// device behaviour mixed, while the test plays the communication task. Over all calls: every
// file the device was told was accepted is on disk byte for byte as exactly one .ECG, nothing
// else is, the engine keeps serving, and heap and open descriptors stay flat.
#include "csi/csi_config.h"
#include "csi/csi_harness.h"
#include "csi/obj_builder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <malloc.h>
#include <map>
#include <random>

namespace fs = std::filesystem;

namespace {

size_t OpenDescriptors() {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
        (void)e;
        ++n;
    }
    return n;
}

class Soak : public ::testing::Test, public EngineFixtureBase {
protected:
    enum Kind { Good, Faulty, Silent, Garbage, LogoutMidway, Repeats, HangUpEarly, KindCount };

    // Sends the file in pieces of 128 bytes; with upTo short of the size, the last piece is
    // never sent, so the file stays incomplete.
    void SendPieces(const Bytes& file, size_t upTo, bool repeatEach) {
        for (size_t at = 0; at < file.size(); at += 128) {
            const size_t n = std::min<size_t>(128, file.size() - at);
            if (upTo < file.size() && at + n > upTo)
                return;
            const bool last = at + n == file.size();
            const Bytes piece = Data(CSI_DEFAULT_SESSION_CODE, seq, file.data() + at, n, last);
            Send(piece);
            if (repeatEach && !last)
                Send(piece); // the answer got lost on the way back: the device sends it again
            ++seq;
        }
    }

    // The communication task's part after the file: confirm what was stored.
    void ConfirmAsTheCommunicationTask() {
        Rounds(1);
        const int32_t w = waiter.word.load();
        if (w == CSI_STATUS_DONE || w == CSI_STATUS_FILE_CONFIRM) {
            Post(confirmer, 4, csi_get_file_stored() ? 1 : 0);
            Rounds(1);
        }
    }

    // Asks for the file status the way a device does, once more if no answer came.
    int QueryFileStatus() {
        for (int attempt = 0; attempt < 2; ++attempt) {
            for (const Bytes& m :
                 Send(Msg(MSG_FILE_STATUS_QUERY, CSI_DEFAULT_SESSION_CODE, seq++))) {
                const Answer a = Parse(m);
                if (a.type == MSG_FILE_STATUS)
                    return a.word10;
            }
        }
        return 0;
    }

    void EndCall() {
        Send(Msg(MSG_LOGOUT, CSI_DEFAULT_SESSION_CODE, seq++));
        Send(Msg(MSG_DISCONNECT, CSI_DEFAULT_SESSION_CODE, seq++, {0, 0}));
        for (int i = 0; i < 1000 && engine->State() != SERVER_IDLE; ++i)
            Rounds(1);
    }

    // One call of the given kind; the file sent is remembered when the device was told "1".
    void Call(Kind kind, uint32_t n) {
        if (waiter.word.load() != CSI_STATUS_RUNNING)
            Post(waiter, 3);
        Send(Connect(seq++, 1, 2, 3));
        if (kind == HangUpEarly) {
            Send(Msg(MSG_DISCONNECT, 0, seq++, {0, 0}));
            EndCall();
            return;
        }
        Send(Login(seq++));
        const size_t size = 28 + (n * 7919u) % 6000;
        const ObjFault fault = kind == Faulty ? static_cast<ObjFault>(1 + n % 11) : ObjFault::None;
        const Bytes file = BuildObjFile(size, fault, n);
        Send(FileAnnounce(CSI_DEFAULT_SESSION_CODE, seq++, static_cast<uint32_t>(size),
                          static_cast<uint16_t>(n)));
        if (kind == Garbage) {
            for (int i = 0; i < 4; ++i) {
                Bytes junk(random() % 200);
                for (auto& b : junk)
                    b = static_cast<uint8_t>(rng());
                Send(junk);
                Send(Msg(MSG_DATA, static_cast<uint16_t>(rng()), seq, junk)); // wrong session
            }
        }
        if (kind == Silent || kind == LogoutMidway) {
            SendPieces(file, file.size() / 2, false);
            if (kind == Silent)
                Rounds(300); // the device went quiet: the session times out
            EndCall();
            return;
        }
        SendPieces(file, file.size(), kind == Repeats);
        ConfirmAsTheCommunicationTask();
        const int status = QueryFileStatus();
        if (kind == Faulty)
            EXPECT_EQ(status, 2) << "call " << n << " fault " << static_cast<int>(fault);
        else
            EXPECT_EQ(status, 1) << "call " << n << " kind " << kind;
        if (status == 1)
            ++accepted[file];
        EndCall();
    }

    // Every .ECG is one of the accepted files, each accepted file exactly once; then empties
    // the destination so the disk stays small.
    void CheckAndClearDestination() {
        std::map<Bytes, int> onDisk;
        if (fs::exists(tempDir)) {
            for (const auto& e : fs::directory_iterator(tempDir)) {
                ASSERT_EQ(e.path().extension(), ".ECG") << e.path();
                std::ifstream in(e.path(), std::ios::binary);
                ++onDisk[Bytes(std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>())];
                in.close();
                fs::remove(e.path());
            }
        }
        // Compared by size and count first so that a failure reads in one line.
        std::map<size_t, int> diskSizes, acceptedSizes;
        for (const auto& f : onDisk)
            diskSizes[f.first.size()] += f.second;
        for (const auto& f : accepted)
            acceptedSizes[f.first.size()] += f.second;
        EXPECT_EQ(diskSizes, acceptedSizes);
        EXPECT_TRUE(onDisk == accepted) << "same sizes, different bytes";
        totalAccepted += accepted.size();
        accepted.clear();
    }

    long random() { return static_cast<long>(rng() & 0x7FFFFFFF); }

    std::mt19937 rng{20260};
    std::map<Bytes, int> accepted;
    size_t totalAccepted = 0;
};

TEST_F(Soak, TenThousandMixedCallsLoseNothingAndStayFlat) {
    StartServer();
    ASSERT_EQ(server.word.load(), CSI_STATUS_DONE);
    constexpr uint32_t kCalls = 10000;
    // Containers of the harness reach their final capacity within the first few thousand calls.
    constexpr uint32_t kWarmUp = 3000;
    size_t heapAfterWarmUp = 0, descriptorsAfterWarmUp = 0;
    for (uint32_t n = 0; n < kCalls; ++n) {
        Call(static_cast<Kind>(n % KindCount), n);
        if (n % 100 == 99) {
            CheckAndClearDestination();
            link.sent.clear();
            logs.clear();
            sleeper.sleeps.clear();
        }
        if (n + 1 == kWarmUp) {
            heapAfterWarmUp = mallinfo2().uordblks;
            descriptorsAfterWarmUp = OpenDescriptors();
        }
        if (HasFailure())
            FAIL() << "stopped at call " << n;
    }
    CheckAndClearDestination();
    // Good, garbage-mixed and repeated-piece calls end with the file accepted.
    size_t expectedAccepted = 0;
    for (uint32_t n = 0; n < kCalls; ++n) {
        const Kind k = static_cast<Kind>(n % KindCount);
        expectedAccepted += k == Good || k == Garbage || k == Repeats;
    }
    EXPECT_EQ(totalAccepted, expectedAccepted);
    EXPECT_EQ(OpenDescriptors(), descriptorsAfterWarmUp);
    // One leaked block in every seventh call would add up to over 30 kilobytes here.
    EXPECT_LT(static_cast<long>(mallinfo2().uordblks) - static_cast<long>(heapAfterWarmUp),
              8 * 1024);
}

} // namespace
