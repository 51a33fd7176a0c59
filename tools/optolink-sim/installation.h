// The stations file of the optolink-sim program and its fault switches.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tools/optolink-sim/optolink_sim.h"

namespace optolink_sim {

// A compound value that counts on its own: from `from` to `to` by `step`
// once every period, then from `from` again.
struct Ramp {
    int station = 0;
    int group = 0;  // 0 (A) to 14 (O): the value takes this group and the next
    int from = 0;
    int to = 0;
    int step = 1;
    std::chrono::milliseconds period{1000};
};

struct Installation {
    std::map<int, StationImage> stations;
    std::map<int, Response> faults;  // the stations' default responses
    std::vector<Ramp> ramps;
};

// Parses a stations file. On a bad line: false, and "line N: reason" in
// *error.
bool ParseInstallation(std::string_view text, Installation *installation, std::string *error);

// Adds one fault switch ("silent", "answer-as=3", ...) to *response.
bool ApplyFault(std::string_view fault, Response *response, std::string *error);

// "5:silent" as given on the command line.
bool ParseStationFault(std::string_view text, int *station, Response *response,
                       std::string *error);

// The two group bytes of a compound value, -1999 to 1999: the flag nibble
// (8 and 4 set, 2 negative, 1 thousands), then hundreds, tens and units.
void EncodeCompound(int value, uint8_t *high, uint8_t *low);

// Stores the ramp's value in its station's groups.
void PutRampValue(const Ramp &ramp, int value, StationImage *image);

// The value after `value`.
int NextRampValue(const Ramp &ramp, int value);

}  // namespace optolink_sim
