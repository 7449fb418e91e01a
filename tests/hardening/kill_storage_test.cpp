// Kills during storage: a child process stores valid files one after another and is killed
// with SIGKILL at random moments, again and again, in the same destination. Whatever moment
// the kill hits, every .ECG there must be complete: byte for byte one of the files the child
// was given, never partial, never empty.
#include "csi/csi_config.h"
#include "csi/file_storage.h"
#include "csi/obj_builder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

// File n of the child's sequence; sizes differ, so the size names the file.
size_t SizeOf(int n) {
    return 1000 + static_cast<size_t>(n % 97) * 3571;
}

Bytes FileOf(int n) {
    return BuildObjFile(SizeOf(n), ObjFault::None, static_cast<uint32_t>(n % 97));
}

[[noreturn]] void StoreForever(const std::string& destination) {
    csi_set_destination(destination.c_str());
    for (int n = 0;; ++n) {
        const Bytes file = FileOf(n);
        StoreFile(file.data(), file.size());
    }
}

int Iterations() {
    const char* configured = std::getenv("ECGCOMM_KILL_ITERATIONS");
    return configured != nullptr && std::atoi(configured) > 0 ? std::atoi(configured) : 25;
}

TEST(KillDuringStorage, NoPartialOrEmptyEcgWhateverTheMomentOfTheKill) {
    const fs::path dir = fs::temp_directory_path() / ("ecgcomm-kill-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::map<size_t, Bytes> expected;
    for (int n = 0; n < 97; ++n)
        expected[SizeOf(n)] = FileOf(n);

    std::mt19937 rng(7);
    const int iterations = Iterations();
    int killedWhileRunning = 0;
    for (int i = 0; i < iterations; ++i) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            StoreForever(dir.string());
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 40000));
        ASSERT_EQ(kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        killedWhileRunning += WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }
    EXPECT_EQ(killedWhileRunning, iterations);

    size_t ecg = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().extension() != ".ECG")
            continue; // a .TMP cut short by the kill is allowed; it is never taken for a file
        ++ecg;
        std::ifstream in(e.path(), std::ios::binary);
        const Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        ASSERT_FALSE(bytes.empty()) << e.path();
        const auto match = expected.find(bytes.size());
        ASSERT_NE(match, expected.end()) << "partial file " << e.path() << " " << bytes.size();
        EXPECT_TRUE(match->second == bytes) << "changed bytes in " << e.path();
    }
    EXPECT_GT(ecg, 0u) << "the child never got a file stored; the test proved nothing";
    fs::remove_all(dir);
}

} // namespace
