// The control pipe on Windows: the process connects as a client to "\\.\pipe\<name>" that the
// parent created, waits for a busy pipe, and reads the parent's end-event bytes in order.
#include "server/cmn_pipe.h"
#include "win32_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

std::string UniqueName(const char* what) {
    return std::string("ecgwin-") + what + "-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(GetTickCount());
}

// The parent's side, as a parent application creates it.
HANDLE CreateParentPipe(const std::string& name, DWORD instances) {
    return CreateNamedPipeA(("\\\\.\\pipe\\" + name).c_str(), PIPE_ACCESS_DUPLEX,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, instances, 4095, 4095,
                            1000, nullptr);
}

} // namespace

TEST(ControlPipeWin32, ClientOfAPipeNobodyCreatedFailsAtOnceWithFileNotFound) {
    CCmnPipe pipe;
    const DWORD start = GetTickCount();
    EXPECT_FALSE(pipe.Open(UniqueName("absent"), false));
    EXPECT_EQ(pipe.LastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_LT(GetTickCount() - start, 5000u) << "no waiting for a pipe that does not exist";
    EXPECT_EQ(pipe.Name().rfind("\\\\.\\pipe\\ecgwin-absent-", 0), 0u) << pipe.Name();
    EXPECT_FALSE(pipe.Open(UniqueName("absent"), false)) << "a failed object stays failed";
}

TEST(ControlPipeWin32, EndEventsWrittenByTheParentAreReadInOrder) {
    const std::string name = UniqueName("events");
    HANDLE parent = CreateParentPipe(name, 1);
    ASSERT_NE(parent, INVALID_HANDLE_VALUE);
    CCmnPipe client;
    ASSERT_TRUE(client.Open(name, false));
    BOOL connected = ConnectNamedPipe(parent, nullptr);
    EXPECT_TRUE(connected || GetLastError() == ERROR_PIPE_CONNECTED);

    const unsigned char events[] = {0x8F, 0x8E, 0x41};
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(parent, events, sizeof events, &written, nullptr));
    unsigned char buffer[4096];
    uint32_t total = 0, got = 0;
    while (total < sizeof events && client.Read(buffer + total, 4095 - total, &got))
        total += got;
    ASSERT_EQ(total, 3u);
    EXPECT_EQ(buffer[0], 0x8F);
    EXPECT_EQ(buffer[1], 0x8E);
    EXPECT_EQ(buffer[2], 0x41);

    // Once the parent has gone, reads fail instead of blocking.
    DisconnectNamedPipe(parent);
    CloseHandle(parent);
    EXPECT_FALSE(client.Read(buffer, 4095, &got));
    EXPECT_NE(client.LastError(), 0u);
    EXPECT_TRUE(client.Close());
}

TEST(ControlPipeWin32, BusyPipeIsWaitedForUntilAnInstanceIsFree) {
    const std::string name = UniqueName("busy");
    HANDLE first = CreateParentPipe(name, 2);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    CCmnPipe taken;
    ASSERT_TRUE(taken.Open(name, false)) << "the only instance is now in use";

    std::atomic<bool> opened{false};
    CCmnPipe waiting;
    std::thread client([&] { opened = waiting.Open(name, false); });
    // The second client finds every instance busy; the parent offers another one later.
    Sleep(300);
    HANDLE second = CreateParentPipe(name, 2);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    client.join();
    EXPECT_TRUE(opened.load()) << "error " << waiting.LastError();

    const unsigned char event = 0x8E;
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(second, &event, 1, &written, nullptr));
    unsigned char buffer[16] = {0};
    uint32_t got = 0;
    EXPECT_TRUE(waiting.Read(buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(buffer[0], 0x8E) << "the waiting client got the new instance";
    waiting.Close();
    taken.Close();
    CloseHandle(second);
    CloseHandle(first);
}

TEST(ControlPipeWin32, ServerRoleNeverWaitsForItsClientOrForData) {
    const std::string name = UniqueName("server");
    CCmnPipe server;
    ASSERT_TRUE(server.Open(name, true));
    EXPECT_EQ(server.Name(), "\\\\.\\pipe\\" + name);
    const unsigned char event = 0x8F;
    uint32_t count = 0;
    EXPECT_FALSE(server.Write(&event, 1, &count)) << "no client yet";
    EXPECT_EQ(server.LastError(), static_cast<uint32_t>(ERROR_PIPE_LISTENING));

    HANDLE client = CreateFileA(("\\\\.\\pipe\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    unsigned char buffer[16] = {0};
    EXPECT_FALSE(server.Read(buffer, sizeof buffer, &count)) << "nothing written yet";
    EXPECT_EQ(server.LastError(), static_cast<uint32_t>(ERROR_NO_DATA));

    EXPECT_TRUE(server.Write(&event, 1, &count));
    EXPECT_EQ(count, 1u);
    unsigned char got = 0;
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(client, &got, 1, &n, nullptr));
    EXPECT_EQ(got, 0x8F);
    const unsigned char answer = 0x41;
    EXPECT_TRUE(WriteFile(client, &answer, 1, &n, nullptr));
    bool read = false;
    for (int i = 0; i < 100 && !read; ++i) {
        read = server.Read(buffer, sizeof buffer, &count);
        if (!read)
            Sleep(10);
    }
    EXPECT_TRUE(read);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], 0x41);

    CCmnPipe another;
    EXPECT_TRUE(another.Open(name, true)) << "instances are unlimited";
    CloseHandle(client);
}
