// The simulator's line end: request assembly, its own frame codec, the
// stations' answers with their faults, pacing and the frame log.
#include "tools/optolink-sim/optolink_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "tools/optolink-sim/line_rate.h"
#include "tools/optolink-sim/pty_line.h"

namespace optolink_sim {
namespace {

using Clock = std::chrono::steady_clock;

// A request that has gone this far without its "e" is line noise.
constexpr size_t kLongestRequest = 100;
// What a never-ending reply sends before it gives up.
constexpr size_t kNeverEndingLength = 200;
// Group pairs stand at positions 9 to 40 of a reply.
constexpr size_t kFirstGroupPosition = 9;
constexpr int kGroups = 16;
// Re-poll interval while nobody is at the other end of a device.
constexpr auto kIdleWait = std::chrono::milliseconds(20);
// A reply that cannot be written for this long (nobody reads the other
// end) is given up, so that the server never hangs on a full queue.
constexpr auto kStuckWrite = std::chrono::seconds(2);

constexpr uint8_t kKindQuery = 0x00;
constexpr uint8_t kKindData = 0x20;
constexpr uint8_t kFieldEquipmentBit = 0x80;

void PutPair(std::string &text, uint8_t byte) {
    text += static_cast<char>('@' + (byte >> 4));
    text += static_cast<char>('@' + (byte & 0x0F));
}

// Strict decoding: only "@" to "O" are nibbles.
std::optional<uint8_t> DecodePair(char high, char low) {
    if (high < '@' || high > 'O' || low < '@' || low > 'O') return std::nullopt;
    return static_cast<uint8_t>(((high - '@') << 4) | (low - '@'));
}

enum class RequestKind { kMaskQuery, kDataQuery, kWrite, kMalformed };

struct Request {
    RequestKind kind = RequestKind::kMalformed;
    int station = -1;
    std::vector<uint8_t> data;  // group bytes of a write, from group A on
    bool checksumRight = false;
};

// frame runs from its "s" to its "e".
Request ParseRequest(const std::string &frame) {
    Request request;
    // "s", station, count, kind, 0x00, the data, the checksum, "e".
    if (frame.size() < 12 || frame.size() % 2 != 0) return request;
    std::vector<uint8_t> bytes;
    unsigned sum = 0;
    for (size_t i = 1; i + 2 < frame.size(); i += 2) {
        const std::optional<uint8_t> byte = DecodePair(frame[i], frame[i + 1]);
        if (!byte) return request;
        bytes.push_back(*byte);
        sum += *byte;
    }
    const size_t count = bytes.size() - 5;
    if (bytes[3] != 0x00 || bytes[1] != count) return request;
    if (bytes[2] == kKindQuery && count == 0) {
        request.kind = RequestKind::kMaskQuery;
    } else if (bytes[2] == kKindData && count == 0) {
        request.kind = RequestKind::kDataQuery;
    } else if (bytes[2] == kKindData && count <= kGroups) {
        request.kind = RequestKind::kWrite;
        request.data.assign(bytes.begin() + 4, bytes.end() - 1);
    } else {
        return request;
    }
    request.station = bytes[0];
    request.checksumRight = sum % 256 == 0;
    return request;
}

// The 44-character reply carrying the given 16 bytes, with the response's
// changes to its content (not to its delivery) applied.
std::string BuildReply(int station, const uint8_t (&bytes)[kGroups], const Response &response) {
    const uint8_t status = response.fieldFault ? kFieldEquipmentBit : 0x00;
    const uint8_t who = static_cast<uint8_t>(response.answerAs != 0 ? response.answerAs : station);
    std::string text = "s";
    unsigned sum = 0;
    for (uint8_t byte : {uint8_t{0x00}, uint8_t{0x00}, status, who}) {
        PutPair(text, byte);
        sum += byte;
    }
    for (uint8_t byte : bytes) {
        PutPair(text, byte);
        sum += byte;
    }
    uint8_t checksum = static_cast<uint8_t>(256 - sum % 256);
    if (response.wrongChecksum) ++checksum;
    if (response.outsideAlphabet) {
        for (int g = 0; g < kGroups; ++g) text.replace(kFirstGroupPosition + 2 * g, 2, "Z0");
    }
    PutPair(text, checksum);
    text += 'e';
    if (response.neverEnds) {
        const std::string groups = text.substr(kFirstGroupPosition, 2 * kGroups);
        text.resize(kFirstGroupPosition);
        for (size_t i = 0; text.size() < kNeverEndingLength; ++i) text += groups[i % groups.size()];
    }
    return text;
}

// What goes on the line for the response: junk, then the reply (or the raw
// text in its place), cut short if asked.
std::string WireText(const std::string &reply, const Response &response) {
    std::string text = response.raw ? *response.raw : reply;
    if (response.truncateAfter >= 0 && static_cast<size_t>(response.truncateAfter) < text.size()) {
        text.resize(static_cast<size_t>(response.truncateAfter));
    }
    return response.junkBefore + text;
}

// Wall-clock time of day to the microsecond, for the log file.
std::string TimeOfDay() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06ld", local.tm_hour, local.tm_min,
                  local.tm_sec, now.tv_nsec / 1000);
    return text;
}

// Frame characters as they are; anything unprintable as \xNN.
std::string Printable(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        }
    }
    return out;
}

}  // namespace

struct Simulator::State {
    Options options;
    std::string portPath;
    int lineFd = -1;  // the pseudo-terminal's master, or the device
    int holdFd = -1;  // a slave descriptor of our own, so the master never hangs up
    int wakeRead = -1;
    int wakeWrite = -1;
    std::thread server;
    std::mutex lifecycle;  // Hangup against Hangup
    bool hungUp = false;

    mutable std::mutex lock;  // everything below, and the waits of the server
    std::condition_variable wake;
    std::atomic<bool> stopping{false};
    std::map<int, StationImage> stations;
    std::map<int, Response> defaults;
    std::map<int, std::deque<Response>> queued;
    std::vector<Frame> log;

    // Waits until the deadline; false when the simulator stops first.
    bool WaitUntil(Clock::time_point deadline) {
        std::unique_lock<std::mutex> guard(lock);
        return !wake.wait_until(guard, deadline, [this] { return stopping.load(); });
    }

    void LogLine(const char *direction, const std::string &text, const std::string &note) {
        if (options.frameLog == nullptr) return;
        std::fprintf(options.frameLog, "%s %s %s%s%s%s\n", TimeOfDay().c_str(), direction,
                     Printable(text).c_str(), note.empty() ? "" : " (", note.c_str(),
                     note.empty() ? "" : ")");
        std::fflush(options.frameLog);
    }

    // Writes all of text; false when the line failed, stayed full or the
    // simulator stops.
    bool WriteAll(const char *text, size_t size) {
        return WriteAllOrGiveUp(lineFd, text, size, stopping, kStuckWrite);
    }

    // Sends a reply to the request that arrived from first to last, with
    // the response's timing and the line's pace.
    void Send(const std::string &text, const Response &response, size_t requestSize,
              Clock::time_point first, Clock::time_point last) {
        const uint32_t rate = options.paced ? LineRate(lineFd) : 0;
        // Character k of n (from 1) has crossed the line 10 k bit times
        // after the start.
        auto wireTime = [rate](size_t characters) {
            return std::chrono::nanoseconds(static_cast<int64_t>(characters) * 10'000'000'000LL /
                                            rate);
        };
        Clock::time_point start = last;
        if (rate != 0 && options.accountRequestTime) {
            start = std::max(start, first + wireTime(requestSize));
        }
        start += options.turnaround + std::chrono::milliseconds(response.delayMs);
        if (!WaitUntil(start)) return;
        {
            std::lock_guard<std::mutex> guard(lock);
            log.push_back(Frame{false, text, Clock::now(), {}});
        }
        LogLine("->", text, {});
        if (rate == 0) {
            WriteAll(text.data(), text.size());
            return;
        }
        for (size_t i = 0; i < text.size(); ++i) {
            if (!WaitUntil(start + wireTime(i + 1))) return;
            if (!WriteAll(&text[i], 1)) return;
        }
    }

    // Logs the request, takes the station's response and applies the
    // request to the image. Answers whether to reply, and with what.
    bool Take(const Request &request, const std::string &frame, Clock::time_point last,
              std::string *note, std::string *reply, Response *response) {
        std::lock_guard<std::mutex> guard(lock);
        auto station = stations.end();
        if (request.kind == RequestKind::kMalformed) {
            *note = "malformed";
        } else {
            station = stations.find(request.station);
            if (!request.checksumRight) *note = "bad checksum";
            if (station == stations.end()) *note += note->empty() ? "no station" : ", no station";
        }
        log.push_back(Frame{true, frame, last, *note});
        if (station == stations.end()) return false;

        std::deque<Response> &waiting = queued[request.station];
        if (!waiting.empty()) {
            *response = waiting.front();
            waiting.pop_front();
        } else if (auto fixed = defaults.find(request.station); fixed != defaults.end()) {
            *response = fixed->second;
        }
        if (response->silent) return false;
        StationImage &image = station->second;
        if (request.kind == RequestKind::kWrite) {
            std::copy(request.data.begin(), request.data.end(), image.groups);
            if (response->dropAck) return false;
        }
        const bool masks = request.kind == RequestKind::kMaskQuery;
        *reply = WireText(BuildReply(request.station, masks ? image.masks : image.groups, *response),
                          *response);
        return true;
    }

    // One whole request, from its "s" to its "e".
    void Handle(const std::string &frame, Clock::time_point first, Clock::time_point last) {
        const Request request = ParseRequest(frame);
        std::string note;
        std::string reply;
        Response response;
        const bool answer = Take(request, frame, last, &note, &reply, &response);
        // The file gets its line outside the lock: a slow stream must not
        // hold up the callers of the API.
        LogLine("<-", frame, note);
        if (answer) Send(reply, response, frame.size(), first, last);
    }

    void Serve() {
        std::string pending;  // from "s" on, while a request is being collected
        Clock::time_point first;
        char chunk[256];
        while (!stopping) {
            pollfd ready[2] = {{lineFd, POLLIN, 0}, {wakeRead, POLLIN, 0}};
            if (poll(ready, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (ready[1].revents != 0) continue;  // woken to stop
            if ((ready[0].revents & POLLNVAL) != 0) return;
            if ((ready[0].revents & POLLIN) == 0) {
                // Hang-up or error: nobody at the other end of the device.
                WaitUntil(Clock::now() + kIdleWait);
                continue;
            }
            const ssize_t got = read(lineFd, chunk, sizeof chunk);
            if (got <= 0) {
                if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
                WaitUntil(Clock::now() + kIdleWait);
                continue;
            }
            const Clock::time_point now = Clock::now();
            for (ssize_t i = 0; i < got; ++i) {
                const char c = chunk[i];
                if (c == 's') {  // never a data character: a new request starts here
                    pending = "s";
                    first = now;
                } else if (!pending.empty()) {
                    pending += c;
                    if (c == 'e') {
                        const std::string frame = std::move(pending);
                        pending.clear();
                        Handle(frame, first, now);
                    } else if (pending.size() >= kLongestRequest) {
                        LogLine("<-", pending, "dropped: no \"e\"");
                        pending.clear();
                    }
                }
            }
        }
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping = true;
        }
        wake.notify_all();
        if (wakeWrite >= 0) {
            const char byte = 'x';
            if (write(wakeWrite, &byte, 1) < 0) {
                // The pipe is full or gone: the flag and the notify still stop the thread.
            }
        }
        if (server.joinable()) server.join();
    }

    void CloseLine() {
        if (lineFd >= 0) close(lineFd);
        if (holdFd >= 0) close(holdFd);
        lineFd = -1;
        holdFd = -1;
    }
};

Simulator::Simulator() : state_(std::make_unique<State>()) {}

Simulator::~Simulator() {
    Hangup();
    if (state_->wakeRead >= 0) close(state_->wakeRead);
    if (state_->wakeWrite >= 0) close(state_->wakeWrite);
}

std::unique_ptr<Simulator> Simulator::Start(const Options &options, std::string *error) {
    std::unique_ptr<Simulator> simulator(new Simulator());
    State &state = *simulator->state_;
    state.options = options;
    auto fail = [error](const std::string &what) {
        if (error != nullptr) *error = what + ": " + std::strerror(errno);
        return nullptr;
    };

    if (options.device.empty()) {
        // Raw before the driver opens it: frame characters cross unchanged.
        std::string failedCall;
        if (!OpenRawPty(&state.lineFd, &state.holdFd, &state.portPath, &failedCall)) return fail(failedCall);
    } else {
        state.portPath = options.device;
        state.lineFd = open(options.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (state.lineFd < 0) return fail("open " + options.device);
        termios settings{};
        if (tcgetattr(state.lineFd, &settings) == 0) {
            cfmakeraw(&settings);
            settings.c_cflag |= CLOCAL | CREAD;
            if (tcsetattr(state.lineFd, TCSANOW, &settings) != 0) return fail("tcsetattr");
        }
    }
    const int flags = fcntl(state.lineFd, F_GETFL);
    if (flags < 0 || fcntl(state.lineFd, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl");

    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return fail("pipe2");
    state.wakeRead = wake[0];
    state.wakeWrite = wake[1];
    state.server = std::thread([&state] { state.Serve(); });
    return simulator;
}

std::string Simulator::PortPath() const { return state_->portPath; }

void Simulator::SetStation(int address, const StationImage &image) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->stations[address] = image;
}

void Simulator::RemoveStation(int address) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->stations.erase(address);
}

std::optional<StationImage> Simulator::Station(int address) const {
    std::lock_guard<std::mutex> guard(state_->lock);
    auto found = state_->stations.find(address);
    if (found == state_->stations.end()) return std::nullopt;
    return found->second;
}

void Simulator::SetDefaultResponse(int address, const Response &response) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->defaults[address] = response;
}

void Simulator::QueueResponse(int address, const Response &response) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->queued[address].push_back(response);
}

std::vector<std::string> Simulator::Received() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    std::vector<std::string> frames;
    for (const Frame &frame : state_->log) {
        if (frame.received) frames.push_back(frame.text);
    }
    return frames;
}

std::vector<Frame> Simulator::FrameLog() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->log;
}

void Simulator::ClearLog() {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->log.clear();
}

void Simulator::Reset() {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->stations.clear();
    state_->defaults.clear();
    state_->queued.clear();
    state_->log.clear();
}

void Simulator::Hangup() {
    std::lock_guard<std::mutex> guard(state_->lifecycle);
    if (state_->hungUp) return;
    state_->hungUp = true;
    state_->Stop();
    state_->CloseLine();
}

}  // namespace optolink_sim
