#include "tools/qorctl/cp437.h"

#include <cstdint>

namespace qorctl {

namespace {

struct Cp437Glyph {
    unsigned char byte;
    const char *utf8;
};

// The frame and block characters of the banner.
constexpr Cp437Glyph kGlyphs[] = {
    {0xB0, "\u2591"},  // ░ light shade
    {0xB1, "\u2592"},  // ▒ medium shade
    {0xB2, "\u2593"},  // ▓ dark shade
    {0xBA, "\u2551"},  // ║
    {0xBB, "\u2557"},  // ╗
    {0xBC, "\u255D"},  // ╝
    {0xC8, "\u255A"},  // ╚
    {0xC9, "\u2554"},  // ╔
    {0xCD, "\u2550"},  // ═
    {0xDB, "\u2588"},  // █ full block
};

}  // namespace

std::string Cp437ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte >= 0x20 && byte <= 0x7E) || byte == '\n') {
            out += c;
            continue;
        }
        const char *glyph = "\uFFFD";
        for (const Cp437Glyph &entry : kGlyphs) {
            if (entry.byte == byte) glyph = entry.utf8;
        }
        out += glyph;
    }
    return out;
}

}  // namespace qorctl
