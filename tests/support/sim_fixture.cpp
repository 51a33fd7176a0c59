#include "tests/support/sim_fixture.h"

#include <cstring>

#include "host/qorhost.h"
#include "tests/support/qor_call.h"

namespace {

int32_t DataTypeOf(const std::string &text) {
    const char suffix = text.size() > 3 ? text[3] : '\0';
    if (suffix == 'A' || suffix == 'a') return QOR_TYPE_BYTE;
    if (suffix == 'C' || suffix == 'c') return QOR_TYPE_COMPOUND;
    return QOR_TYPE_BIT;
}

}  // namespace

GateRecord TestGate::Record() {
    GateRecord record{};
    record.text = text.c_str();
    std::memcpy(record.words, words, sizeof words);
    record.elementCount = elementCount;
    record.values = values.data();
    return record;
}

void SimFixture::SetUp() {
    std::string error;
    sim_ = optolink_sim::Simulator::Start(optolink_sim::Options{}, &error);
    ASSERT_NE(sim_, nullptr) << error;
    ASSERT_EQ(StartOnSimulator(), QOR_DONE);
}

void SimFixture::TearDown() {
    // CloseCom, not EndQor: the shutdown latch would silence every later test.
    QorCall(context(), QOR_OP_CLOSE_COM, nullptr);
    sim_.reset();
}

int32_t ColdStartOn(void *context, const std::string &portName, int32_t enabled, int32_t replyTimeout) {
    StartParams start{};
    EXPECT_LT(portName.size(), sizeof start.portName) << portName;
    std::strncpy(start.portName, portName.c_str(), sizeof start.portName - 1);
    start.enabled = enabled;
    start.replyTimeout = replyTimeout;
    start.line = LineSettings{9600, 8, 0, 0};
    return QorCall(context, QOR_OP_COLD_START, &start);
}

std::string DriverPortName(const optolink_sim::Simulator &sim) {
    std::string path = sim.PortPath();
    const std::string dev = "/dev/";
    if (path.compare(0, dev.size(), dev) == 0) path = path.substr(dev.size());
    return path;
}

int32_t SimFixture::Start(const std::string &portName, int32_t enabled, int32_t replyTimeout) {
    // A context holding a port closes it first, as the host does.
    QorCall(context(), QOR_OP_CLOSE_COM, nullptr);
    const int32_t result = ColdStartOn(context(), portName, enabled, replyTimeout);
    log_.Clear();
    return result;
}

int32_t SimFixture::StartOnSimulator(int32_t replyTimeout) { return Start(DriverPortName(*sim_), 1, replyTimeout); }

TestGate Single(const std::string &text) {
    TestGate gate;
    gate.text = text;
    AddressParseRecord parse{};
    parse.text = gate.text.c_str();
    parse.dataType = DataTypeOf(text);
    EXPECT_EQ(QorCall(nullptr, QOR_OP_SINGLE_ADDRESS_PARSER, &parse), QOR_DONE) << text;
    std::memcpy(gate.words, parse.words, sizeof gate.words);
    return gate;
}

TestGate Block(const std::string &text, int32_t elementCount) {
    TestGate gate;
    gate.text = text;
    gate.elementCount = elementCount;
    AddressParseRecord parse{};
    parse.text = gate.text.c_str();
    parse.elementCount = elementCount;
    EXPECT_EQ(QorCall(nullptr, QOR_OP_BLOCK_ADDRESS_PARSER, &parse), QOR_DONE) << text << " count " << elementCount;
    std::memcpy(gate.words, parse.words, sizeof gate.words);
    return gate;
}

int32_t SimFixture::Run(uint32_t operation, TestGate &gate) {
    GateRecord record = gate.Record();
    return QorCall(context(), operation, &record);
}

LogLine Diagnostic(const std::string &text) { return LogLine{QOR_LOG_DIAGNOSTIC, text}; }
LogLine Operator(const std::string &text) { return LogLine{QOR_LOG_OPERATOR, text}; }

std::vector<LogLine> RetryLines(int first, int last) {
    std::vector<LogLine> lines;
    for (int retry = first; retry >= last; --retry)
        lines.push_back(Diagnostic("DOVED: DoBlockRead() error reading reply, retry " + std::to_string(retry)));
    return lines;
}

std::vector<LogLine> operator+(std::vector<LogLine> a, const std::vector<LogLine> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

optolink_sim::Response Silent() {
    optolink_sim::Response response;
    response.silent = true;
    return response;
}

optolink_sim::Response Raw(const std::string &text) {
    optolink_sim::Response response;
    response.raw = text;
    return response;
}

optolink_sim::Response JunkBefore(const std::string &junk) {
    optolink_sim::Response response;
    response.junkBefore = junk;
    return response;
}

optolink_sim::Response AnswerAs(int station) {
    optolink_sim::Response response;
    response.answerAs = station;
    return response;
}

optolink_sim::Response DropAck() {
    optolink_sim::Response response;
    response.dropAck = true;
    return response;
}

optolink_sim::Response CutAfter(int characters) {
    optolink_sim::Response response;
    response.truncateAfter = characters;
    return response;
}

optolink_sim::Response NeverEnds() {
    optolink_sim::Response response;
    response.neverEnds = true;
    return response;
}

optolink_sim::Response Delayed(int milliseconds) {
    optolink_sim::Response response;
    response.delayMs = milliseconds;
    return response;
}
