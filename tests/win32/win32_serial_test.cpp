// The Win32 serial layer against Windows' null device and a COM port on
// which optolink-sim answers (tests/win32/run-wine.sh sets it up).
#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>
#include <string>

#include "serial/serial_port.h"
#include "tests/win32/win32_line.h"

namespace {

constexpr LineSettings kLine9600{9600, 8, 0, 0};
constexpr uint16_t kDtrRtsOn = QOR_CONTROL_FLAGS_DEFAULT;

// Station 5 of stations.txt: groups 00 00 5A 00 F2 37, the rest 0.
const char kDataQuery5[] = "s@E@@B@@@MKe";
const char kDataReply5[] = "s@@@@@@@E@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@GHe";

TEST(Win32NullDevice, OpensUnconfiguredTakesWritesAndDeliversNothing) {
    PortHandle handle = 0;
    ASSERT_EQ(PortOpen("NUL", &kLine9600, kDtrRtsOn, &handle), kPortDone);
    ASSERT_NE(handle, 0u);
    uint32_t written = 0;
    EXPECT_EQ(PortWrite(handle, kDataQuery5, 12, &written), kPortDone);
    EXPECT_EQ(written, 12u);
    char c = 0;
    uint32_t received = 99;
    unsigned long long before = NowMs();
    EXPECT_EQ(PortRead(handle, &c, 1, &received), kPortIoFailed);
    EXPECT_EQ(received, 0u);
    EXPECT_LT(NowMs() - before, 900u) << "the null device answers at once";
    EXPECT_EQ(PortClose(handle), kPortDone);
}

struct OpenCase {
    const char *name;
    int32_t status;
};

class Win32OpenFailure : public ::testing::TestWithParam<OpenCase> {};

// Only the exact name "NUL" skips the configuration: "nul" opens the same
// device, which has no port settings to read, so the open answers 4.
TEST_P(Win32OpenFailure, AnswersItsStatusAndLeavesNothingOpen) {
    PortHandle handle = 0;
    EXPECT_EQ(PortOpen(GetParam().name, &kLine9600, kDtrRtsOn, &handle), GetParam().status);
    // Whatever failed, the handle is closed: closing it again fails.
    if (handle != 0 && handle != static_cast<PortHandle>(reinterpret_cast<uintptr_t>(INVALID_HANDLE_VALUE))) {
        EXPECT_EQ(PortClose(handle), kPortIoFailed);
    }
}

INSTANTIATE_TEST_SUITE_P(Names, Win32OpenFailure,
                         ::testing::Values(OpenCase{"nul", kPortNotSerial},
                                           OpenCase{"\\\\.\\COM99", kPortNotOpened},
                                           OpenCase{"", kPortNotOpened}));

TEST(Win32NoPort, EveryOperationOnHandleZeroFails) {
    char c = 0;
    EXPECT_EQ(PortWrite(0, "x", 1, nullptr), kPortIoFailed);
    EXPECT_EQ(PortRead(0, &c, 1, nullptr), kPortIoFailed);
    EXPECT_EQ(SetReadTimeout(0, 5), 0);
    EXPECT_EQ(PurgeInput(0), kPortDrainFailed);
    EXPECT_EQ(PortClose(0), kPortIoFailed);
}

TEST(Win32Settings, NameWithoutTerminatingZeroOpensNothing) {
    PortSettings settings{};
    std::memset(settings.name, 'N', sizeof settings.name);
    settings.line = kLine9600;
    settings.controlFlags = kDtrRtsOn;
    EXPECT_EQ(OpenFromSettings(&settings), 0u);
}

class Win32ComPort : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = SimulatorPort();
        ASSERT_FALSE(port_.empty()) << "DOVED_SIM_COM is not set: run through tests/win32/run-wine.sh";
        ASSERT_EQ(PortOpen(port_.c_str(), &kLine9600, kDtrRtsOn, &handle_), kPortDone) << port_;
        ASSERT_NE(handle_, 0u);
    }
    void TearDown() override {
        if (handle_ != 0) {
            EXPECT_EQ(PortClose(handle_), kPortDone);
        }
    }
    HANDLE Native() const { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle_)); }

    std::string port_;
    PortHandle handle_ = 0;
};

TEST_F(Win32ComPort, OpenConfiguresLineAndTimeouts) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(Native(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(Native(), &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
}

// The baud word is unsigned: 57600 does not turn negative on the way.
TEST(Win32ComPortRate, BaudWordAbove32767ConfiguresThatRate) {
    std::string port = SimulatorPort();
    ASSERT_FALSE(port.empty()) << "DOVED_SIM_COM is not set: run through tests/win32/run-wine.sh";
    const LineSettings line{57600, 8, 2, 2};
    PortHandle handle = 0;
    ASSERT_EQ(PortOpen(port.c_str(), &line, kDtrRtsOn, &handle), kPortDone);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)), &dcb));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    // No parity check here: a Linux pseudo-terminal clears PARENB itself.
    EXPECT_EQ(PortClose(handle), kPortDone);
}

TEST_F(Win32ComPort, SetReadTimeoutAnswersThePreviousOne) {
    EXPECT_EQ(SetReadTimeout(handle_, 50), 100);
    EXPECT_EQ(SetReadTimeout(handle_, 50), 50);
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(Native(), &timeouts));
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 500u);
}

TEST_F(Win32ComPort, ReadOnQuietLineTimesOutWithNothing) {
    SetReadTimeout(handle_, 50);
    char c = 0;
    uint32_t received = 99;
    unsigned long long before = NowMs();
    EXPECT_EQ(PortRead(handle_, &c, 1, &received), kPortIoFailed);
    unsigned long long elapsed = NowMs() - before;
    EXPECT_EQ(received, 0u);
    EXPECT_GE(elapsed, 400u);
    EXPECT_LT(elapsed, 10000u);
}

// A data query to station 5 and its whole reply, read in one request of
// 44 characters that may take several platform reads.
TEST_F(Win32ComPort, QueryAndReplyCrossTheLine) {
    size_t framesBefore = FramesReceived().size();
    uint32_t written = 0;
    ASSERT_EQ(PortWrite(handle_, kDataQuery5, 12, &written), kPortDone);
    EXPECT_EQ(written, 12u);
    char reply[45] = {};
    uint32_t received = 0;
    EXPECT_EQ(PortRead(handle_, reply, 44, &received), kPortDone);
    EXPECT_EQ(received, 44u);
    EXPECT_STREQ(reply, kDataReply5);
    std::vector<std::string> frames = FramesReceived();
    ASSERT_EQ(frames.size(), framesBefore + 1);
    EXPECT_EQ(frames.back(), kDataQuery5);
}

TEST_F(Win32ComPort, PurgeWithNothingWaitingLeavesTheTimeout) {
    SetReadTimeout(handle_, 30);
    EXPECT_EQ(PurgeInput(handle_), kPortDone);
    EXPECT_EQ(SetReadTimeout(handle_, 30), 30);
}

// 23 replies, 1012 characters, wait unread: the drain reads 512, then the
// other 500 in a read that comes back short, and puts the time-out back.
TEST_F(Win32ComPort, PurgeDrainsWaitingRepliesAndRestoresTheTimeout) {
    constexpr int kReplies = 23;
    SetReadTimeout(handle_, 30);
    for (int i = 0; i < kReplies; ++i) {
        ASSERT_EQ(PortWrite(handle_, kDataQuery5, 12, nullptr), kPortDone);
        Sleep(20);  // one request at a time on the station's side
    }
    // Wait until every reply has arrived, with generous slack.
    COMSTAT status{};
    DWORD errors = 0;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(ClearCommError(Native(), &errors, &status));
        if (status.cbInQue >= kReplies * 44u) break;
        Sleep(50);
    }
    ASSERT_EQ(status.cbInQue, kReplies * 44u);
    EXPECT_EQ(PurgeInput(handle_), kPortDone);
    ASSERT_TRUE(ClearCommError(Native(), &errors, &status));
    EXPECT_EQ(status.cbInQue, 0u);
    EXPECT_EQ(SetReadTimeout(handle_, 30), 30);
}

TEST_F(Win32ComPort, SecondOpenOfHeldPortFails) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine does not enforce share mode 0: a second CreateFileA of a held COM port "
                        "succeeds there";
    }
    PortHandle second = 0;
    EXPECT_EQ(PortOpen(port_.c_str(), &kLine9600, kDtrRtsOn, &second), kPortNotOpened);
}

TEST_F(Win32ComPort, CloseReleasesThePort) {
    ASSERT_EQ(PortClose(handle_), kPortDone);
    PortHandle again = 0;
    EXPECT_EQ(PortOpen(port_.c_str(), &kLine9600, kDtrRtsOn, &again), kPortDone);
    handle_ = again;
}

}  // namespace
