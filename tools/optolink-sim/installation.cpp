#include "tools/optolink-sim/installation.h"

#include <charconv>
#include <cstdlib>

namespace optolink_sim {
namespace {

constexpr int kFirstStation = 1;
constexpr int kLastStation = 63;
constexpr int kCompoundLimit = 1999;
constexpr int kLongestDelayMs = 600000;

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t at = 0;
    while (true) {
        at = line.find_first_not_of(" \t\r", at);
        if (at == std::string_view::npos) break;
        const size_t end = line.find_first_of(" \t\r", at);
        words.push_back(line.substr(at, end == std::string_view::npos ? end : end - at));
        if (end == std::string_view::npos) break;
        at = end;
    }
    return words;
}

bool Integer(std::string_view text, int low, int high, int *value) {
    if (text.empty()) return false;
    const char *end = text.data() + text.size();
    auto [stop, failure] = std::from_chars(text.data(), end, *value);
    return failure == std::errc() && stop == end && *value >= low && *value <= high;
}

bool HexByte(std::string_view text, uint8_t *byte) {
    if (text.size() != 2) return false;
    unsigned value = 0;
    const char *end = text.data() + text.size();
    auto [stop, failure] = std::from_chars(text.data(), end, value, 16);
    if (failure != std::errc() || stop != end) return false;
    *byte = static_cast<uint8_t>(value);
    return true;
}

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

bool Station(std::string_view text, int *station, std::string *error) {
    if (Integer(text, kFirstStation, kLastStation, station)) return true;
    *error = "station must be 1 to 63, not " + Quoted(text);
    return false;
}

// "station N [groups|masks B ...]"
bool StationLine(const std::vector<std::string_view> &words, Installation *installation,
                 std::string *error) {
    int station = 0;
    if (words.size() < 2) {
        *error = "station without a number";
        return false;
    }
    if (!Station(words[1], &station, error)) return false;
    StationImage &image = installation->stations[station];
    if (words.size() == 2) return true;
    uint8_t *bytes = nullptr;
    if (words[2] == "groups") {
        bytes = image.groups;
    } else if (words[2] == "masks") {
        bytes = image.masks;
    } else {
        *error = "expected \"groups\" or \"masks\", not " + Quoted(words[2]);
        return false;
    }
    if (words.size() - 3 > 16) {
        *error = "more than 16 bytes";
        return false;
    }
    uint8_t parsed[16] = {};
    for (size_t i = 3; i < words.size(); ++i) {
        if (!HexByte(words[i], &parsed[i - 3])) {
            *error = "not a byte of two hex digits: " + Quoted(words[i]);
            return false;
        }
    }
    std::copy(parsed, parsed + 16, bytes);
    return true;
}

// "fault N SWITCH ..."
bool FaultLine(const std::vector<std::string_view> &words, Installation *installation,
               std::string *error) {
    int station = 0;
    if (words.size() < 3) {
        *error = "fault needs a station and at least one switch";
        return false;
    }
    if (!Station(words[1], &station, error)) return false;
    Response &response = installation->faults[station];
    for (size_t i = 2; i < words.size(); ++i) {
        if (!ApplyFault(words[i], &response, error)) return false;
    }
    return true;
}

// "ramp N G FROM TO STEP [PERIOD_MS]"
bool RampLine(const std::vector<std::string_view> &words, Installation *installation,
              std::string *error) {
    if (words.size() != 6 && words.size() != 7) {
        *error = "ramp takes: station group from to step [period-ms]";
        return false;
    }
    Ramp ramp;
    if (!Station(words[1], &ramp.station, error)) return false;
    if (words[2].size() != 1 || words[2][0] < 'A' || words[2][0] > 'O') {
        *error = "ramp group must be A to O, not " + Quoted(words[2]);
        return false;
    }
    ramp.group = words[2][0] - 'A';
    if (!Integer(words[3], -kCompoundLimit, kCompoundLimit, &ramp.from) ||
        !Integer(words[4], -kCompoundLimit, kCompoundLimit, &ramp.to)) {
        *error = "ramp values must be -1999 to 1999";
        return false;
    }
    if (!Integer(words[5], -2 * kCompoundLimit, 2 * kCompoundLimit, &ramp.step) ||
        ramp.step == 0 || (ramp.to - ramp.from) * ramp.step < 0) {
        *error = "ramp step must be non-zero and lead from the first value to the second";
        return false;
    }
    int period = 1000;
    if (words.size() == 7 && !Integer(words[6], 10, 3600000, &period)) {
        *error = "ramp period must be 10 to 3600000 ms, not " + Quoted(words[6]);
        return false;
    }
    ramp.period = std::chrono::milliseconds(period);
    // A ramp makes its station if no line did.
    PutRampValue(ramp, ramp.from, &installation->stations[ramp.station]);
    installation->ramps.push_back(ramp);
    return true;
}

}  // namespace

bool ApplyFault(std::string_view fault, Response *response, std::string *error) {
    const size_t equals = fault.find('=');
    const std::string_view name = fault.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : fault.substr(equals + 1);
    const bool hasValue = equals != std::string_view::npos;
    auto number = [&](int low, int high, int *target) {
        if (hasValue && Integer(value, low, high, target)) return true;
        *error = Quoted(name) + " needs a number " + std::to_string(low) + " to " +
                 std::to_string(high);
        return false;
    };
    auto flag = [&](bool *target) {
        if (!hasValue) {
            *target = true;
            return true;
        }
        *error = Quoted(name) + " takes no value";
        return false;
    };
    if (name == "silent") return flag(&response->silent);
    if (name == "field-fault") return flag(&response->fieldFault);
    if (name == "wrong-checksum") return flag(&response->wrongChecksum);
    if (name == "outside-alphabet") return flag(&response->outsideAlphabet);
    if (name == "never-ends") return flag(&response->neverEnds);
    if (name == "drop-ack") return flag(&response->dropAck);
    if (name == "answer-as") return number(0, 255, &response->answerAs);
    if (name == "delay-ms") return number(0, kLongestDelayMs, &response->delayMs);
    if (name == "truncate-after") return number(0, 1000, &response->truncateAfter);
    if (name == "junk-before" || name == "raw") {
        if (!hasValue) {
            *error = Quoted(name) + " needs a text";
            return false;
        }
        if (name == "raw") {
            response->raw = std::string(value);
        } else {
            response->junkBefore = std::string(value);
        }
        return true;
    }
    *error = "unknown fault " + Quoted(name);
    return false;
}

bool ParseStationFault(std::string_view text, int *station, Response *response,
                       std::string *error) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        *error = "expected STATION:FAULT, not " + Quoted(text);
        return false;
    }
    if (!Station(text.substr(0, colon), station, error)) return false;
    return ApplyFault(text.substr(colon + 1), response, error);
}

bool ParseInstallation(std::string_view text, Installation *installation, std::string *error) {
    int number = 0;
    while (!text.empty()) {
        ++number;
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        line = line.substr(0, line.find('#'));
        const std::vector<std::string_view> words = Words(line);
        if (words.empty()) continue;
        std::string reason;
        bool good = false;
        if (words[0] == "station") {
            good = StationLine(words, installation, &reason);
        } else if (words[0] == "fault") {
            good = FaultLine(words, installation, &reason);
        } else if (words[0] == "ramp") {
            good = RampLine(words, installation, &reason);
        } else {
            reason = "unknown keyword " + Quoted(words[0]);
        }
        if (!good) {
            *error = "line " + std::to_string(number) + ": " + reason;
            return false;
        }
    }
    return true;
}

void EncodeCompound(int value, uint8_t *high, uint8_t *low) {
    const int magnitude = std::abs(value);
    const int flags = 0x8 | 0x4 | (value < 0 ? 0x2 : 0) | (magnitude >= 1000 ? 0x1 : 0);
    *high = static_cast<uint8_t>((flags << 4) | (magnitude / 100 % 10));
    *low = static_cast<uint8_t>(((magnitude / 10 % 10) << 4) | (magnitude % 10));
}

void PutRampValue(const Ramp &ramp, int value, StationImage *image) {
    EncodeCompound(value, &image->groups[ramp.group], &image->groups[ramp.group + 1]);
}

int NextRampValue(const Ramp &ramp, int value) {
    const int next = value + ramp.step;
    if (ramp.step > 0 ? next > ramp.to : next < ramp.to) return ramp.from;
    return next;
}

}  // namespace optolink_sim
