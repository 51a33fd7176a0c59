// optolink-sim: OPTOLINK stations behind one serial line, for tests,
// benchmarks and people without a bus at hand.
//
// Written from the frame formats alone and independently of the driver's
// frame code, so that a fault in one cannot hide behind the same fault in
// the other.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace optolink_sim {

// The 16 group bytes a station answers a data query with, and the 16 mask
// bytes it answers a mask query with.
struct StationImage {
    uint8_t groups[16] = {};
    uint8_t masks[16] = {};
};

// How a station answers one request. The default answers normally.
//
// The reply's content is changed by answerAs, fieldFault, wrongChecksum,
// outsideAlphabet and neverEnds; raw replaces it; truncateAfter then cuts
// it; junkBefore goes in front. A write frame is stored unless the
// response is silent.
struct Response {
    bool silent = false;          // no answer at all, and a write is not stored
    int answerAs = 0;             // station number put in the reply; 0: its own
    bool fieldFault = false;      // status pair with the field-equipment bit (0x80)
    int truncateAfter = -1;       // >= 0: send only this many characters of the reply, then nothing
    std::string junkBefore;       // characters sent before the reply
    bool wrongChecksum = false;   // checksum pair off by one
    bool outsideAlphabet = false; // every group pair sent as "Z0", outside "@".."O"
    bool neverEnds = false;       // the reply's characters go on without an "e" (200 of them:
                                  // header and station, then the group pairs over and over)
    int delayMs = 0;              // extra delay before the answer
    bool dropAck = false;         // a write frame is stored but not acknowledged
    std::optional<std::string> raw; // sent exactly as given instead of the reply; the request
                                    // still acts on the image (a write stores)
};

struct Options {
    // Serve this device instead of opening a pseudo-terminal pair.
    std::string device;
    // Pace replies at the line's rate (10 bit times a character, rate read
    // from the port's termios each time).
    bool paced = false;
    // Also wait the request's own wire time before answering (paced only).
    bool accountRequestTime = false;
    // Delay between the end of a request and the first reply character.
    std::chrono::microseconds turnaround{0};
    // Write every frame received and sent, with a timestamp, to this stream
    // (nullptr: no log).
    std::FILE *frameLog = nullptr;
};

// One logged frame: direction and characters as they crossed the line.
// A received frame is stamped when its closing "e" was read, a sent one
// when it began to go out (after turnaround and delay).
struct Frame {
    bool received;  // true: from the master; false: sent by a station
    std::string text;
    std::chrono::steady_clock::time_point at;
    // Why a received frame was not taken as it stands: "bad checksum"
    // (answered all the same), "malformed" or "no station" (not answered);
    // empty otherwise and for sent frames.
    std::string note;
};

class Simulator {
public:
    // Opens the line (a new pseudo-terminal pair unless options.device is
    // set) and starts serving on a thread of its own. nullptr on failure,
    // with the reason in *error when given.
    static std::unique_ptr<Simulator> Start(const Options &options, std::string *error = nullptr);
    ~Simulator();  // stops the thread and closes its end of the line

    // The device the driver opens: the pseudo-terminal's slave path
    // (e.g. "/dev/pts/3") or options.device. The driver also takes the
    // slave's name without "/dev/" ("pts/3"), should the full path ever
    // exceed its 11 characters.
    std::string PortPath() const;

    void SetStation(int address, const StationImage &image);
    void RemoveStation(int address);
    std::optional<StationImage> Station(int address) const;

    // The response used whenever no queued one is waiting.
    void SetDefaultResponse(int address, const Response &response);
    // Responses used, in order, for the station's next requests.
    void QueueResponse(int address, const Response &response);

    // Every frame received from the master (each one that started with "s"
    // and ended with "e"), in order.
    std::vector<std::string> Received() const;
    std::vector<Frame> FrameLog() const;
    void ClearLog();

    // Back to no stations, no default or queued responses and an empty
    // log; the line stays open, so one served port can carry many tests.
    void Reset();

    // Closes the simulator's end of a pseudo-terminal (as a pulled device)
    // and stops serving. The stations stay readable; nothing is served again.
    void Hangup();

private:
    Simulator();
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace optolink_sim
