// GetQorInfo: what the host needs to know before it allocates a context.
#include "entry/driver_info.h"

#include <array>
#include <cstddef>
#include <string_view>

namespace {

// Code page 437 bytes of the frame and block characters.
constexpr char kDoubleTopLeft = '\xC9';
constexpr char kDoubleHorizontal = '\xCD';
constexpr char kDoubleTopRight = '\xBB';
constexpr char kDoubleVertical = '\xBA';
constexpr char kDoubleBottomLeft = '\xC8';
constexpr char kDoubleBottomRight = '\xBC';
constexpr char kFullBlock = '\xDB';
constexpr char kDarkShade = '\xB2';
constexpr char kMediumShade = '\xB1';
constexpr char kLightShade = '\xB0';

constexpr int kFrameInside = 59;  // characters between the two verticals
constexpr std::size_t kBannerLength = 1 + 6 * (1 + 1 + kFrameInside + 1 + 1);

struct BannerWriter {
    std::array<char, kBannerLength + 1> bytes{};
    std::size_t length = 0;

    constexpr void Put(char c, int times = 1) {
        for (int i = 0; i < times; ++i) bytes[length++] = c;
    }
    constexpr void Put(std::string_view text) {
        for (char c : text) bytes[length++] = c;
    }
    // One framed line: leading space, vertical, centred text padded to 59.
    constexpr void FramedText(std::string_view text, int left) {
        Put(' ');
        Put(kDoubleVertical);
        Put(' ', left);
        Put(text);
        Put(' ', kFrameInside - left - static_cast<int>(text.size()));
        Put(kDoubleVertical);
        Put('\n');
    }
    constexpr void Rule(char leftCorner, char rightCorner) {
        Put(' ');
        Put(leftCorner);
        Put(kDoubleHorizontal, kFrameInside);
        Put(rightCorner);
        Put('\n');
    }
};

constexpr std::string_view kVersionLine = "DOVED driver version 5.33";

constexpr std::array<char, kBannerLength + 1> MakeBanner() {
    BannerWriter w;
    w.Put('\n');
    w.Rule(kDoubleTopLeft, kDoubleTopRight);

    w.Put(' ');
    w.Put(kDoubleVertical);
    w.Put(' ');
    w.Put(kFullBlock, 5);
    w.Put(kDarkShade, 6);
    w.Put(kMediumShade, 6);
    w.Put(kLightShade, 6);
    w.Put(" Q O R D O ");
    w.Put(kLightShade, 6);
    w.Put(kMediumShade, 6);
    w.Put(kDarkShade, 6);
    w.Put(kFullBlock, 5);
    w.Put(' ');
    w.Put(kDoubleVertical);
    w.Put('\n');

    w.FramedText("Electromatic DUPLINE  , Driver installed.", 8);
    w.FramedText("OPTOLINK driver , Optolink protocol", 12);
    w.FramedText(kVersionLine, (kFrameInside - static_cast<int>(kVersionLine.size())) / 2);
    w.Rule(kDoubleBottomLeft, kDoubleBottomRight);
    w.bytes[w.length] = '\0';
    return w.bytes;
}

constexpr std::array<char, kBannerLength + 1> kBanner = MakeBanner();
static_assert(kBannerLength == 379);
static_assert(kBanner[kBannerLength] == '\0' && kBanner[kBannerLength - 1] == '\n');

constexpr char kShortName[] = "Electromatic DUPLINE";

}  // namespace

int32_t GetQorInfo(const QorRequest *request) {
    // Exactly the 32 bytes of the record are written, field by field, so
    // nothing beyond them (or padding on other targets) is touched.
    auto *info = static_cast<QorInfo *>(request->data);
    info->hostNumber1 = 70;
    info->shortName = kShortName;
    info->banner = kBanner.data();
    info->contextSize = QOR_CONTEXT_SIZE;
    info->hostNumber2 = 4;
    info->defaultLine = LineSettings{9600, 8, 1, 0};
    info->hostNumber3 = 3;
    return QOR_DONE;
}
