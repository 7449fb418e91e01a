// Test-only helpers for the link tests on Linux: a raw pty mapped as COM<n> through
// ECGCOMM_PORTS, child processes for the Python test bench, and a log capture.
// Header-only so that tests/comm can share it.
#pragma once
#include "link/slip.h"
#include "logging/log.h"
#include "tests/support/slip_wire.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace testing_support {

inline std::string MakeTempDir(const char* tag) {
    std::string templ = std::string("/tmp/ecgcomm-") + tag + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    const char* dir = mkdtemp(buf.data());
    return dir != nullptr ? std::string(dir) : std::string();
}

inline void RemoveTree(const std::string& dir) {
    if (!dir.empty() && dir.rfind("/tmp/ecgcomm-", 0) == 0)
        std::system(("rm -rf '" + dir + "'").c_str());
}

inline std::string Hex(const Bytes& b) {
    std::string s;
    char two[3];
    for (uint8_t c : b) {
        std::snprintf(two, sizeof two, "%02x", c);
        s += two;
    }
    return s;
}

inline Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// The "device" end of a serial line: the test holds the master, the code under test opens the
// slave as COM<n>. The slave stays open here too, so the master never reads EIO.
class PtyLine {
public:
    PtyLine(int comNumber, const std::string& portsDir) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        slavePath_ = ptsname(master_);
        slave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
        link_ = portsDir + "/COM" + std::to_string(comNumber);
        unlink(link_.c_str());
        if (symlink(slavePath_.c_str(), link_.c_str()) != 0)
            std::perror("symlink");
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~PtyLine() {
        unlink(link_.c_str());
        close(slave_);
        close(master_);
    }
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    void Write(const Bytes& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else
                poll(nullptr, 0, 1);
        }
    }
    // Waits until the code under test can read exactly `count` bytes in one read.
    bool WaitQueued(int count, int timeoutMs = 3000) const {
        for (int waited = 0; waited < timeoutMs; ++waited) {
            int queued = 0;
            ioctl(slave_, FIONREAD, &queued);
            if (queued >= count)
                return queued == count;
            poll(nullptr, 0, 1);
        }
        return false;
    }
    int Queued() const {
        int queued = 0;
        ioctl(slave_, FIONREAD, &queued);
        return queued;
    }
    // Everything the code under test wrote, collected until the line stayed quiet for quietMs.
    Bytes ReadWritten(int quietMs = 100, int maxMs = 3000) const {
        Bytes out;
        uint8_t buf[4096];
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            pollfd p{master_, POLLIN, 0};
            const int r = poll(&p, 1, quietMs);
            if (r > 0) {
                const ssize_t n = read(master_, buf, sizeof buf);
                if (n > 0)
                    out.insert(out.end(), buf, buf + n);
            } else if (!out.empty() || r < 0) {
                return out;
            }
            if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(maxMs))
                return out;
        }
    }
    int SlaveFd() const { return slave_; }
    const std::string& SlavePath() const { return slavePath_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string link_;
};

// A test bench tool run as a child: waits for its "ready" line, SIGTERM at destruction.
class ChildTool {
public:
    explicit ChildTool(const std::vector<std::string>& argv) {
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::vector<char*> args;
            for (const auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        stdout_ = out[0];
    }
    ~ChildTool() { Stop(); }
    ChildTool(const ChildTool&) = delete;
    ChildTool& operator=(const ChildTool&) = delete;

    bool WaitReady(int timeoutMs = 10000) {
        std::string got;
        const auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(timeoutMs)) {
            pollfd p{stdout_, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char c;
                if (read(stdout_, &c, 1) != 1)
                    return false;
                got += c;
                if (got.find("ready\n") != std::string::npos)
                    return true;
            }
        }
        return false;
    }
    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        if (stdout_ >= 0) {
            close(stdout_);
            stdout_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
};

// The source tree: from the environment, else from where this header lives.
inline std::string SourceDir() {
    const char* dir = std::getenv("ECGCOMM_SOURCE_DIR");
    if (dir != nullptr && *dir != '\0')
        return dir;
    std::string here = __FILE__; // <source>/tests/link/test_support.h
    for (int up = 0; up < 3; ++up)
        here = here.substr(0, here.find_last_of('/'));
    return here;
}

// Runs a command with the given text on its stdin; returns its stdout and exit status.
inline int RunWithInput(const std::string& command, const std::string& input, std::string* output) {
    const std::string dir = MakeTempDir("run");
    const std::string inPath = dir + "/in.txt";
    FILE* f = std::fopen(inPath.c_str(), "w");
    std::fputs(input.c_str(), f);
    std::fclose(f);
    FILE* p = popen((command + " < '" + inPath + "' 2>&1").c_str(), "r");
    output->clear();
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        output->append(buf, n);
    const int status = pclose(p);
    RemoveTree(dir);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct LoggedLine {
    std::string source;
    std::string text;
    int level;
};

// Captures every log message while alive.
class LogCapture {
public:
    LogCapture() {
        SetLogObserver([this](const std::string& s, const std::string& t, int l) {
            std::lock_guard<std::mutex> g(lock_);
            lines_.push_back({s, t, l});
        });
    }
    ~LogCapture() { SetLogObserver(nullptr); }
    std::vector<LoggedLine> Lines() const {
        std::lock_guard<std::mutex> g(lock_);
        return lines_;
    }
    bool Has(const std::string& source, const std::string& text, int level) const {
        for (const auto& l : Lines())
            if (l.source == source && l.text == text && l.level == level)
                return true;
        return false;
    }

private:
    mutable std::mutex lock_;
    std::vector<LoggedLine> lines_;
};

// A SLIP link attached to a pty that stands for COM `com`, with the test's own ports directory.
class SlipPty : public ::testing::Test {
protected:
    SlipPty(int com, int baudCode, const char* name)
        : com_(com), baudCode_(baudCode), name_(name) {}
    void SetUp() override {
        dir_ = MakeTempDir(name_);
        setenv("ECGCOMM_PORTS", dir_.c_str(), 1);
        pty_ = std::make_unique<PtyLine>(com_, dir_);
        line_ = slip_attach(com_, baudCode_);
        ASSERT_EQ(line_, com_ - 1);
    }
    void TearDown() override {
        link_close(line_);
        slip_reset_for_tests();
        pty_.reset();
        unsetenv("ECGCOMM_PORTS");
        RemoveTree(dir_);
    }

    const int com_;
    const int baudCode_;
    const char* const name_;
    std::string dir_;
    std::unique_ptr<PtyLine> pty_;
    int line_ = -1;
};

} // namespace testing_support
