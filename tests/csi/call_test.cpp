// Whole calls against the engine over the in-memory link in virtual time: the bytes of every
// answer, the stored file, the command statuses the communication task sees.
#include "csi/csi_config.h"
#include "csi_harness.h"
#include "obj_builder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

class Call : public ::testing::Test, public EngineFixtureBase {
protected:
    std::vector<fs::path> Files(const std::string& extension) {
        std::vector<fs::path> found;
        if (!fs::exists(tempDir))
            return found;
        for (const auto& e : fs::directory_iterator(tempDir))
            if (e.path().extension() == extension)
                found.push_back(e.path());
        return found;
    }
    Bytes ReadAll(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool Logged(const std::string& entry) {
        for (const auto& l : logs)
            if (l == entry)
                return true;
        return false;
    }
};

TEST_F(Call, FullCallStoresByteIdenticalFileAndAnswersEveryMessageExactly) {
    StartServer();
    ASSERT_EQ(server.word.load(), CSI_STATUS_DONE);
    Post(waiter, 3);

    Answer a = Exchange(Connect(100, 1, 2, 3));
    EXPECT_EQ(a.length, 16);
    EXPECT_EQ(a.size, 16u);
    EXPECT_EQ(a.type, MSG_CONNECT);
    EXPECT_EQ(a.session, 0);
    EXPECT_EQ(a.sequence, 100);
    EXPECT_EQ(a.check, 0);
    EXPECT_EQ(a.word10, 7);
    EXPECT_EQ(a.word12, 6);
    EXPECT_EQ(a.word14, 3);
    EXPECT_TRUE(csi_get_call_active());
    EXPECT_EQ(sleeper.sleeps[sleeper.sleeps.size() - 2], 5000u) << "pause after the connect answer";
    EXPECT_EQ(engine->State(), SERVER_CONNECTED);

    a = Exchange(Login(101));
    EXPECT_EQ(a.size, 14u);
    EXPECT_EQ(a.type, MSG_STATUS);
    EXPECT_EQ(a.session, 5821) << "the login answer already carries the new code";
    EXPECT_EQ(a.sequence, 101);
    EXPECT_EQ(a.word10, 0);
    EXPECT_EQ(a.word12, RC_OK);
    EXPECT_TRUE(Logged("server|2|Client logged in."));

    const Bytes file = BuildObjFile(1000, ObjFault::None, 7);
    a = Exchange(FileAnnounce(5821, 102, 1000, 0x1357));
    EXPECT_EQ(a.size, 14u);
    EXPECT_EQ(a.sequence, 102);
    EXPECT_EQ(a.word10, 0);
    EXPECT_EQ(engine->State(), SERVER_TRANSFER);
    EXPECT_EQ(engine->Substate(), TRANSFER_RECEIVING);

    uint16_t s = 103;
    for (size_t at = 0; at < file.size(); at += 128) {
        const size_t n = std::min<size_t>(128, file.size() - at);
        a = Exchange(Data(5821, s, file.data() + at, n, at + n == file.size()));
        EXPECT_EQ(a.size, 14u);
        EXPECT_EQ(a.session, 5821);
        EXPECT_EQ(a.sequence, s);
        EXPECT_EQ(a.word10, 0);
        EXPECT_EQ(a.word12, RC_OK);
        ++s;
    }
    EXPECT_EQ(engine->Substate(), TRANSFER_COMPLETE);
    Rounds(1);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_DONE);
    EXPECT_TRUE(csi_get_file_stored());
    EXPECT_NE(waiter.listSlot, 0u) << "the object list went where word 2 pointed";

    const auto ecg = Files(".ECG");
    ASSERT_EQ(ecg.size(), 1u);
    EXPECT_EQ(ReadAll(ecg[0]), file);
    EXPECT_TRUE(Files(".TMP").empty());
    EXPECT_TRUE(
        Logged("csi_task_interface|2|File \"" + ecg[0].string() + "\" successfully stored."));

    // Query before command 4: no answer yet.
    EXPECT_TRUE(Send(Msg(MSG_FILE_STATUS_QUERY, 5821, s++)).empty());
    Post(confirmer, 4, 1);
    const size_t before = link.sent.size();
    Rounds(1);
    ASSERT_EQ(link.sent.size(), before + 1);
    a = Parse(link.sent.back());
    EXPECT_EQ(a.size, 14u);
    EXPECT_EQ(a.type, MSG_FILE_STATUS);
    EXPECT_EQ(a.session, 5821);
    EXPECT_EQ(a.sequence, s - 1);
    EXPECT_EQ(a.word10, 1);
    EXPECT_EQ(a.word12, 0x1357);
    EXPECT_EQ(confirmer.word.load(), CSI_STATUS_DONE);
    EXPECT_EQ(engine->State(), SERVER_LOGGED);
    EXPECT_FALSE(engine->HoldsFileBuffer());
    EXPECT_FALSE(engine->HoldsObjectList());

    // Query after command 4: answered directly in state 200 with the same outcome.
    a = Exchange(Msg(MSG_FILE_STATUS_QUERY, 5821, s++));
    EXPECT_EQ(a.type, MSG_FILE_STATUS);
    EXPECT_EQ(a.word10, 1);
    EXPECT_EQ(a.word12, 0x1357);

    a = Exchange(Msg(MSG_LOGOUT, 5821, s++));
    EXPECT_EQ(a.size, 14u);
    EXPECT_EQ(a.word10, 0);
    EXPECT_TRUE(Logged("server|2|Client logged out."));
    EXPECT_EQ(engine->State(), SERVER_CONNECTED);

    a.type = 0;
    EXPECT_TRUE(Send(Msg(MSG_DISCONNECT, 5821, s++, {0, 0})).empty());
    EXPECT_TRUE(Logged("server|2|Client disconnected."));
    EXPECT_EQ(engine->State(), SERVER_IDLE);
    EXPECT_FALSE(csi_get_call_active());
    EXPECT_EQ(link.closes, 1);
    EXPECT_EQ(link.opens, 2) << "the link is re-attached for the next call";
    EXPECT_EQ(sleeper.sleeps[sleeper.sleeps.size() - 2], 500u);
}

TEST_F(Call, LargestFileIsAcceptedAndStoredAndOneByteMoreIsRefused) {
    StartServer();
    ConnectAndLogin();
    Answer a = Exchange(FileAnnounce(5821, seq++, 350001, 1));
    EXPECT_EQ(a.size, 32u);
    EXPECT_EQ(a.word10, 0xFFFF);
    EXPECT_EQ(a.word12, RC_FILE);
    EXPECT_EQ(a.text, "100,000 bytes max");
    EXPECT_EQ(engine->State(), SERVER_LOGGED);

    Post(waiter, 3);
    const Bytes file = BuildObjFile(350000, ObjFault::None, 3);
    SendWholeFile(file);
    Rounds(1);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_DONE);
    const auto ecg = Files(".ECG");
    ASSERT_EQ(ecg.size(), 1u);
    EXPECT_EQ(ReadAll(ecg[0]), file);
}

TEST_F(Call, FileOfOtherTypeIsRefusedWithTheSizeText) {
    StartServer();
    ConnectAndLogin();
    Answer a = Exchange(FileAnnounce(5821, seq++, 100, 1, 1));
    EXPECT_EQ(a.word12, RC_FILE);
    EXPECT_EQ(a.text, "100,000 bytes max");
    EXPECT_EQ(engine->State(), SERVER_LOGGED);
}

TEST_F(Call, DeviceSeventyWithIdentifierSevenGetsStatusTen) {
    // Separate engines per station type keep the cases independent.
    for (uint16_t station : {70, 71, 72}) {
        SCOPED_TRACE(station);
        EngineFixtureBase f;
        f.StartServer();
        f.Post(f.waiter, 3);
        f.ConnectAndLogin(7, station);
        f.SendWholeFile(BuildObjFile(300));
        f.Rounds(1);
        EXPECT_EQ(f.waiter.word.load(), station == 72 ? CSI_STATUS_DONE : CSI_STATUS_FILE_CONFIRM);
    }
}

TEST_F(Call, FileCompletedBeforeCommandThreeIsReportedAtOnce) {
    StartServer();
    ConnectAndLogin(7, 70);
    SendWholeFile(BuildObjFile(200));
    Post(waiter, 3);
    Rounds(1);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_FILE_CONFIRM);
}

TEST_F(Call, RefusedConfirmationTellsTheDeviceTwo) {
    StartServer();
    Post(waiter, 3);
    ConnectAndLogin();
    SendWholeFile(BuildObjFile(500), 0x0102);
    Rounds(1);
    Post(confirmer, 4, 0);
    Rounds(1);
    EXPECT_EQ(engine->Substate(), TRANSFER_CONFIRM_PENDING) << "no query yet";
    EXPECT_EQ(confirmer.word.load(), CSI_STATUS_RUNNING);
    Answer a = Exchange(Msg(MSG_FILE_STATUS_QUERY, 5821, seq++));
    EXPECT_EQ(a.type, MSG_FILE_STATUS);
    EXPECT_EQ(a.word10, 2);
    EXPECT_EQ(a.word12, 0x0102);
    EXPECT_EQ(confirmer.word.load(), CSI_STATUS_DONE);
    EXPECT_EQ(engine->State(), SERVER_LOGGED);
}

TEST_F(Call, RepeatedPieceIsAcknowledgedAgainButStoredOnce) {
    StartServer();
    Post(waiter, 3);
    ConnectAndLogin();
    const Bytes file = BuildObjFile(300);
    Exchange(FileAnnounce(5821, 50, 300, 9));
    Answer a = Exchange(Data(5821, 51, file.data(), 128, false));
    EXPECT_EQ(a.word12, RC_OK);
    a = Exchange(Data(5821, 51, file.data(), 128, false));
    EXPECT_EQ(a.word12, RC_OK);
    EXPECT_EQ(a.sequence, 51);
    EXPECT_TRUE(Logged("server|2|Same sequence number as last packet. Ignoring data."));
    Exchange(Data(5821, 52, file.data() + 128, 128, false));
    Exchange(Data(5821, 53, file.data() + 256, 44, true));
    Rounds(1);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_DONE);
    const auto ecg = Files(".ECG");
    ASSERT_EQ(ecg.size(), 1u);
    EXPECT_EQ(ReadAll(ecg[0]), file);
}

TEST_F(Call, OverflowingPieceIsRefusedWithoutTextAndDropped) {
    StartServer();
    Post(waiter, 3);
    ConnectAndLogin();
    const Bytes file = BuildObjFile(200);
    Exchange(FileAnnounce(5821, seq++, 200, 9));
    Exchange(Data(5821, seq++, file.data(), 128, false));
    const Bytes tooMuch(74, 0xAB);
    Answer a = Exchange(Data(5821, seq++, tooMuch.data(), tooMuch.size(), false));
    EXPECT_EQ(a.size, 14u);
    EXPECT_EQ(a.word10, 0xFFFF);
    EXPECT_EQ(a.word12, RC_FILE);
    EXPECT_EQ(engine->Substate(), TRANSFER_RECEIVING);
    Exchange(Data(5821, seq++, file.data() + 128, 72, true));
    Rounds(1);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_DONE);
    const auto ecg = Files(".ECG");
    ASSERT_EQ(ecg.size(), 1u);
    EXPECT_EQ(ReadAll(ecg[0]), file);
}

TEST_F(Call, FaultyFileIsNotStoredAndAnsweredTwoWhileCommandThreeWaits) {
    StartServer();
    Post(waiter, 3);
    ConnectAndLogin();
    SendWholeFile(BuildObjFile(400, ObjFault::ObjectChecksum), 0x0A0B);
    EXPECT_TRUE(Logged("server|0|Error in received file."));
    EXPECT_EQ(engine->Substate(), TRANSFER_CONFIRM_PENDING);
    Answer a = Exchange(Msg(MSG_FILE_STATUS_QUERY, 5821, seq++));
    EXPECT_EQ(a.type, MSG_FILE_STATUS);
    EXPECT_EQ(a.word10, 2);
    EXPECT_EQ(a.word12, 0x0A0B);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_RUNNING) << "command 3 keeps waiting";
    EXPECT_TRUE(Files(".ECG").empty());
    EXPECT_TRUE(Files(".TMP").empty());
    EXPECT_EQ(engine->State(), SERVER_LOGGED);
}

TEST_F(Call, FileWithoutListLocationFailsTheCheck) {
    StartServer();
    Post(waiter, 3, 0, "INT", /*withList=*/false);
    ConnectAndLogin();
    SendWholeFile(BuildObjFile(300));
    EXPECT_TRUE(Logged("server|0|Error in received file."));
    EXPECT_TRUE(Files(".ECG").empty());
}

TEST_F(Call, NewFileInPendingConfirmationEndsTheWaitAndStartsTheTransfer) {
    StartServer();
    Post(waiter, 3);
    ConnectAndLogin();
    SendWholeFile(BuildObjFile(300, ObjFault::KindZero));
    Answer a = Exchange(FileAnnounce(5821, seq++, 300, 2));
    EXPECT_EQ(a.word12, RC_OK);
    EXPECT_EQ(engine->State(), SERVER_TRANSFER);
    EXPECT_EQ(engine->Substate(), TRANSFER_RECEIVING);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_DONE);
}

TEST_F(Call, LogoutDuringTransferReleasesTheBufferAndEndsConfirmation) {
    StartServer();
    Post(waiter, 3);
    ConnectAndLogin();
    SendWholeFile(BuildObjFile(300));
    Rounds(1);
    Post(confirmer, 4, 1);
    Rounds(1);
    ASSERT_EQ(engine->Substate(), TRANSFER_CONFIRM_PENDING);
    Answer a = Exchange(Msg(MSG_LOGOUT, 5821, seq++));
    EXPECT_EQ(a.word10, 0);
    EXPECT_EQ(confirmer.word.load(), CSI_STATUS_DONE);
    EXPECT_EQ(engine->State(), SERVER_CONNECTED);
    EXPECT_FALSE(engine->HoldsFileBuffer());
    EXPECT_TRUE(Logged("server|2|Client logged out."));
}

TEST_F(Call, WrongCodeDuringTransferIsRefusedAndThePieceNotTaken) {
    StartServer();
    ConnectAndLogin();
    const Bytes file = BuildObjFile(200);
    Exchange(FileAnnounce(5821, seq++, 200, 1));
    Answer a = Exchange(Data(1234, seq++, file.data(), 128, false));
    EXPECT_EQ(a.size, 38u);
    EXPECT_EQ(a.session, 0);
    EXPECT_EQ(a.word12, RC_BADAUTH);
    EXPECT_EQ(engine->Timer().remaining, 59750) << "restarted at 60,000 ms, one tick ago";
    a = Exchange(Data(5821, seq++, file.data(), 200, true));
    EXPECT_EQ(a.word12, RC_OK);
    EXPECT_EQ(engine->Substate(), TRANSFER_COMPLETE);
}

TEST_F(Call, SilentTransferWalksDownToIdleInCountedTicks) {
    StartServer();
    ConnectAndLogin();
    Exchange(FileAnnounce(5821, seq++, 200, 1));
    ASSERT_EQ(engine->State(), SERVER_TRANSFER);
    // 60,000 ms at 250 ms a round: the announce round counted nothing after the start.
    Rounds(238);
    EXPECT_EQ(engine->State(), SERVER_TRANSFER);
    Rounds(1);
    EXPECT_EQ(engine->State(), SERVER_LOGGED);
    EXPECT_TRUE(Logged("server|0|Timeout occurred while receiving file."));
    EXPECT_FALSE(engine->HoldsFileBuffer());
    Rounds(3);
    EXPECT_EQ(engine->State(), SERVER_LOGGED);
    Rounds(1);
    EXPECT_EQ(engine->State(), SERVER_CONNECTED);
    EXPECT_TRUE(Logged("server|0|SERVER_LOGGED: Timed out while waiting for message."));
    Rounds(3);
    EXPECT_EQ(engine->State(), SERVER_CONNECTED);
    Rounds(1);
    EXPECT_EQ(engine->State(), SERVER_IDLE);
    EXPECT_TRUE(Logged("server|0|SERVER_CONNECTED: Timed out waiting for message."));
    EXPECT_EQ(link.opens, 2);
    EXPECT_TRUE(link.open);
    EXPECT_EQ(engine->Timer().remaining, 1000);
}

} // namespace

namespace {

class StorageFailure : public ::testing::Test, public EngineFixtureBase {};

TEST_F(StorageFailure, FileThatCouldNotBeStoredIsReportedNotAcceptedToTheDevice) {
    csi_set_destination(nullptr);
    StartServer();
    Post(waiter, 3);
    ConnectAndLogin();
    SendWholeFile(BuildObjFile(300), 0x0033);
    Rounds(1);
    ASSERT_EQ(waiter.word.load(), CSI_STATUS_DONE);
    EXPECT_FALSE(csi_get_file_stored());
    // The communication task confirms with the flag it read.
    Post(confirmer, 4, csi_get_file_stored() ? 1 : 0);
    Rounds(1);
    Answer a = Exchange(Msg(MSG_FILE_STATUS_QUERY, 5821, seq++));
    EXPECT_EQ(a.type, MSG_FILE_STATUS);
    EXPECT_EQ(a.word10, 2);
    EXPECT_EQ(a.word12, 0x0033);
    EXPECT_EQ(confirmer.word.load(), CSI_STATUS_DONE);
}

} // namespace
