// Layout of the host records. In a 32-bit process (the hosts in the field:
// i386 Linux, i686 Windows) every record is the binary interface the host
// was built against, byte for byte; in a 64-bit process pointers are native
// and the records follow natural alignment.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>

#include "entry/qor_interface.h"

namespace {

struct FieldLayout {
    const char *name;
    size_t offset;     // where the field is in this build
    size_t size;       // its width in this build
    size_t offset32;   // where a 32-bit host has it
    size_t size32;
    size_t offset64;   // natural alignment with 8-byte pointers
    size_t size64;
};

void PrintTo(const FieldLayout &field, std::ostream *os) { *os << field.name; }

#define FIELD(record, field, off32, size32, off64, size64)                                    \
    FieldLayout{#record "." #field, offsetof(record, field), sizeof(record::field), off32, size32, \
                off64, size64}
#define RECORD(record, size32, size64) \
    FieldLayout{#record, 0, sizeof(record), 0, size32, 0, size64}

const FieldLayout kLayouts[] = {
    RECORD(QorRequest, 20, 32),
    FIELD(QorRequest, context, 0, 4, 0, 8),
    FIELD(QorRequest, operation, 4, 4, 8, 4),
    FIELD(QorRequest, reserved1, 8, 4, 12, 4),
    FIELD(QorRequest, reserved2, 12, 4, 16, 4),
    FIELD(QorRequest, data, 16, 4, 24, 8),

    RECORD(LineSettings, 8, 8),
    FIELD(LineSettings, baud, 0, 2, 0, 2),
    FIELD(LineSettings, dataBits, 2, 2, 2, 2),
    FIELD(LineSettings, stopBits, 4, 2, 4, 2),
    FIELD(LineSettings, parity, 6, 2, 6, 2),

    RECORD(PortSettings, 22, 22),
    FIELD(PortSettings, name, 0, 12, 0, 12),
    FIELD(PortSettings, line, 12, 8, 12, 8),
    FIELD(PortSettings, controlFlags, 20, 2, 20, 2),

    RECORD(QorInfo, 32, 48),
    FIELD(QorInfo, hostNumber1, 0, 4, 0, 4),
    FIELD(QorInfo, shortName, 4, 4, 8, 8),
    FIELD(QorInfo, banner, 8, 4, 16, 8),
    FIELD(QorInfo, contextSize, 12, 4, 24, 4),
    FIELD(QorInfo, hostNumber2, 16, 4, 28, 4),
    FIELD(QorInfo, defaultLine, 20, 8, 32, 8),
    FIELD(QorInfo, hostNumber3, 28, 4, 40, 4),

    // The host sees only the start of its context block; the fields the
    // driver keeps there are the same in both builds.
    FIELD(DriverContext, replyTimeout, 0, 4, 0, 4),
    FIELD(DriverContext, active, 4, 4, 4, 4),
    FIELD(DriverContext, reserved, 8, 4, 8, 4),
    FIELD(DriverContext, portHandle, 12, 4, 12, 4),
    FIELD(DriverContext, portSettings, 16, 22, 16, 22),

    RECORD(StartParams, 28, 28),
    FIELD(StartParams, portName, 0, 12, 0, 12),
    FIELD(StartParams, enabled, 12, 4, 12, 4),
    FIELD(StartParams, replyTimeout, 16, 4, 16, 4),
    FIELD(StartParams, line, 20, 8, 20, 8),

    RECORD(ChangeParams, 24, 24),
    FIELD(ChangeParams, portName, 0, 12, 0, 12),
    FIELD(ChangeParams, replyTimeout, 12, 4, 12, 4),
    FIELD(ChangeParams, line, 16, 8, 16, 8),

    RECORD(AddressParseRecord, 36, 40),
    FIELD(AddressParseRecord, text, 0, 4, 0, 8),
    FIELD(AddressParseRecord, reserved, 4, 4, 8, 4),
    FIELD(AddressParseRecord, dataType, 8, 4, 12, 4),
    FIELD(AddressParseRecord, elementCount, 12, 4, 16, 4),
    FIELD(AddressParseRecord, words, 16, 20, 20, 20),

    RECORD(GateRecord, 44, 56),
    FIELD(GateRecord, text, 0, 4, 0, 8),
    FIELD(GateRecord, reserved1, 4, 4, 8, 4),
    FIELD(GateRecord, words, 8, 20, 12, 20),
    FIELD(GateRecord, reserved2, 28, 4, 32, 4),
    FIELD(GateRecord, elementCount, 32, 4, 36, 4),
    FIELD(GateRecord, reserved3, 36, 4, 40, 4),
    FIELD(GateRecord, values, 40, 4, 48, 8),
};

#undef FIELD
#undef RECORD

class HostRecordLayout : public ::testing::TestWithParam<FieldLayout> {};

TEST_P(HostRecordLayout, MatchesThisProcessWidth) {
    static_assert(sizeof(void *) == 4 || sizeof(void *) == 8, "32-bit or 64-bit process");
    const FieldLayout &field = GetParam();
    if (sizeof(void *) == 4) {
        EXPECT_EQ(field.offset, field.offset32);
        EXPECT_EQ(field.size, field.size32);
    } else {
        EXPECT_EQ(field.offset, field.offset64);
        EXPECT_EQ(field.size, field.size64);
    }
}

INSTANTIATE_TEST_SUITE_P(Records, HostRecordLayout, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<FieldLayout> &info) {
                             std::string name = info.param.name;
                             for (char &c : name)
                                 if (c == '.') c = '_';
                             return name;
                         });

// A ColdStart record as a host lays it out in memory: name, enabled,
// reply time-out, then the four line words, little-endian, no gaps.
TEST(HostRecordBytes, StartParamsReadAsTheHostWroteThem) {
    const unsigned char image[28] = {
        'C', 'O', 'M', '7', 0, 0, 0, 0, 0, 0, 0, 0,  // portName
        0x01, 0x00, 0x00, 0x00,                      // enabled 1
        0x2C, 0x01, 0x00, 0x00,                      // replyTimeout 300
        0x00, 0xE1,                                  // baud 57600 (unsigned)
        0x08, 0x00,                                  // dataBits 8
        0x02, 0x00,                                  // stopBits 2
        0x02, 0x00,                                  // parity 2 (even)
    };
    static_assert(sizeof image == sizeof(StartParams));
    StartParams start;
    std::memcpy(&start, image, sizeof image);
    EXPECT_STREQ(start.portName, "COM7");
    EXPECT_EQ(start.enabled, 1);
    EXPECT_EQ(start.replyTimeout, 300);
    EXPECT_EQ(start.line.baud, 57600u);
    EXPECT_EQ(start.line.dataBits, 8u);
    EXPECT_EQ(start.line.stopBits, 2u);
    EXPECT_EQ(start.line.parity, 2u);
}

}  // namespace
