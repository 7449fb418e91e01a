// Mixed good and bad calls through one engine: nothing lost, doubled or changed, nothing leaked.
#include "csi/csi_config.h"
#include "csi/csi_harness.h"
#include "csi/obj_builder.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <map>
#include <random>

namespace {

constexpr uint16_t S = CSI_DEFAULT_SESSION_CODE;

class Calls : public ::testing::Test, public EngineFixtureBase {
protected:
    enum Kind { Good, Faulty, Silent, Garbage, LogoutMidway, Repeats, HangUpEarly, KindCount };

    void Call(Kind kind, uint32_t n) {
        if (waiter.word.load() != CSI_STATUS_RUNNING)
            Post(waiter, 3);
        Send(Connect(seq++));
        if (kind != HangUpEarly) {
            Send(Login(seq++));
            const Bytes file = BuildObjFile(
                28 + (n * 7919u) % 6000, kind == Faulty ? ObjFault(1 + n % 11) : ObjFault::None, n);
            Send(FileAnnounce(S, seq++, static_cast<uint32_t>(file.size()), uint16_t(n)));
            for (int i = 0; kind == Garbage && i < 4; ++i) {
                Bytes junk(rng() % 200);
                std::generate(junk.begin(), junk.end(), [this] { return uint8_t(rng()); });
                Send(junk);
                Send(Msg(MSG_DATA, static_cast<uint16_t>(rng()), seq, junk)); // wrong session
            }
            const bool whole = kind != Silent && kind != LogoutMidway;
            // Pieces of 128 bytes up to the end or the middle; twice when our answers got lost.
            for (size_t at = 0; at < file.size(); at += 128) {
                const size_t k = std::min<size_t>(128, file.size() - at);
                if (!whole && at + k > file.size() / 2)
                    break;
                const Bytes piece = Data(S, seq++, file.data() + at, k, at + k == file.size());
                Send(piece);
                if (kind == Repeats && at + k < file.size())
                    Send(piece);
            }
            if (kind == Silent)
                Rounds(300); // the device went quiet: the session times out
            if (whole) {
                Rounds(1); // the communication task confirms what was stored
                if (waiter.word.load() == CSI_STATUS_DONE)
                    Command(confirmer, 4, csi_get_file_stored() ? 1 : 0);
                int verdict = 0;
                for (int attempt = 0; attempt < 2 && verdict == 0; ++attempt)
                    for (const Bytes& m : Send(Msg(MSG_FILE_STATUS_QUERY, S, seq++)))
                        verdict = Parse(m).type == MSG_FILE_STATUS ? Parse(m).word10 : verdict;
                EXPECT_EQ(verdict, kind == Faulty ? 2 : 1) << "call " << n;
                if (verdict == 1)
                    ++accepted[file];
            }
        }
        Send(Msg(MSG_LOGOUT, S, seq++));
        Send(Msg(MSG_DISCONNECT, S, seq++, {0, 0}));
        for (int i = 0; i < 1000 && engine->State() != SERVER_IDLE; ++i)
            Rounds(1);
    }

    // Every .ECG is one of the accepted files, each exactly once; then the destination is
    // emptied so the disk stays small.
    void CheckAndClear() {
        std::map<Bytes, int> onDisk;
        for (const std::string& path : Files(".ECG")) {
            const std::string bytes = testsupport::ReadFile(path);
            ++onDisk[Bytes(bytes.begin(), bytes.end())];
            std::filesystem::remove(path);
        }
        EXPECT_TRUE(Files(".TMP").empty());
        EXPECT_TRUE(onDisk == accepted) << "a file lost, doubled or changed";
        total += accepted.size();
        accepted.clear();
        link.sent = {}, sleeper.sleeps = {}, log.Clear(); // memory too, for the heap check
    }

    // `calls` calls; heap and open descriptors must not grow after the first `warmUp`.
    void Run(uint32_t calls, uint32_t warmUp) {
        ASSERT_EQ(Command(server, 2, 1), CSI_STATUS_DONE);
        size_t heap = 0, descriptors = 0, expected = 0;
        for (uint32_t n = 0; n < calls && !HasFailure(); ++n) {
            Call(static_cast<Kind>(n % KindCount), n);
            expected +=
                n % KindCount == Good || n % KindCount == Garbage || n % KindCount == Repeats;
            if (n % 100 == 99)
                CheckAndClear();
            if (n + 1 == warmUp)
                heap = mallinfo2().uordblks, descriptors = Descriptors();
        }
        CheckAndClear();
        EXPECT_EQ(total, expected);
        EXPECT_EQ(Descriptors(), descriptors);
        // The smallest leak, one 32-byte chunk a call, adds 48 KiB over 1,500 calls; the
        // harness's own containers wander by a few KiB from run to run under load.
        EXPECT_LT(static_cast<long>(mallinfo2().uordblks) - static_cast<long>(heap), 24 * 1024)
            << "a buffer or object list leaked";
    }

    static size_t Descriptors() {
        return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
    }

    std::mt19937 rng{20260};
    std::map<Bytes, int> accepted;
    size_t total = 0;
};

// Short enough for every run, long enough for a buffer leaked per call to show.
TEST_F(Calls, ThreeThousandMixedCallsLeaveTheHeapFlat) {
    Run(3000, 1500);
}

// The harness's own containers settle during the first three thousand calls.
class Soak : public Calls {};
TEST_F(Soak, TenThousandMixedCallsLoseNothingAndStayFlat) {
    Run(10000, 3000);
}

} // namespace
