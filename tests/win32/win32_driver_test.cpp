// The driver through QorMain on Windows: start, stop and port management
// on the null device and a COM port, and reads and writes against the
// stations that optolink-sim serves on that port (tests/win32/stations.txt).
#include <gtest/gtest.h>

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
constexpr LineSettings kLine9600{9600, 8, 0, 0};

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

    int32_t ColdStart(const std::string &name, int32_t replyTimeout = kReplyTimeout) {
        StartParams start{};
        std::strncpy(start.portName, name.c_str(), sizeof start.portName - 1);
        start.enabled = 1;
        start.replyTimeout = replyTimeout;
        start.line = kLine9600;
        return Call(QOR_OP_COLD_START, &start);
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
    EXPECT_EQ(ColdStart("\\\\.\\COM99"), QOR_FAILED);
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

}  // namespace
