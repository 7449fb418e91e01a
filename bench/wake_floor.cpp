// What one wake-up per piece costs on this machine, whatever the program: a thread that sleeps
// for the time a piece and its answer take on the line, then reads the 170-byte piece that has
// come on a pseudo-terminal and writes a 46-byte answer: one timed sleep, one read and one write,
// the least the fast loop does per piece. A second thread plays the device: it waits for each
// answer and sends the next piece. Its CPU per wake-up, times the pieces in a megabyte (128
// bytes of a file each), is the least CPU per megabyte any receiver needs on this machine.
// Prints figures only.
//
//   build/bench/wake_floor [--wakes N] [MS ...]
//
// The default periods, 18.75, 56.25 and 225 ms, are the line time of a piece and its answer (216
// bytes) at 115,200, 38,400 and 9,600 baud.
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

namespace {

constexpr double kPiecesPerMegabyte = 1e6 / 128;

double ThreadCpuUs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

long Switches(bool voluntary) {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return voluntary ? u.ru_nvcsw : u.ru_nivcsw;
}

} // namespace

int main(int argc, char** argv) {
    int wakes = 0; // 0: about ten seconds per period
    std::vector<double> periodsMs;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--wakes") == 0 && i + 1 < argc)
            wakes = std::atoi(argv[++i]);
        else
            periodsMs.push_back(std::atof(argv[i]));
    }
    if (periodsMs.empty())
        periodsMs = {18.75, 56.25, 225.0};
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    // The device: every answer that reaches it is followed by the next piece; it stops when the
    // receiver closes its side.
    std::thread device([master] {
        unsigned char piece[170] = {}, answer[256];
        while (write(master, piece, sizeof piece) == sizeof piece &&
               read(master, answer, sizeof answer) > 0) {
        }
    });
    unsigned char buffer[1006] = {};
    std::printf("| period ms | wake-ups | CPU us per wake-up | voluntary | involuntary | "
                "CPU s/MB at 128 bytes per wake-up |\n|---:|---:|---:|---:|---:|---:|\n");
    bool failed = false;
    for (double periodMs : periodsMs) {
        const int n = wakes > 0 ? wakes : std::max(20, static_cast<int>(10000 / periodMs));
        const long ns = static_cast<long>(periodMs * 1e6);
        const double cpu0 = ThreadCpuUs();
        const long vol0 = Switches(true), inv0 = Switches(false);
        for (int i = 0; i < n; ++i) {
            pollfd none{slave, 0, 0}; // watched for nothing: a pure timed sleep, as the engine's
            timespec limit{ns / 1000000000, ns % 1000000000};
            ppoll(&none, 1, &limit, nullptr);
            if (read(slave, buffer, sizeof buffer) <= 0 || write(slave, buffer, 46) != 46) {
                std::perror("pty");
                failed = true;
                break;
            }
        }
        if (failed)
            break;
        const double perWakeUs = (ThreadCpuUs() - cpu0) / n;
        std::printf("| %.2f | %d | %.1f | %.2f | %.2f | %.2f |\n", periodMs, n, perWakeUs,
                    static_cast<double>(Switches(true) - vol0) / n,
                    static_cast<double>(Switches(false) - inv0) / n,
                    perWakeUs * kPiecesPerMegabyte / 1e6);
    }
    close(slave);
    device.join();
    close(master);
    return failed ? 1 : 0;
}
