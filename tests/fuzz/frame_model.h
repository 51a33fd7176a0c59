// The OPTOLINK frame layout written out a second time, from the frame
// formats, for the fuzz targets' expectations: what the station's bytes
// make of a reception, the requests the driver must send, and the values a
// reply carries. Deliberately shares no code with optolink/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace frame_model {

// A byte on the wire: "@" plus the high nibble, "@" plus the low nibble.
inline std::string Pair(unsigned byte) {
    std::string pair(2, '@');
    pair[0] = static_cast<char>('@' + ((byte >> 4) & 0x0F));
    pair[1] = static_cast<char>('@' + (byte & 0x0F));
    return pair;
}

// Checksum pair over the characters of body (whole pairs): the bytes,
// taken as the low four bits of each character, add up to 0 with it.
inline std::string Checksum(const std::string &body) {
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < body.size(); i += 2) {
        sum += 16u * (static_cast<unsigned char>(body[i]) & 0x0Fu) + (static_cast<unsigned char>(body[i + 1]) & 0x0Fu);
    }
    return Pair((256u - sum % 256u) % 256u);
}

// "s", body, checksum, "e".
inline std::string Frame(const std::string &body) { return "s" + body + Checksum(body) + "e"; }

inline std::string MaskQuery(unsigned station) { return Frame(Pair(station) + "@@@@@@"); }
inline std::string DataQuery(unsigned station) { return Frame(Pair(station) + "@@B@@@"); }

// A character's distance from "@", as an unsigned 8-bit value.
inline unsigned Nibble(char c) { return static_cast<uint8_t>(static_cast<unsigned char>(c) - 0x40u); }

// The station bytes the driver reads from, one by one; past the end the
// line is silent.
struct Station {
    const uint8_t *bytes;
    size_t size;
    size_t next = 0;
    bool Next(char *c) {
        if (next >= size) return false;
        *c = static_cast<char>(bytes[next++]);
        return true;
    }
};

// One reception: hunts for "s@@" in at most 100 tries of one to three
// characters (the character that ends a try is dropped), then collects up
// to the closing "e", which may stand at position 99 at most. Answers the
// position of the "e" and the frame before it, or 0 when no frame came.
inline int Receive(Station &line, std::string *frame) {
    bool started = false;
    char c = 0;
    for (int tries = 0; tries < 100 && !started; ++tries) {
        if (!line.Next(&c)) return 0;
        if (c != 's') continue;
        if (!line.Next(&c)) return 0;
        if (c != '@') continue;
        if (!line.Next(&c)) return 0;
        if (c != '@') continue;
        started = true;
    }
    if (!started) return 0;
    *frame = "s@@";
    for (int position = 3; position < 100; ++position) {
        if (!line.Next(&c)) return 0;
        if (c == 'e') return position;
        *frame += c;
    }
    return 0;
}

// The station number a reply names (positions 7 and 8), on whole integers:
// each character minus 0x40 may come out negative.
inline int ReplyStation(const std::string &reply) {
    const int high = static_cast<unsigned char>(reply[7]) - 0x40;
    const int low = static_cast<unsigned char>(reply[8]) - 0x40;
    return 16 * high + low;
}

// Whether the pair of group g stands before the checksum pair of a reply
// whose "e" stood at length (g < 0: no group needed). A reply needs its
// station pair in any case.
inline bool Holds(int length, int64_t g) {
    if (length < 9) return false;
    return g < 0 || 9 + 2 * g + 1 < length - 2;
}

// 16 x first + second nibble of group g, not reduced to a byte.
inline unsigned GroupSum(const std::string &reply, int g) {
    return 16u * Nibble(reply[9 + 2 * g]) + Nibble(reply[10 + 2 * g]);
}

}  // namespace frame_model
