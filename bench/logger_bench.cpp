// Logger figures: the latency of one Log call (p50 and p99) with 1 and 4 threads logging at
// once, and the time the writer needs to put 100,000 entries into the log files. Prints
// figures only; it asserts nothing. Run: build/bench/bench_logger [--benchmark_filter=...]
#include "logging/error_logger.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// A private logger configured as the process configures its own, in a fresh directory.
struct BenchLogger {
    explicit BenchLogger(uint32_t writeInterval)
        : dir(fs::temp_directory_path() /
              ("ecgcomm-bench-" + std::to_string(std::random_device()()))) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        logger.Initialize(dir.string(), "", "logfile_", 1, 0x100000, 0, writeInterval, 2, true,
                          false);
    }
    ~BenchLogger() {
        logger.Stop();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    fs::path dir;
    CErrorLogger logger;
};

BenchLogger* g_shared = nullptr;

double Percentile(std::vector<double>& v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t at = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
    return v[at];
}

// Each call is timed on its own, so the figures are per call, not averages of a batch. With
// several threads the percentiles are those of each thread, averaged over the threads.
void BM_LogCall(benchmark::State& state) {
    // The loop starts with a barrier, so the other threads find the logger in place.
    if (state.thread_index() == 0)
        g_shared = new BenchLogger(1000); // the process's write interval
    std::vector<double> mine;
    mine.reserve(static_cast<size_t>(state.max_iterations));
    const std::string text = "Answer sent to the device, sequence " +
                             std::to_string(state.thread_index()) + ", 128 bytes.";
    for (auto _ : state) {
        const auto t0 = Clock::now();
        g_shared->logger.Log("server", text.c_str(), 2);
        const auto t1 = Clock::now();
        mine.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
    state.counters["p50_ns"] =
        benchmark::Counter(Percentile(mine, 0.50), benchmark::Counter::kAvgThreads);
    state.counters["p99_ns"] =
        benchmark::Counter(Percentile(mine, 0.99), benchmark::Counter::kAvgThreads);
    // The loop also ends with a barrier: no thread logs any more.
    if (state.thread_index() == 0) {
        state.counters["lost"] = g_shared->logger.LostEntries();
        delete g_shared;
        g_shared = nullptr;
    }
}
BENCHMARK(BM_LogCall)->Threads(1)->Threads(4)->UseRealTime()->Iterations(200000);

// 100,000 entries through the writer: logged in batches that fit the ring, each batch written
// by an explicit flush, so that nothing is lost and the figure is the writer's own cost.
void BM_Write100k(benchmark::State& state) {
    for (auto _ : state) {
        BenchLogger b(3600000);
        const auto t0 = Clock::now();
        for (int i = 0; i < 100000; ++i) {
            b.logger.Log("server", "Answer sent to the device, sequence 1234, 128 bytes.", 2);
            if (i % 500 == 499)
                b.logger.Flush();
        }
        b.logger.Flush();
        const auto t1 = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        uintmax_t bytes = 0;
        for (const auto& e : fs::directory_iterator(b.dir))
            bytes += fs::file_size(e.path());
        state.counters["lost"] = b.logger.LostEntries();
        state.counters["file_bytes"] = static_cast<double>(bytes);
    }
}
BENCHMARK(BM_Write100k)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
