// The entry point: dispatch of operation codes and the shutdown latch.
#include <gtest/gtest.h>

#include <cstring>

#include "context/shutdown_latch.h"
#include "entry/qor_interface.h"
#include "tests/support/log_capture.h"

namespace {

int32_t Call(uint32_t operation, void *context = nullptr, void *data = nullptr) {
    QorRequest request{context, operation, 0, 0, data};
    return QorMain(&request);
}

class EntryPoint : public ::testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override { ClearShutdownLatch(); }
    void TearDown() override { ClearShutdownLatch(); }
};

// Codes without a handler answer 2 and log nothing; the code is unsigned,
// so all bits set counts as a large code.
TEST_P(EntryPoint, CodeWithoutHandlerFails) {
    LogCapture log;
    EXPECT_EQ(Call(GetParam()), QOR_FAILED);
    EXPECT_TRUE(log.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(EmptyAndOutOfRange, EntryPoint,
                         ::testing::Values(0u, 8u, 9u, 16u, 17u, 99u, 0x7FFFFFFFu, 0xFFFFFFFFu));

class ShutdownLatch : public ::testing::Test {
protected:
    void SetUp() override { ClearShutdownLatch(); }
    void TearDown() override { ClearShutdownLatch(); }
};

TEST_F(ShutdownLatch, EndQorSilencesEveryCodeOfEveryContext) {
    alignas(8) unsigned char first[QOR_CONTEXT_SIZE] = {};
    alignas(8) unsigned char second[QOR_CONTEXT_SIZE] = {};
    StartParams idle{};
    idle.enabled = 0;
    idle.replyTimeout = 10;
    ASSERT_EQ(Call(QOR_OP_COLD_START, first, &idle), QOR_DONE);
    ASSERT_EQ(Call(QOR_OP_COLD_START, second, &idle), QOR_DONE);
    ASSERT_EQ(Call(QOR_OP_END_QOR, first), QOR_DONE);

    LogCapture log;
    for (uint32_t code : {0u, 8u, 16u, 17u, 99u, 0xFFFFFFFFu}) EXPECT_EQ(Call(code, second), QOR_DONE) << code;

    // GetQorInfo leaves its record as the host put it.
    QorInfo info;
    std::memset(&info, 0xA5, sizeof info);
    QorInfo before = info;
    EXPECT_EQ(Call(QOR_OP_GET_QOR_INFO, nullptr, &info), QOR_DONE);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);

    // A read on the other context leaves the value buffer alone.
    int16_t values[2] = {1234, 5678};
    GateRecord gate{};
    gate.text = "01AA";
    gate.words[QOR_WORD_STATION] = 1;
    gate.words[QOR_WORD_BIT] = QOR_NO_BIT;
    gate.elementCount = 1;
    gate.values = values;
    EXPECT_EQ(Call(QOR_OP_SINGLE_READ, second, &gate), QOR_DONE);
    EXPECT_EQ(values[0], 1234);
    EXPECT_EQ(values[1], 5678);

    // ColdStart does not run either: its context stays as it was.
    unsigned char untouched[QOR_CONTEXT_SIZE];
    std::memset(untouched, 0x5A, sizeof untouched);
    StartParams start{};
    std::strcpy(start.portName, "NUL");
    start.enabled = 1;
    start.replyTimeout = 10;
    EXPECT_EQ(Call(QOR_OP_COLD_START, untouched, &start), QOR_DONE);
    for (unsigned char byte : untouched) ASSERT_EQ(byte, 0x5A);

    // An address parse answers 0 without writing its words.
    AddressParseRecord parse{};
    parse.text = "01DC";
    parse.dataType = QOR_TYPE_COMPOUND;
    std::memset(parse.words, 0x11, sizeof parse.words);
    EXPECT_EQ(Call(QOR_OP_SINGLE_ADDRESS_PARSER, nullptr, &parse), QOR_DONE);
    EXPECT_EQ(parse.words[QOR_WORD_BIT], 0x11111111u);

    EXPECT_TRUE(log.Lines().empty());
}

// The latch is read before anything else: a request pointer to a record
// with an arbitrary code is not dereferenced past the latch test.
TEST_F(ShutdownLatch, NothingInTheRequestIsReadAfterEndQor) {
    SetShutdownLatch();
    EXPECT_EQ(QorMain(nullptr), QOR_DONE);
}

}  // namespace
