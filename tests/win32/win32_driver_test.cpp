// The driver through QorMain on Windows: start, stop and port management
// on the null device and a COM port, and reads and writes against the
// stations that optolink-sim serves on that port (tests/win32/stations.txt).
#include <gtest/gtest.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "context/shutdown_latch.h"
#include "entry/qor_interface.h"
#include "serial/serial_port.h"
#include "tests/support/log_capture.h"
#include "tests/win32/win32_line.h"

namespace {

const LogLine kInstalled{32, "DOVED: Dupline Optolink 32bit driver installed"};
const LogLine kColdStartFailed{32, "DOVED. ColdStart(): error opening COM port!"};
const LogLine kWarmStart{8, "DOVED: WarmStart()"};
const LogLine kEndQorFailed{32, "DOVED. EndQor(): error closing COM port!"};
const LogLine kChangeFailed{32, "DOVED: ChangeQorParams() open new COM port failed"};
constexpr LineSettings kLine9600{9600, 8, 0, 0};
constexpr LineSettings kLine19200{19200, 8, 0, 0};
// No handle of this process: closing it fails.
constexpr PortHandle kUnclosableHandle = 0x7FFFFFF0u;
constexpr const char *kMissingPort = "\\\\.\\COM99";

// The rate the port's own state holds, as SetCommState left it.
DWORD BaudOf(PortHandle handle) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)), &dcb)) return 0;
    return dcb.BaudRate;
}

// The port's read time-out in 10 ms units, read back without changing it.
int32_t ReadTimeoutUnits(PortHandle handle) {
    int32_t previous = SetReadTimeout(handle, 1);
    SetReadTimeout(handle, previous);
    return previous;
}

// Reply time-out of the transaction tests: 30 ms a character is plenty
// for a simulator on the same machine and keeps silent stations quick.
constexpr int32_t kReplyTimeout = 30;

class Win32Driver : public ::testing::Test {
protected:
    void SetUp() override {
        ClearShutdownLatch();
        std::memset(block_, 0, sizeof block_);
        port_ = SimulatorPort();
    }
    void TearDown() override {
        if (!ShutdownLatchIsSet() && context()->portHandle != 0) Call(QOR_OP_CLOSE_COM);
        ClearShutdownLatch();
    }

    int32_t Call(uint32_t operation, void *data = nullptr) {
        QorRequest request{block_, operation, 0, 0, data};
        return QorMain(&request);
    }
    DriverContext *context() { return reinterpret_cast<DriverContext *>(block_); }

    int32_t ColdStart(const std::string &name, int32_t replyTimeout = kReplyTimeout,
                      LineSettings line = kLine9600, int32_t enabled = 1) {
        StartParams start{};
        std::strncpy(start.portName, name.c_str(), sizeof start.portName - 1);
        start.enabled = enabled;
        start.replyTimeout = replyTimeout;
        start.line = line;
        return Call(QOR_OP_COLD_START, &start);
    }
    int32_t Change(const std::string &name, int32_t replyTimeout, LineSettings line) {
        ChangeParams change{};
        std::strncpy(change.portName, name.c_str(), sizeof change.portName - 1);
        change.replyTimeout = replyTimeout;
        change.line = line;
        return Call(QOR_OP_CHANGE_QOR_PARAMS, &change);
    }
    void StartOnSimulator() {
        ASSERT_FALSE(port_.empty()) << "DOVED_SIM_COM is not set: run through tests/win32/run-wine.sh";
        LogCapture log;
        ASSERT_EQ(ColdStart(port_), QOR_DONE);
        ASSERT_EQ(log.Lines(), (std::vector<LogLine>{kInstalled}));
    }

    // A gate as the host keeps it: the text and the words its parser wrote.
    struct Gate {
        std::string text;
        GateRecord record{};
        int16_t values[17] = {};
    };
    void Parse(Gate &gate, const char *text, int32_t dataType) {
        gate.text = text;
        AddressParseRecord parse{};
        parse.text = gate.text.c_str();
        parse.dataType = dataType;
        parse.elementCount = 1;
        ASSERT_EQ(Call(QOR_OP_SINGLE_ADDRESS_PARSER, &parse), QOR_DONE) << text;
        gate.record.text = gate.text.c_str();
        std::memcpy(gate.record.words, parse.words, sizeof parse.words);
        gate.record.elementCount = 1;
        gate.record.values = gate.values;
    }

    alignas(8) unsigned char block_[QOR_CONTEXT_SIZE];
    std::string port_;
};

TEST_F(Win32Driver, NullDeviceStartsAndCloses) {
    LogCapture log;
    ASSERT_EQ(ColdStart("NUL"), QOR_DONE);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kInstalled}));
    EXPECT_EQ(context()->active, 1);
    EXPECT_NE(context()->portHandle, 0u);
    EXPECT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);
    EXPECT_EQ(context()->portHandle, 0u);
    EXPECT_EQ(Call(QOR_OP_REOPEN_COM), QOR_DONE);
    EXPECT_NE(context()->portHandle, 0u);
}

TEST_F(Win32Driver, MissingComPortFailsTheStart) {
    LogCapture log;
    EXPECT_EQ(ColdStart(kMissingPort), QOR_FAILED);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kColdStartFailed}));
    EXPECT_EQ(context()->portHandle, 0u);
}

TEST_F(Win32Driver, ComPortStartsClosesReopensAndEnds) {
    StartOnSimulator();
    EXPECT_EQ(context()->replyTimeout, kReplyTimeout);
    ASSERT_NE(context()->portHandle, 0u);
    EXPECT_EQ(SetReadTimeout(context()->portHandle, kReplyTimeout), kReplyTimeout);

    // Closed, the port opens again, through the context and directly.
    ASSERT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);
    EXPECT_EQ(context()->portHandle, 0u);
    PortHandle probe = 0;
    ASSERT_EQ(PortOpen(port_.c_str(), &kLine9600, QOR_CONTROL_FLAGS_DEFAULT, &probe), kPortDone);
    PortClose(probe);
    ASSERT_EQ(Call(QOR_OP_REOPEN_COM), QOR_DONE);
    EXPECT_NE(context()->portHandle, 0u);

    // EndQor closes the port and silences the driver: a start opens nothing.
    EXPECT_EQ(Call(QOR_OP_END_QOR), QOR_DONE);
    EXPECT_EQ(context()->portHandle, 0u);
    EXPECT_EQ(ColdStart(port_), QOR_DONE);
    EXPECT_EQ(context()->portHandle, 0u);
}

struct ReadCase {
    const char *text;
    int32_t dataType;
    int16_t value;
};

class Win32Read : public Win32Driver, public ::testing::WithParamInterface<ReadCase> {};

// Station 5: groups 00 00 5A 00 F2 37; one data query, answered at once.
TEST_P(Win32Read, DeliversTheStationsValue) {
    StartOnSimulator();
    Gate gate;
    Parse(gate, GetParam().text, GetParam().dataType);
    gate.values[1] = 7777;
    size_t framesBefore = FramesReceived().size();
    LogCapture log;
    ASSERT_EQ(Call(QOR_OP_SINGLE_READ, &gate.record), QOR_DONE);
    EXPECT_EQ(gate.values[1], GetParam().value);
    EXPECT_EQ(gate.values[0], 0) << "element 0 is not touched";
    EXPECT_TRUE(log.Lines().empty());
    std::vector<std::string> frames = FramesReceived();
    ASSERT_EQ(frames.size(), framesBefore + 1);
    EXPECT_EQ(frames.back(), "s@E@@B@@@MKe");
}

INSTANTIATE_TEST_SUITE_P(Gates, Win32Read,
                         ::testing::Values(ReadCase{"05CA", QOR_TYPE_BYTE, 0x5A},
                                           ReadCase{"05C3", QOR_TYPE_BIT, 1},
                                           ReadCase{"05C0", QOR_TYPE_BIT, 0},
                                           ReadCase{"05EC", QOR_TYPE_COMPOUND, -1237}));

// Station 20 is not on the line: four attempts, each a lost reply.
TEST_F(Win32Driver, SilentStationFailsTheRead) {
    StartOnSimulator();
    Gate gate;
    Parse(gate, "20CA", QOR_TYPE_BYTE);
    gate.values[1] = 7777;
    size_t framesBefore = FramesReceived().size();
    LogCapture log;
    EXPECT_EQ(Call(QOR_OP_SINGLE_READ, &gate.record), QOR_FAILED);
    EXPECT_EQ(gate.values[1], 7777);
    std::vector<LogLine> lines = log.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().level, 32);
    EXPECT_EQ(lines.back().text.rfind("DOVED: Single Read Failed. Gate = ", 0), 0u) << lines.back().text;
    EXPECT_EQ(FramesReceived().size(), framesBefore + 4);
}

// A byte written to station 5 is what the next read returns; the mask
// reply (groups B and D are the station's own) leaves the others alone.
TEST_F(Win32Driver, WrittenByteIsReadBack) {
    StartOnSimulator();
    Gate gate;
    Parse(gate, "05CA", QOR_TYPE_BYTE);
    Gate other;
    Parse(other, "05EC", QOR_TYPE_COMPOUND);
    gate.values[1] = 0x21;
    size_t framesBefore = FramesReceived().size();
    ASSERT_EQ(Call(QOR_OP_SINGLE_WRITE, &gate.record), QOR_DONE);
    // A mask query, a data query and the write frame.
    EXPECT_EQ(FramesReceived().size(), framesBefore + 3);

    gate.values[1] = 0;
    ASSERT_EQ(Call(QOR_OP_SINGLE_READ, &gate.record), QOR_DONE);
    EXPECT_EQ(gate.values[1], 0x21);
    ASSERT_EQ(Call(QOR_OP_SINGLE_READ, &other.record), QOR_DONE);
    EXPECT_EQ(other.values[1], -1237);

    gate.values[1] = 0x5A;  // as the stations file has it, for the other cases
    EXPECT_EQ(Call(QOR_OP_SINGLE_WRITE, &gate.record), QOR_DONE);
}

// Start, stop and port changes on the COM port and the null device: the
// lifecycle's rules held against the Win32 layer. Wine does not enforce
// share mode 0, so where the Linux suite probes whether a port is free,
// these look at the context's handle and at the port's own state.
class Win32Lifecycle : public Win32Driver {
protected:
    void SetUp() override {
        Win32Driver::SetUp();
        ASSERT_FALSE(port_.empty()) << "DOVED_SIM_COM is not set: run through tests/win32/run-wine.sh";
    }
};

TEST_F(Win32Lifecycle, StartOpensTheLineWithItsSettingsAndReplyTimeout) {
    LogCapture log;
    ASSERT_EQ(ColdStart(port_, 50, kLine19200), QOR_DONE);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kInstalled}));
    EXPECT_EQ(context()->active, 1);
    EXPECT_EQ(context()->replyTimeout, 50);
    EXPECT_EQ(context()->portSettings.controlFlags, QOR_CONTROL_FLAGS_DEFAULT);
    EXPECT_STREQ(context()->portSettings.name, port_.c_str());
    ASSERT_NE(context()->portHandle, 0u);
    EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 50);
    EXPECT_EQ(BaudOf(context()->portHandle), 19200u);
}

TEST_F(Win32Lifecycle, StartWithoutPortOpensNothingUntilReOpenCom) {
    LogCapture log;
    ASSERT_EQ(ColdStart(port_, 50, kLine19200, 0), QOR_DONE);
    EXPECT_EQ(context()->active, 0);
    EXPECT_EQ(context()->portHandle, 0u);
    EXPECT_EQ(Call(QOR_OP_WARM_START), QOR_DONE);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kWarmStart}));

    // The start stored the named port and its line.
    ASSERT_EQ(Call(QOR_OP_REOPEN_COM), QOR_DONE);
    EXPECT_EQ(context()->active, 1);
    ASSERT_NE(context()->portHandle, 0u);
    EXPECT_EQ(BaudOf(context()->portHandle), 19200u);
}

// 0 and below keep the 1000 ms of the open, also for a later change.
TEST_F(Win32Lifecycle, NonPositiveReplyTimeoutKeepsTheOpenTimeout) {
    for (int32_t timeout : {0, -3}) {
        SCOPED_TRACE(timeout);
        ASSERT_EQ(ColdStart(port_, timeout), QOR_DONE);
        EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 100);
        EXPECT_EQ(context()->replyTimeout, 100);
        ASSERT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);

        // From the null device back to the COM port with a negative one.
        ASSERT_EQ(ColdStart("NUL", timeout), QOR_DONE);
        ASSERT_EQ(Change(port_, -7, LineSettings{0, 0, 0, 0}), QOR_DONE);
        EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 100);
        ASSERT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);
    }
}

// A reply nobody read waits on the line; WarmStart drains it and puts the
// reply time-out back.
TEST_F(Win32Lifecycle, WarmStartDrainsTheLine) {
    ASSERT_EQ(ColdStart(port_, 5), QOR_DONE);
    uint32_t written = 0;
    ASSERT_EQ(PortWrite(context()->portHandle, "s@E@@B@@@MKe", 12, &written), kPortDone);
    Sleep(300);

    LogCapture log;
    EXPECT_EQ(Call(QOR_OP_WARM_START), QOR_DONE);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kWarmStart}));
    char c = 0;
    uint32_t received = 99;
    EXPECT_EQ(PortRead(context()->portHandle, &c, 1, &received), kPortIoFailed);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 5);
}

TEST_F(Win32Lifecycle, CloseComTwiceThenEndQorSilencesTheDriver) {
    ASSERT_EQ(ColdStart(port_), QOR_DONE);
    LogCapture log;
    ASSERT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);
    EXPECT_EQ(context()->portHandle, 0u);
    EXPECT_EQ(context()->active, 0);
    EXPECT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);
    EXPECT_EQ(Call(QOR_OP_END_QOR), QOR_DONE);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_TRUE(ShutdownLatchIsSet());
    EXPECT_EQ(ColdStart(port_), QOR_DONE);
    EXPECT_EQ(context()->portHandle, 0u);
}

// A handle Windows cannot close: EndQor and ChangeQorParams report it and
// keep it recorded rather than lose track of a port.
TEST_F(Win32Lifecycle, PortThatCannotBeClosed) {
    ASSERT_EQ(ColdStart(port_), QOR_DONE);
    const PortHandle real = context()->portHandle;
    context()->portHandle = kUnclosableHandle;
    {
        LogCapture log;
        EXPECT_EQ(Change("NUL", 0, kLine9600), QOR_FAILED);
        EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kChangeFailed}));
        EXPECT_EQ(context()->portHandle, kUnclosableHandle);
        EXPECT_EQ(context()->active, 1);
        EXPECT_STREQ(context()->portSettings.name, port_.c_str());
    }
    {
        LogCapture log;
        EXPECT_EQ(Call(QOR_OP_END_QOR), QOR_FAILED);
        EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kEndQorFailed}));
        EXPECT_EQ(context()->portHandle, kUnclosableHandle);
        EXPECT_TRUE(ShutdownLatchIsSet());
    }
    EXPECT_EQ(PortClose(real), kPortDone);
    context()->portHandle = 0;
}

TEST_F(Win32Lifecycle, ReOpenComUsesTheStoredPortAndTheOpenTimeout) {
    ASSERT_EQ(ColdStart(port_, 50, kLine19200), QOR_DONE);
    ASSERT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);
    LogCapture log;
    ASSERT_EQ(Call(QOR_OP_REOPEN_COM), QOR_DONE);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(context()->active, 1);
    EXPECT_EQ(context()->replyTimeout, 50);
    EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 100);
    EXPECT_EQ(BaudOf(context()->portHandle), 19200u);
}

// A context that holds its port answers 2 and keeps it: the null device
// and, under Wine, the COM port too would take a second open.
TEST_F(Win32Lifecycle, ReOpenComOnARunningContextKeepsItsPort) {
    for (const std::string &port : {port_, std::string("NUL")}) {
        SCOPED_TRACE(port);
        ASSERT_EQ(ColdStart(port), QOR_DONE);
        const PortHandle held = context()->portHandle;
        EXPECT_EQ(Call(QOR_OP_REOPEN_COM), QOR_FAILED);
        EXPECT_EQ(context()->portHandle, held);
        EXPECT_EQ(context()->active, 1);
        ASSERT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);
    }
}

TEST_F(Win32Lifecycle, ChangeOnAnIdleContextOpensTheStoredPort) {
    ASSERT_EQ(ColdStart(port_, 30, kLine19200), QOR_DONE);
    ASSERT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);
    LogCapture log;
    ASSERT_EQ(Change(port_, 0, LineSettings{0, 7, 2, 1}), QOR_DONE);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 30);
    EXPECT_EQ(BaudOf(context()->portHandle), 19200u);
    EXPECT_EQ(context()->portSettings.line.dataBits, 8);  // baud 0 keeps all four words
    EXPECT_EQ(context()->active, 0);                      // the host had made it inactive
}

TEST_F(Win32Lifecycle, ChangeToTheOpenPortFailsButStoresTheNewSettings) {
    ASSERT_EQ(ColdStart(port_, 50, kLine9600), QOR_DONE);
    const PortHandle held = context()->portHandle;
    LogCapture log;
    EXPECT_EQ(Change(port_, 20, kLine19200), QOR_FAILED);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kChangeFailed}));
    EXPECT_EQ(context()->portHandle, held);
    EXPECT_EQ(context()->active, 1);
    EXPECT_EQ(BaudOf(held), 9600u);
    EXPECT_EQ(context()->portSettings.line.baud, 19200);
    EXPECT_EQ(context()->replyTimeout, 20);

    ASSERT_EQ(Call(QOR_OP_CLOSE_COM), QOR_DONE);
    ASSERT_EQ(Call(QOR_OP_REOPEN_COM), QOR_DONE);
    EXPECT_EQ(BaudOf(context()->portHandle), 19200u);
}

// A running context moves between the COM port and the null device and
// keeps running; the COM port comes back with the change's line.
TEST_F(Win32Lifecycle, ChangeToAnotherPortKeepsARunningContextRunning) {
    ASSERT_EQ(ColdStart(port_, 50), QOR_DONE);
    LogCapture log;
    ASSERT_EQ(Change("NUL", 0, kLine9600), QOR_DONE);
    EXPECT_STREQ(context()->portSettings.name, "NUL");
    EXPECT_EQ(context()->active, 1);
    ASSERT_NE(context()->portHandle, 0u);

    ASSERT_EQ(Change(port_, 0, kLine19200), QOR_DONE);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_STREQ(context()->portSettings.name, port_.c_str());
    EXPECT_EQ(context()->active, 1);
    EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 50);
    EXPECT_EQ(BaudOf(context()->portHandle), 19200u);
}

TEST_F(Win32Lifecycle, ChangeToAPortThatCannotOpenLeavesNoPortOpen) {
    ASSERT_EQ(ColdStart(port_), QOR_DONE);
    LogCapture log;
    EXPECT_EQ(Change(kMissingPort, 0, kLine9600), QOR_FAILED);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kChangeFailed}));
    EXPECT_EQ(context()->portHandle, 0u);
    EXPECT_EQ(context()->active, 0);
}

// A context active without a port runs once a change opens one.
TEST_F(Win32Lifecycle, ChangeSuppliesThePortOfAContextActiveWithoutPort) {
    ASSERT_EQ(ColdStart(kMissingPort, 40), QOR_FAILED);
    EXPECT_EQ(context()->active, 1);
    ASSERT_EQ(Change(port_, 0, kLine9600), QOR_DONE);
    EXPECT_EQ(context()->active, 1);
    EXPECT_EQ(ReadTimeoutUnits(context()->portHandle), 40);
}

// A name that fills its 12 bytes without a terminating zero opens nothing.
TEST_F(Win32Lifecycle, UnterminatedPortNameFailsToOpen) {
    LogCapture log;
    StartParams start{};
    std::memset(start.portName, 'A', sizeof start.portName);
    start.enabled = 1;
    start.line = kLine9600;
    EXPECT_EQ(Call(QOR_OP_COLD_START, &start), QOR_FAILED);
    EXPECT_EQ(context()->portHandle, 0u);
    ChangeParams change{};
    std::memset(change.portName, 'B', sizeof change.portName);
    change.line = kLine9600;
    EXPECT_EQ(Call(QOR_OP_CHANGE_QOR_PARAMS, &change), QOR_FAILED);
    EXPECT_EQ(context()->portHandle, 0u);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kColdStartFailed, kChangeFailed}));
}

}  // namespace
