// optolink_sim::Simulator for the Windows test programs: the simulator
// itself is the native optolink-sim that tests/win32/run-wine.sh starts
// with --control; this side sends one command a call over the control
// line's COM port (DOVED_SIM_CONTROL) and waits for its one reply, so a
// change has taken effect before the driver puts the next request on the
// data line (DOVED_SIM_COM). The commands are described in
// tools/optolink-sim/README.md.
//
// The control port is the harness's own use of kernel32, apart from the
// driver's serial layer under test.
#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>

#include "tools/optolink-sim/control_text.h"
#include "tools/optolink-sim/optolink_sim.h"

namespace optolink_sim {
namespace {

using control_text::Hex;
using control_text::Unhex;
using control_text::Unhex16;
using control_text::Words;

using Clock = std::chrono::steady_clock;

// The simulator answers at once; these bound a reply under an emulated
// machine that may be slow and busy.
constexpr DWORD kReadWaitMs = 5000;
constexpr auto kReplyDeadline = std::chrono::seconds(60);
constexpr DWORD kWriteTimeoutMs = 10000;

// A response as the fields of a "default" or "queue" command; fields at
// their default values are left out.
std::string Fields(const Response &response) {
    std::string fields;
    if (response.silent) fields += " silent";
    if (response.answerAs != 0) fields += " answer-as=" + std::to_string(response.answerAs);
    if (response.fieldFault) fields += " field-fault";
    if (response.truncateAfter >= 0) fields += " truncate-after=" + std::to_string(response.truncateAfter);
    if (!response.junkBefore.empty()) fields += " junk-before=" + Hex(response.junkBefore);
    if (response.wrongChecksum) fields += " wrong-checksum";
    if (response.outsideAlphabet) fields += " outside-alphabet";
    if (response.neverEnds) fields += " never-ends";
    if (response.delayMs != 0) fields += " delay-ms=" + std::to_string(response.delayMs);
    if (response.dropAck) fields += " drop-ack";
    if (response.raw) fields += " raw=" + Hex(*response.raw);
    return fields;
}

std::string LastErrorText(const std::string &what) {
    return what + " failed (error " + std::to_string(GetLastError()) + ")";
}

}  // namespace

struct Simulator::State {
    HANDLE control = INVALID_HANDLE_VALUE;
    std::string portPath;
    // The moment of the reset as this side saw it (its reply), from which
    // the simulator counts its frame times.
    Clock::time_point epoch;
    mutable std::mutex lock;  // one command and its reply at a time

    // Sends one command and answers the words of its reply after "ok";
    // false (with the reason in *error) for an "error" reply or a failed line.
    bool Command(const std::string &line, std::vector<std::string> *words, std::string *error) const {
        std::lock_guard<std::mutex> guard(lock);
        const std::string text = line + "\n";
        DWORD written = 0;
        if (!WriteFile(control, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size()) {
            *error = LastErrorText("WriteFile on the control line");
            return false;
        }
        std::string reply;
        const Clock::time_point deadline = Clock::now() + kReplyDeadline;
        while (reply.empty() || reply.back() != '\n') {
            // One character, waited for; then whatever the queue holds
            // behind it, which a read of that size takes without waiting.
            char chunk[4096];
            DWORD got = 0;
            if (!ReadFile(control, chunk, 1, &got, nullptr)) {
                *error = LastErrorText("ReadFile on the control line");
                return false;
            }
            if (got == 0) {
                if (Clock::now() > deadline) {
                    *error = "no reply on the control line to \"" + line + "\" (so far \"" + reply + "\")";
                    return false;
                }
                continue;
            }
            reply.append(chunk, got);
            if (chunk[0] == '\n') break;
            DWORD errors = 0;
            COMSTAT status;
            std::memset(&status, 0, sizeof status);
            if (!ClearCommError(control, &errors, &status) || status.cbInQue == 0) continue;
            const DWORD queued = std::min<DWORD>(status.cbInQue, sizeof chunk);
            if (!ReadFile(control, chunk, queued, &got, nullptr)) {
                *error = LastErrorText("ReadFile on the control line");
                return false;
            }
            reply.append(chunk, got);
        }
        reply.pop_back();
        *words = Words(reply);
        if (words->empty() || (*words)[0] != "ok") {
            *error = "\"" + line + "\" answered \"" + reply + "\"";
            return false;
        }
        words->erase(words->begin());
        return true;
    }

    // A command whose failure fails the test that asked for it: the
    // simulator would not be in the state the test expects.
    std::vector<std::string> MustCommand(const std::string &line) const {
        std::vector<std::string> words;
        std::string error;
        if (!Command(line, &words, &error)) ADD_FAILURE() << "simulator control line: " << error;
        return words;
    }
};

Simulator::Simulator() : state_(std::make_unique<State>()) {}

// The line stays served for the next test; the harness ends the simulator.
Simulator::~Simulator() {
    if (state_->control != INVALID_HANDLE_VALUE) CloseHandle(state_->control);
}

std::unique_ptr<Simulator> Simulator::Start(const Options &options, std::string *error) {
    auto fail = [error](const std::string &what) {
        if (error != nullptr) *error = what;
        return nullptr;
    };
    if (!options.device.empty() || options.paced || options.accountRequestTime ||
        options.turnaround.count() != 0 || options.frameLog != nullptr) {
        return fail("the simulator behind the control line serves the default options only "
                    "(no device, pacing, turnaround or frame log)");
    }
    const char *control = std::getenv("DOVED_SIM_CONTROL");
    const char *port = std::getenv("DOVED_SIM_COM");
    if (control == nullptr || port == nullptr) {
        return fail("DOVED_SIM_CONTROL or DOVED_SIM_COM is not set: run through "
                    "tests/win32/run-wine.sh with DOVED_SIM_WITH_CONTROL=1");
    }

    std::unique_ptr<Simulator> simulator(new Simulator());
    State &state = *simulator->state_;
    state.portPath = port;
    state.control = CreateFileA(control, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (state.control == INVALID_HANDLE_VALUE) return fail(LastErrorText(std::string("CreateFileA ") + control));

    // Raw 8N1 without flow control: commands and replies cross unchanged.
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(state.control, &dcb)) return fail(LastErrorText("GetCommState"));
    dcb.BaudRate = CBR_9600;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(state.control, &dcb)) return fail(LastErrorText("SetCommState"));

    // A total wait a read: a read of what has arrived returns at once, one
    // that waits for a character returns with it.
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kReadWaitMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    if (!SetCommTimeouts(state.control, &timeouts)) return fail(LastErrorText("SetCommTimeouts"));
    PurgeComm(state.control, PURGE_RXCLEAR | PURGE_TXCLEAR);

    std::vector<std::string> words;
    std::string reason;
    if (!state.Command("reset", &words, &reason)) return fail(reason);
    state.epoch = Clock::now();
    return simulator;
}

std::string Simulator::PortPath() const { return state_->portPath; }

void Simulator::SetStation(int address, const StationImage &image) {
    state_->MustCommand("set " + std::to_string(address) + " " + Hex(image.groups) + " " + Hex(image.masks));
}

void Simulator::RemoveStation(int address) { state_->MustCommand("remove " + std::to_string(address)); }

std::optional<StationImage> Simulator::Station(int address) const {
    const std::vector<std::string> words = state_->MustCommand("get " + std::to_string(address));
    if (words.size() == 1 && words[0] == "none") return std::nullopt;
    StationImage image;
    if (words.size() != 2 || !Unhex16(words[0], image.groups) || !Unhex16(words[1], image.masks)) {
        ADD_FAILURE() << "simulator control line: a station image that does not parse";
        return std::nullopt;
    }
    return image;
}

void Simulator::SetDefaultResponse(int address, const Response &response) {
    state_->MustCommand("default " + std::to_string(address) + Fields(response));
}

void Simulator::QueueResponse(int address, const Response &response) {
    state_->MustCommand("queue " + std::to_string(address) + Fields(response));
}

std::vector<std::string> Simulator::Received() const {
    const std::vector<std::string> words = state_->MustCommand("received");
    std::vector<std::string> frames;
    for (size_t i = 1; i < words.size(); ++i) {
        std::string frame;
        if (!Unhex(words[i], &frame)) ADD_FAILURE() << "simulator control line: a frame that does not parse";
        frames.push_back(frame);
    }
    if (words.empty() || words[0] != std::to_string(frames.size())) {
        ADD_FAILURE() << "simulator control line: a frame count that does not match";
    }
    return frames;
}

std::vector<Frame> Simulator::FrameLog() const {
    const std::vector<std::string> words = state_->MustCommand("log");
    std::vector<Frame> log;
    for (size_t i = 1; i < words.size(); ++i) {
        // DIRECTION,OFFSET,NOTE,TEXT: "<" received, ">" sent; microseconds
        // from the reset; note and text in hex.
        std::vector<std::string> parts;
        std::istringstream entry(words[i]);
        std::string part;
        while (std::getline(entry, part, ',')) parts.push_back(part);
        if (words[i].back() == ',') parts.push_back("");
        Frame frame;
        if (parts.size() != 4 || (parts[0] != "<" && parts[0] != ">") || !Unhex(parts[2], &frame.note) ||
            !Unhex(parts[3], &frame.text)) {
            ADD_FAILURE() << "simulator control line: a log entry that does not parse: " << words[i];
            continue;
        }
        frame.received = parts[0] == "<";
        // The time is rebuilt from the simulator's offset and this side's
        // view of the reset: right in order and spacing, not to the
        // microsecond against this side's own clock.
        frame.at = state_->epoch + std::chrono::microseconds(std::strtoll(parts[1].c_str(), nullptr, 10));
        log.push_back(frame);
    }
    if (words.empty() || words[0] != std::to_string(log.size())) {
        ADD_FAILURE() << "simulator control line: a log count that does not match";
    }
    return log;
}

void Simulator::ClearLog() { state_->MustCommand("clear-log"); }

void Simulator::Reset() {
    state_->MustCommand("reset");
    state_->epoch = Clock::now();
}

// For good: the data line is gone for the rest of the program, whose
// later tests would find no simulator on it.
void Simulator::Hangup() { state_->MustCommand("hangup"); }

}  // namespace optolink_sim
