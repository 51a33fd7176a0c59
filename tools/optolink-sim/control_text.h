// The words and texts of the control line, for both of its ends (the
// simulator's control.cpp and a client such as the Windows tests'
// remote_simulator.cpp): standard C++ only.
//
// Texts travel as two hex digits a byte, so that any byte (spaces, line
// ends, the empty text) crosses a line-based protocol.
#pragma once

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace optolink_sim::control_text {

inline std::string Hex(const char *bytes, size_t size) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        text += kDigits[c >> 4];
        text += kDigits[c & 0x0F];
    }
    return text;
}

inline std::string Hex(const std::string &bytes) { return Hex(bytes.data(), bytes.size()); }

inline std::string Hex(const uint8_t (&bytes)[16]) { return Hex(reinterpret_cast<const char *>(bytes), 16); }

inline int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

inline bool Unhex(const std::string &text, std::string *bytes) {
    if (text.size() % 2 != 0) return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]);
        const int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        *bytes += static_cast<char>((high << 4) | low);
    }
    return true;
}

// Exactly 16 bytes: a station's groups or masks.
inline bool Unhex16(const std::string &text, uint8_t (&bytes)[16]) {
    std::string decoded;
    if (!Unhex(text, &decoded) || decoded.size() != 16) return false;
    std::memcpy(bytes, decoded.data(), 16);
    return true;
}

// A line's words, split at spaces (and tabs, CR).
inline std::vector<std::string> Words(const std::string &line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

}  // namespace optolink_sim::control_text
