// GetQorInfo: the information record and the banner's exact bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "context/shutdown_latch.h"
#include "entry/qor_interface.h"

namespace {

QorInfo *Fill(void *record) {
    QorRequest request{nullptr, QOR_OP_GET_QOR_INFO, 0, 0, record};
    EXPECT_EQ(QorMain(&request), QOR_DONE);
    return static_cast<QorInfo *>(record);
}

TEST(DriverInfo, FillsTheRecordWithANullContext) {
    ClearShutdownLatch();
    QorInfo info{};
    Fill(&info);
    EXPECT_EQ(info.hostNumber1, 70);
    EXPECT_STREQ(info.shortName, "Electromatic DUPLINE");
    EXPECT_EQ(info.contextSize, 708);
    EXPECT_EQ(info.hostNumber2, 4);
    EXPECT_EQ(info.defaultLine.baud, 9600);
    EXPECT_EQ(info.defaultLine.dataBits, 8);
    EXPECT_EQ(info.defaultLine.stopBits, 1);
    EXPECT_EQ(info.defaultLine.parity, 0);
    EXPECT_EQ(info.hostNumber3, 3);
}

TEST(DriverInfo, TwoCallsGiveTheSameTextsAndLeaveBytesBeyondTheRecord) {
    ClearShutdownLatch();
    unsigned char block[sizeof(QorInfo) + 16];
    std::memset(block, 0xEE, sizeof block);
    const QorInfo first = *Fill(block);
    for (size_t i = sizeof(QorInfo); i < sizeof block; ++i) EXPECT_EQ(block[i], 0xEE) << i;

    QorInfo second{};
    Fill(&second);
    EXPECT_EQ(first.shortName, second.shortName);
    EXPECT_EQ(first.banner, second.banner);
    EXPECT_EQ(first.contextSize, second.contextSize);
    EXPECT_EQ(first.defaultLine.baud, second.defaultLine.baud);
}

std::string Repeat(unsigned char c, int times) { return std::string(static_cast<size_t>(times), static_cast<char>(c)); }

TEST(DriverInfo, BannerBytesInCodePage437) {
    ClearShutdownLatch();
    QorInfo info{};
    Fill(&info);
    const std::string banner(info.banner);
    ASSERT_EQ(banner.size(), 379u);
    EXPECT_EQ(banner.find('\r'), std::string::npos);

    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t end; (end = banner.find('\n', start)) != std::string::npos; start = end + 1)
        pieces.push_back(banner.substr(start, end - start));
    pieces.push_back(banner.substr(start));
    ASSERT_EQ(pieces.size(), 8u);
    EXPECT_EQ(pieces.front(), "");
    EXPECT_EQ(pieces.back(), "");
    for (int line = 1; line <= 6; ++line) EXPECT_EQ(pieces[line].size(), 62u) << line;

    const std::string v = Repeat(0xBA, 1);
    EXPECT_EQ(pieces[1], " " + Repeat(0xC9, 1) + Repeat(0xCD, 59) + Repeat(0xBB, 1));
    EXPECT_EQ(pieces[2], " " + v + " " + Repeat(0xDB, 5) + Repeat(0xB2, 6) + Repeat(0xB1, 6) + Repeat(0xB0, 6) +
                             " Q O R D O " + Repeat(0xB0, 6) + Repeat(0xB1, 6) + Repeat(0xB2, 6) + Repeat(0xDB, 5) +
                             " " + v);
    EXPECT_EQ(pieces[3], " " + v + std::string(8, ' ') + "Electromatic DUPLINE  , Driver installed." +
                             std::string(10, ' ') + v);
    EXPECT_EQ(pieces[4], " " + v + std::string(12, ' ') + "OPTOLINK driver , Optolink protocol" +
                             std::string(12, ' ') + v);
    // The fifth line carries the version, centred within the frame.
    const std::string fifth = pieces[5];
    EXPECT_EQ(fifth.substr(0, 2), " " + v);
    EXPECT_EQ(fifth.substr(61), v);
    const std::string inside = fifth.substr(2, 59);
    const size_t version = inside.find("5.33");
    ASSERT_NE(version, std::string::npos);
    const size_t first = inside.find_first_not_of(' ');
    const size_t last = inside.find_last_not_of(' ');
    EXPECT_LE((first > 58 - last ? first - (58 - last) : (58 - last) - first), 1u) << inside;
    EXPECT_EQ(pieces[6], " " + Repeat(0xC8, 1) + Repeat(0xCD, 59) + Repeat(0xBC, 1));
}

}  // namespace
