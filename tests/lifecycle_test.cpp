// Start, stop and port management of a context, through QorMain, against
// pseudo-terminals and the null device.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "context/shutdown_latch.h"
#include "entry/qor_interface.h"
#include "serial/serial_port.h"
#include "tests/support/log_capture.h"
#include "tests/support/pty_pair.h"

namespace {

const LogLine kInstalled{32, "DOVED: Dupline Optolink 32bit driver installed"};
const LogLine kColdStartFailed{32, "DOVED. ColdStart(): error opening COM port!"};
const LogLine kWarmStart{8, "DOVED: WarmStart()"};
const LogLine kEndQorFailed{32, "DOVED. EndQor(): error closing COM port!"};
const LogLine kChangeFailed{32, "DOVED: ChangeQorParams() open new COM port failed"};

constexpr LineSettings kLine9600{9600, 8, 0, 0};
constexpr LineSettings kLine19200{19200, 8, 0, 0};

StartParams Start(const std::string &port, int32_t enabled, int32_t replyTimeout, LineSettings line = kLine9600) {
    StartParams start{};
    std::strncpy(start.portName, port.c_str(), sizeof start.portName - 1);
    start.enabled = enabled;
    start.replyTimeout = replyTimeout;
    start.line = line;
    return start;
}

ChangeParams Change(const std::string &port, int32_t replyTimeout, LineSettings line) {
    ChangeParams change{};
    std::strncpy(change.portName, port.c_str(), sizeof change.portName - 1);
    change.replyTimeout = replyTimeout;
    change.line = line;
    return change;
}

speed_t BaudSeenBy(int master) {
    termios settings{};
    if (tcgetattr(master, &settings) != 0) return 0;
    return cfgetospeed(&settings);
}

// The port's read time-out in 10 ms units, read back without changing it.
int32_t ReadTimeoutUnits(PortHandle handle) {
    int32_t previous = SetReadTimeout(handle, 1);
    SetReadTimeout(handle, previous);
    return previous;
}

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        ClearShutdownLatch();
        first_ = OpenPtyPair();
        second_ = OpenPtyPair();
        ASSERT_GE(first_.master, 0);
        ASSERT_GE(second_.master, 0);
        std::memset(block_, 0xCC, sizeof block_);
        descriptorsBefore_ = OpenDescriptorCount();
    }
    void TearDown() override {
        if (context()->portHandle != 0 && !ShutdownLatchIsSet()) Call(QOR_OP_CLOSE_COM);
        ClearShutdownLatch();
        ClosePtyPair(first_);
        ClosePtyPair(second_);
    }

    int32_t Call(uint32_t operation, void *data = nullptr) {
        QorRequest request{block_, operation, 0, 0, data};
        return QorMain(&request);
    }
    DriverContext *context() { return reinterpret_cast<DriverContext *>(block_); }
    // True when a fresh exclusive open of the path succeeds, i.e. no handle holds it.
    static bool PortIsFree(const std::string &path) {
        PortHandle probe = 0;
        LineSettings line = kLine9600;
        if (PortOpen(path.c_str(), &line, QOR_CONTROL_FLAGS_DEFAULT, &probe) != kPortDone) return false;
        PortClose(probe);
        return true;
    }
    int DescriptorsOpenedSinceSetUp() const { return OpenDescriptorCount() - descriptorsBefore_; }

    PtyPair first_;
    PtyPair second_;
    alignas(8) unsigned char block_[QOR_CONTEXT_SIZE];
    int descriptorsBefore_ = 0;
};

TEST_F(Lifecycle, StartWithoutPortOpensNothingAndRefusesReads) {
    LogCapture log;
    StartParams start = Start(first_.slavePath, 0, 50);
    ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_DONE);
    EXPECT_EQ(context()->active, 0);
    EXPECT_EQ(context()->portHandle, 0u);
    EXPECT_EQ(DescriptorsOpenedSinceSetUp(), 0);
    EXPECT_TRUE(log.Lines().empty());

    int16_t values[2] = {7, 7};
    GateRecord gate{};
    gate.text = "01AA";
    gate.words[QOR_WORD_STATION] = 1;
    gate.words[QOR_WORD_BIT] = QOR_NO_BIT;
    gate.words[QOR_WORD_FIFTH] = 16;
    gate.elementCount = 1;
    gate.values = values;
    EXPECT_EQ(Call(QOR_OP_SINGLE_READ, &gate), QOR_REFUSED);
    EXPECT_EQ(Call(QOR_OP_SINGLE_WRITE, &gate), QOR_REFUSED);
    EXPECT_EQ(Call(QOR_OP_WARM_START), QOR_DONE);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kWarmStart}));

    // The start stored the named port, so ReOpenCom opens that one.
    ASSERT_EQ(Call(QOR_OP_REOPEN_COM), QOR_DONE);
    EXPECT_EQ(context()->active, 1);
    EXPECT_FALSE(PortIsFree(first_.slavePath));
}

TEST_F(Lifecycle, StartOnAPortThatCannotOpenLeavesTheContextActiveWithoutPort) {
    LogCapture log;
    StartParams start = Start("/dev/nope0", 1, 50);
    EXPECT_EQ(Call(QOR_OP_COLD_START, &start), QOR_FAILED);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kColdStartFailed}));
    EXPECT_EQ(context()->active, 1);
    EXPECT_EQ(context()->portHandle, 0u);
    EXPECT_EQ(DescriptorsOpenedSinceSetUp(), 0);

    // Closing a context without a port changes nothing.
    EXPECT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);
    EXPECT_EQ(context()->active, 1);
}

TEST_F(Lifecycle, StartOpensTheLineWithItsSettingsAndReplyTimeout) {
    LogCapture log;
    StartParams start = Start(first_.slavePath, 1, 50, kLine19200);
    ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_DONE);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kInstalled}));
    EXPECT_EQ(context()->active, 1);
    EXPECT_EQ(context()->replyTimeout, 50);
    EXPECT_EQ(context()->portSettings.controlFlags, QOR_CONTROL_FLAGS_DEFAULT);
    EXPECT_STREQ(context()->portSettings.name, first_.slavePath.c_str());
    ASSERT_NE(context()->portHandle, 0u);
    EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 50);
    EXPECT_EQ(BaudSeenBy(first_.master), B19200);
    EXPECT_FALSE(PortIsFree(first_.slavePath));
}

// A reply time-out of 0 would leave reads without a limit; 0 and below keep
// the 1000 ms of the open, also for a later ChangeQorParams.
TEST_F(Lifecycle, NonPositiveReplyTimeoutKeepsTheOpenTimeout) {
    for (int32_t timeout : {0, -3}) {
        SCOPED_TRACE(timeout);
        StartParams start = Start(first_.slavePath, 1, timeout);
        ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_DONE);
        EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 100);
        EXPECT_EQ(context()->replyTimeout, 100);

        ChangeParams change = Change(second_.slavePath, -7, LineSettings{0, 0, 0, 0});
        ASSERT_EQ(Call(QOR_OP_CHANGE_QOR_PARAMS, &change), QOR_DONE);
        EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 100);
        ASSERT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);
    }
}

TEST_F(Lifecycle, NullDeviceStartsWithoutConfiguration) {
    LogCapture log;
    StartParams start = Start("NUL", 1, 50);
    ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_DONE);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kInstalled}));
    EXPECT_NE(context()->portHandle, 0u);
    // The null device takes no time-out.
    EXPECT_EQ(SetReadTimeout(context()->portHandle, 50), 0);
}

TEST_F(Lifecycle, WarmStartDrainsOnlyARunningContext) {
    StartParams start = Start(first_.slavePath, 1, 5);
    ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_DONE);
    ASSERT_EQ(write(first_.master, "junk on the line", 16), 16);
    usleep(50 * 1000);

    LogCapture log;
    EXPECT_EQ(Call(QOR_OP_WARM_START), QOR_DONE);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kWarmStart}));
    char c = 0;
    uint32_t received = 99;
    EXPECT_EQ(PortRead(context()->portHandle, &c, 1, &received), kPortIoFailed);
    EXPECT_EQ(received, 0u);
    // The drain put the reply time-out back.
    EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 5);
}

TEST_F(Lifecycle, CloseComTwiceAndEndQor) {
    StartParams start = Start(first_.slavePath, 1, 50);
    ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_DONE);
    LogCapture log;
    ASSERT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);
    EXPECT_EQ(context()->portHandle, 0u);
    EXPECT_EQ(context()->active, 0);
    EXPECT_TRUE(PortIsFree(first_.slavePath));
    EXPECT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);
    EXPECT_EQ(DescriptorsOpenedSinceSetUp(), 0);

    EXPECT_EQ(Call(QOR_OP_END_QOR), QOR_DONE);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_TRUE(ShutdownLatchIsSet());
    // Every request answers 0 from now on, without effect.
    StartParams again = Start(first_.slavePath, 1, 50);
    EXPECT_EQ(Call(QOR_OP_COLD_START, &again), QOR_DONE);
    EXPECT_EQ(context()->portHandle, 0u);
    EXPECT_TRUE(PortIsFree(first_.slavePath));
}

TEST_F(Lifecycle, EndQorClosesTheOpenPort) {
    StartParams start = Start(first_.slavePath, 1, 50);
    ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_DONE);
    EXPECT_EQ(Call(QOR_OP_END_QOR), QOR_DONE);
    EXPECT_EQ(context()->portHandle, 0u);
    EXPECT_TRUE(PortIsFree(first_.slavePath));
    EXPECT_EQ(DescriptorsOpenedSinceSetUp(), 0);
}

// A handle the platform cannot close: EndQor reports it, and the latch is
// set all the same.
TEST_F(Lifecycle, EndQorWhosePortCannotBeClosed) {
    StartParams start = Start(first_.slavePath, 1, 50);
    ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_DONE);
    const PortHandle real = context()->portHandle;
    context()->portHandle = 0x7FFFFFF0u;  // no such descriptor

    LogCapture log;
    EXPECT_EQ(Call(QOR_OP_END_QOR), QOR_FAILED);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kEndQorFailed}));
    EXPECT_EQ(context()->portHandle, 0x7FFFFFF0u);
    EXPECT_EQ(context()->active, 1);
    EXPECT_EQ(Call(QOR_OP_GET_QOR_INFO, nullptr), QOR_DONE);  // the latch holds: not even read
    EXPECT_EQ(PortClose(real), kPortDone);
    context()->portHandle = 0;
}

TEST_F(Lifecycle, ReOpenComUsesTheStoredPortAndTheOpenTimeout) {
    StartParams start = Start(first_.slavePath, 1, 50, kLine19200);
    ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_DONE);
    ASSERT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);

    LogCapture log;
    ASSERT_EQ(Call(QOR_OP_REOPEN_COM), QOR_DONE);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(context()->active, 1);
    EXPECT_EQ(context()->replyTimeout, 50);
    EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 100);
    EXPECT_EQ(BaudSeenBy(first_.master), B19200);
}

// A context that holds its port answers 2 and opens no second handle, on a
// serial port and on the null device (which would allow a second open).
TEST_F(Lifecycle, ReOpenComOnARunningContextKeepsItsPort) {
    for (const std::string &port : {first_.slavePath, std::string("NUL")}) {
        SCOPED_TRACE(port);
        StartParams start = Start(port, 1, 50);
        ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_DONE);
        const PortHandle held = context()->portHandle;
        const int descriptors = OpenDescriptorCount();
        EXPECT_EQ(Call(QOR_OP_REOPEN_COM), QOR_FAILED);
        EXPECT_EQ(context()->portHandle, held);
        EXPECT_EQ(context()->active, 1);
        EXPECT_EQ(OpenDescriptorCount(), descriptors);
        ASSERT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);
    }
}

TEST_F(Lifecycle, ChangeOnAnIdleContextOpensTheStoredPort) {
    StartParams start = Start(first_.slavePath, 1, 30, kLine19200);
    ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_DONE);
    ASSERT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);

    LogCapture log;
    ChangeParams change = Change(first_.slavePath, 0, LineSettings{0, 7, 2, 1});
    ASSERT_EQ(Call(QOR_OP_CHANGE_QOR_PARAMS, &change), QOR_DONE);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 30);
    EXPECT_EQ(BaudSeenBy(first_.master), B19200);
    EXPECT_EQ(context()->portSettings.line.dataBits, 8);  // baud 0 keeps all four words
    // The host had made the context inactive; it stays so.
    EXPECT_EQ(context()->active, 0);
}

TEST_F(Lifecycle, ChangeToTheOpenPortFailsButStoresTheNewSettings) {
    StartParams start = Start(first_.slavePath, 1, 50, kLine9600);
    ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_DONE);
    const PortHandle held = context()->portHandle;

    LogCapture log;
    ChangeParams change = Change(first_.slavePath, 20, kLine19200);
    EXPECT_EQ(Call(QOR_OP_CHANGE_QOR_PARAMS, &change), QOR_FAILED);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kChangeFailed}));
    EXPECT_EQ(context()->portHandle, held);
    EXPECT_EQ(context()->active, 1);
    EXPECT_EQ(BaudSeenBy(first_.master), B9600);
    EXPECT_EQ(context()->portSettings.line.baud, 19200);
    EXPECT_EQ(context()->replyTimeout, 20);

    // The stored settings take effect at the next open.
    ASSERT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);
    ASSERT_EQ(Call(QOR_OP_REOPEN_COM), QOR_DONE);
    EXPECT_EQ(BaudSeenBy(first_.master), B19200);
}

// A port change on a running context closes the old port first and keeps
// the context running on the new one.
TEST_F(Lifecycle, ChangeToAnotherPortKeepsARunningContextRunning) {
    StartParams start = Start(first_.slavePath, 1, 50);
    ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_DONE);

    LogCapture log;
    ChangeParams change = Change(second_.slavePath, 0, kLine19200);
    ASSERT_EQ(Call(QOR_OP_CHANGE_QOR_PARAMS, &change), QOR_DONE);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_TRUE(PortIsFree(first_.slavePath));
    EXPECT_FALSE(PortIsFree(second_.slavePath));
    EXPECT_EQ(context()->active, 1);
    EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 50);
    EXPECT_EQ(BaudSeenBy(second_.master), B19200);
    EXPECT_STREQ(context()->portSettings.name, second_.slavePath.c_str());
}

TEST_F(Lifecycle, ChangeToAPortThatCannotOpenLeavesNoPortOpen) {
    StartParams start = Start(first_.slavePath, 1, 50);
    ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_DONE);

    LogCapture log;
    ChangeParams change = Change("/dev/nope0", 0, kLine9600);
    EXPECT_EQ(Call(QOR_OP_CHANGE_QOR_PARAMS, &change), QOR_FAILED);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kChangeFailed}));
    EXPECT_EQ(context()->portHandle, 0u);
    EXPECT_EQ(context()->active, 0);
    EXPECT_TRUE(PortIsFree(first_.slavePath));
    EXPECT_EQ(DescriptorsOpenedSinceSetUp(), 0);
}

// When the old port cannot be closed, the change keeps it recorded rather
// than opening a second port and losing the first.
TEST_F(Lifecycle, ChangeWhoseOldPortCannotBeClosedKeepsIt) {
    StartParams start = Start(first_.slavePath, 1, 50);
    ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_DONE);
    const PortHandle real = context()->portHandle;
    context()->portHandle = 0x7FFFFFF0u;

    LogCapture log;
    ChangeParams change = Change(second_.slavePath, 0, kLine9600);
    EXPECT_EQ(Call(QOR_OP_CHANGE_QOR_PARAMS, &change), QOR_FAILED);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kChangeFailed}));
    EXPECT_EQ(context()->portHandle, 0x7FFFFFF0u);
    EXPECT_EQ(context()->active, 1);
    EXPECT_TRUE(PortIsFree(second_.slavePath));
    EXPECT_STREQ(context()->portSettings.name, first_.slavePath.c_str());
    context()->portHandle = real;
}

// A name that fills its 12 bytes without a terminating zero is an open
// failure; nothing is read past the field.
TEST_F(Lifecycle, UnterminatedPortNameFailsToOpen) {
    LogCapture log;
    StartParams start = Start("", 1, 50);
    std::memset(start.portName, 'A', sizeof start.portName);
    EXPECT_EQ(Call(QOR_OP_COLD_START, &start), QOR_FAILED);
    EXPECT_EQ(context()->portHandle, 0u);

    ChangeParams change = Change("", 0, kLine9600);
    std::memset(change.portName, 'B', sizeof change.portName);
    EXPECT_EQ(Call(QOR_OP_CHANGE_QOR_PARAMS, &change), QOR_FAILED);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kColdStartFailed, kChangeFailed}));
    EXPECT_EQ(DescriptorsOpenedSinceSetUp(), 0);
}

// The active flag a change leaves: a context active without a port runs once
// the change opens its port.
TEST_F(Lifecycle, ChangeSuppliesThePortOfAContextActiveWithoutPort) {
    StartParams start = Start("/dev/nope0", 1, 40);
    ASSERT_EQ(Call(QOR_OP_COLD_START, &start), QOR_FAILED);
    ChangeParams change = Change(first_.slavePath, 0, kLine9600);
    ASSERT_EQ(Call(QOR_OP_CHANGE_QOR_PARAMS, &change), QOR_DONE);
    EXPECT_EQ(context()->active, 1);
    EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 40);
}

}  // namespace
