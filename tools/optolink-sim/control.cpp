// The control line: command parsing and the replies, and the thread that
// serves them on a pseudo-terminal.
#include "tools/optolink-sim/control.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <thread>
#include <vector>

#include "tools/optolink-sim/control_text.h"
#include "tools/optolink-sim/pty_line.h"

namespace optolink_sim {
namespace {

using control_text::Hex;
using control_text::Unhex;
using control_text::Unhex16;
using control_text::Words;

using Clock = std::chrono::steady_clock;

// A command line longer than this is line noise, not a command.
constexpr size_t kLongestCommand = 64 * 1024;
// A reply that cannot be written for this long (nobody reads the other
// end) is given up, so that the thread never hangs on a full queue.
constexpr auto kStuckWrite = std::chrono::seconds(2);

bool ParseInt(const std::string &text, int low, int high, int *value) {
    const char *end = text.data() + text.size();
    const auto [stop, fault] = std::from_chars(text.data(), end, *value);
    return fault == std::errc() && stop == end && !text.empty() && *value >= low && *value <= high;
}

// One field of a response, NAME or NAME=VALUE, named as the fault
// switches are; junk-before and raw take hex, and "raw=" is an empty raw
// reply (absent raw is the station's own reply).
bool ApplyField(const std::string &field, Response *response, std::string *error) {
    const size_t equals = field.find('=');
    const std::string name = field.substr(0, equals);
    const bool hasValue = equals != std::string::npos;
    const std::string value = hasValue ? field.substr(equals + 1) : "";
    bool *flag = name == "silent"             ? &response->silent
                 : name == "field-fault"      ? &response->fieldFault
                 : name == "wrong-checksum"   ? &response->wrongChecksum
                 : name == "outside-alphabet" ? &response->outsideAlphabet
                 : name == "never-ends"       ? &response->neverEnds
                 : name == "drop-ack"         ? &response->dropAck
                                              : nullptr;
    if (flag != nullptr) {
        if (hasValue) {
            *error = "field \"" + name + "\" takes no value";
            return false;
        }
        *flag = true;
        return true;
    }
    int *number = name == "answer-as"        ? &response->answerAs
                  : name == "truncate-after" ? &response->truncateAfter
                  : name == "delay-ms"       ? &response->delayMs
                                             : nullptr;
    if (number != nullptr) {
        const int low = name == "truncate-after" ? -1 : 0;
        const int high = name == "answer-as" ? 255 : 600000;
        if (!hasValue || !ParseInt(value, low, high, number)) {
            *error = "bad number in \"" + field + "\"";
            return false;
        }
        return true;
    }
    if (name == "junk-before" || name == "raw") {
        std::string bytes;
        if (!hasValue || !Unhex(value, &bytes)) {
            *error = "bad hex in \"" + field + "\"";
            return false;
        }
        if (name == "raw") {
            response->raw = bytes;
        } else {
            response->junkBefore = bytes;
        }
        return true;
    }
    *error = "unknown field \"" + name + "\"";
    return false;
}

std::string Error(const std::string &reason) { return "error " + reason; }

}  // namespace

std::string ExecuteControlCommand(Simulator &simulator, const std::string &line,
                                  Clock::time_point *epoch) {
    const std::vector<std::string> words = Words(line);
    if (words.empty()) return Error("empty command");
    const std::string &command = words[0];
    auto arguments = [&words](size_t count) { return words.size() == count + 1; };

    if (command == "reset" || command == "clear-log" || command == "hangup" ||
        command == "received" || command == "log") {
        if (!arguments(0)) return Error(command + " takes no arguments");
        if (command == "reset") {
            simulator.Reset();
            *epoch = Clock::now();
            return "ok";
        }
        if (command == "clear-log") {
            simulator.ClearLog();
            return "ok";
        }
        if (command == "hangup") {
            simulator.Hangup();
            return "ok";
        }
        if (command == "received") {
            const std::vector<std::string> frames = simulator.Received();
            std::string reply = "ok " + std::to_string(frames.size());
            for (const std::string &frame : frames) reply += " " + Hex(frame);
            return reply;
        }
        const std::vector<Frame> log = simulator.FrameLog();
        std::string reply = "ok " + std::to_string(log.size());
        for (const Frame &frame : log) {
            const auto offset =
                std::chrono::duration_cast<std::chrono::microseconds>(frame.at - *epoch).count();
            reply += std::string(" ") + (frame.received ? "<" : ">") + "," +
                     std::to_string(offset) + "," + Hex(frame.note) + "," + Hex(frame.text);
        }
        return reply;
    }

    if (command != "set" && command != "remove" && command != "get" && command != "default" &&
        command != "queue") {
        return Error("unknown command \"" + command + "\"");
    }
    int station = 0;
    if (words.size() < 2 || !ParseInt(words[1], 0, 255, &station)) {
        return Error(command + " needs a station 0 to 255");
    }
    if (command == "set") {
        StationImage image;
        if (!arguments(3) || !Unhex16(words[2], image.groups) || !Unhex16(words[3], image.masks)) {
            return Error("set needs a station, 16 group bytes and 16 mask bytes in hex");
        }
        simulator.SetStation(station, image);
        return "ok";
    }
    if (command == "remove" || command == "get") {
        if (!arguments(1)) return Error(command + " takes a station only");
        if (command == "remove") {
            simulator.RemoveStation(station);
            return "ok";
        }
        const std::optional<StationImage> image = simulator.Station(station);
        if (!image) return "ok none";
        return "ok " + Hex(image->groups) + " " + Hex(image->masks);
    }
    Response response;
    std::string error;
    for (size_t i = 2; i < words.size(); ++i) {
        if (!ApplyField(words[i], &response, &error)) return Error(error);
    }
    if (command == "default") {
        simulator.SetDefaultResponse(station, response);
    } else {
        simulator.QueueResponse(station, response);
    }
    return "ok";
}

struct ControlLine::State {
    Simulator *simulator = nullptr;
    std::string path;
    int master = -1;
    int hold = -1;  // a slave descriptor of our own, so the master never hangs up
    int wakeRead = -1;
    int wakeWrite = -1;
    std::atomic<bool> stopping{false};
    std::thread server;
    Clock::time_point epoch = Clock::now();

    bool WriteAll(const std::string &text) {
        return WriteAllOrGiveUp(master, text.data(), text.size(), stopping, kStuckWrite);
    }

    void Serve() {
        std::string pending;
        bool overlong = false;
        char chunk[4096];
        while (!stopping) {
            pollfd ready[2] = {{master, POLLIN, 0}, {wakeRead, POLLIN, 0}};
            if (poll(ready, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (ready[1].revents != 0) continue;  // woken to stop
            if ((ready[0].revents & POLLNVAL) != 0) return;
            if ((ready[0].revents & POLLIN) == 0) {
                poll(nullptr, 0, 20);  // nobody at the other end yet
                continue;
            }
            const ssize_t got = read(master, chunk, sizeof chunk);
            if (got <= 0) {
                if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
                poll(nullptr, 0, 20);
                continue;
            }
            for (ssize_t i = 0; i < got; ++i) {
                const char c = chunk[i];
                if (c != '\n') {
                    if (pending.size() < kLongestCommand) {
                        pending += c;
                    } else {
                        overlong = true;
                    }
                    continue;
                }
                if (!pending.empty() && pending.back() == '\r') pending.pop_back();
                const std::string reply =
                    overlong ? Error("command longer than " + std::to_string(kLongestCommand) +
                                     " characters")
                             : ExecuteControlCommand(*simulator, pending, &epoch);
                pending.clear();
                overlong = false;
                WriteAll(reply + "\n");
            }
        }
    }
};

ControlLine::ControlLine() : state_(std::make_unique<State>()) {}

ControlLine::~ControlLine() {
    state_->stopping = true;
    if (state_->wakeWrite >= 0) {
        const char byte = 'x';
        if (write(state_->wakeWrite, &byte, 1) < 0) {
            // The pipe is full or gone: the flag still stops the thread.
        }
    }
    if (state_->server.joinable()) state_->server.join();
    for (int fd : {state_->master, state_->hold, state_->wakeRead, state_->wakeWrite}) {
        if (fd >= 0) close(fd);
    }
}

std::unique_ptr<ControlLine> ControlLine::Open(Simulator &simulator, std::string *error) {
    std::unique_ptr<ControlLine> control(new ControlLine());
    State &state = *control->state_;
    state.simulator = &simulator;
    auto fail = [error](const std::string &what) {
        if (error != nullptr) *error = "control line: " + what + ": " + std::strerror(errno);
        return nullptr;
    };
    // Raw before the client opens it: commands and replies cross unchanged.
    std::string failedCall;
    if (!OpenRawPty(&state.master, &state.hold, &state.path, &failedCall)) return fail(failedCall);
    const int flags = fcntl(state.master, F_GETFL);
    if (flags < 0 || fcntl(state.master, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl");
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return fail("pipe2");
    state.wakeRead = wake[0];
    state.wakeWrite = wake[1];
    state.server = std::thread([&state] { state.Serve(); });
    return control;
}

std::string ControlLine::Path() const { return state_->path; }

}  // namespace optolink_sim
