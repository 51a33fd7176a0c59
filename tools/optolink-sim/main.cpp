// optolink-sim: serves the stations of a stations file on a pseudo-terminal
// (or a device) until it is told to stop.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tools/optolink-sim/control.h"
#include "tools/optolink-sim/installation.h"
#include "tools/optolink-sim/optolink_sim.h"

namespace {

using optolink_sim::Installation;
using optolink_sim::Ramp;
using Clock = std::chrono::steady_clock;

constexpr int kExitUsage = 2;
constexpr int kExitNoLine = 1;

constexpr const char *kFaultHelp =
    "A fault for one station, STATION:SWITCH; may be repeated, switches add up. Switches:\n"
    "  silent            never answer\n"
    "  field-fault       status pair \"H@\" (field-equipment bit)\n"
    "  answer-as=N       put station N in the replies\n"
    "  delay-ms=N        answer N ms late\n"
    "  truncate-after=N  send only the first N characters of a reply\n"
    "  junk-before=TEXT  send TEXT before each reply\n"
    "  wrong-checksum    checksum pair off by one\n"
    "  outside-alphabet  group pairs sent as \"Z0\"\n"
    "  never-ends        200 characters without an \"e\"\n"
    "  drop-ack          store a write frame but do not answer it\n"
    "  raw=TEXT          send TEXT exactly instead of each reply";

struct RunningRamp {
    Ramp ramp;
    int value;
    Clock::time_point next;
};

int Fail(int code, const std::string &message) {
    std::fprintf(stderr, "optolink-sim: %s\n", message.c_str());
    return code;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"OPTOLINK stations behind one serial line. Prints the port's path on the first "
                 "line of standard output, then serves until SIGINT or SIGTERM."};
    app.footer(
        "Stations file, one statement a line, # comments:\n"
        "  station N [groups|masks B B ...]     up to 16 hex bytes from group A on\n"
        "  fault N SWITCH ...                   switches as for --fault\n"
        "  ramp N G FROM TO STEP [PERIOD_MS]    compound value on groups G, G+1\n"
        "See tools/optolink-sim/README.md.");
    optolink_sim::Options options;
    std::string stationsFile;
    std::vector<std::string> faults;
    int turnaroundMs = 0;
    bool log = false;
    bool untilStdinCloses = false;
    bool control = false;
    app.add_option("--device", options.device, "Serve this device instead of a new pseudo-terminal");
    app.add_flag("--paced", options.paced, "Send replies at the line's rate (10 bits a character)");
    app.add_flag("--account-request-time", options.accountRequestTime,
                 "With --paced, also wait the request's own time on the line");
    app.add_option("--turnaround-ms", turnaroundMs, "Delay before the first reply character")
        ->check(CLI::Range(0, 600000));
    app.add_flag("--log", log, "Log every frame received and sent on standard error");
    app.add_option("--fault", faults, kFaultHelp)->allow_extra_args(false);
    app.add_flag("--until-stdin-closes", untilStdinCloses, "Also stop when standard input closes");
    app.add_flag("--control", control,
                 "Also serve the control line, a second pseudo-terminal whose path is the second "
                 "line of standard output (commands: see README.md)");
    app.add_option("STATIONS_FILE", stationsFile, "Stations file (see README.md)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return kExitUsage;
    }

    Installation installation;
    if (!stationsFile.empty()) {
        std::ifstream in(stationsFile);
        if (!in) return Fail(kExitUsage, "cannot read " + stationsFile);
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        if (!optolink_sim::ParseInstallation(text.str(), &installation, &error)) {
            return Fail(kExitUsage, stationsFile + ": " + error);
        }
    }
    // Switches on the command line add to the file's for the same station.
    for (const std::string &fault : faults) {
        int station = 0;
        std::string error;
        optolink_sim::Response checked;
        if (!optolink_sim::ParseStationFault(fault, &station, &checked, &error)) {
            return Fail(kExitUsage, "--fault " + fault + ": " + error);
        }
        optolink_sim::ApplyFault(fault.substr(fault.find(':') + 1), &installation.faults[station],
                                 &error);
    }
    options.turnaround = std::chrono::milliseconds(turnaroundMs);
    if (log) options.frameLog = stderr;

    // Signals arrive through a descriptor; blocked before the server
    // thread starts so that it inherits the mask.
    signal(SIGPIPE, SIG_IGN);  // a reader gone from standard output is no reason to die
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (signals < 0) return Fail(kExitNoLine, "signalfd failed");

    std::string error;
    std::unique_ptr<optolink_sim::Simulator> simulator =
        optolink_sim::Simulator::Start(options, &error);
    if (!simulator) return Fail(kExitNoLine, error);
    for (const auto &[address, image] : installation.stations) simulator->SetStation(address, image);
    for (const auto &[address, response] : installation.faults) {
        simulator->SetDefaultResponse(address, response);
    }
    std::vector<RunningRamp> ramps;
    for (const Ramp &ramp : installation.ramps) {
        ramps.push_back(RunningRamp{ramp, ramp.from, Clock::now() + ramp.period});
    }

    std::unique_ptr<optolink_sim::ControlLine> controlLine;
    if (control) {
        controlLine = optolink_sim::ControlLine::Open(*simulator, &error);
        if (!controlLine) return Fail(kExitNoLine, error);
    }

    std::printf("%s\n", simulator->PortPath().c_str());
    if (controlLine) std::printf("%s\n", controlLine->Path().c_str());
    std::fflush(stdout);

    while (true) {
        int timeoutMs = -1;
        const Clock::time_point now = Clock::now();
        for (RunningRamp &running : ramps) {
            if (running.next <= now) {
                running.value = optolink_sim::NextRampValue(running.ramp, running.value);
                running.next += running.ramp.period;
                if (std::optional<optolink_sim::StationImage> image =
                        simulator->Station(running.ramp.station)) {
                    optolink_sim::PutRampValue(running.ramp, running.value, &*image);
                    simulator->SetStation(running.ramp.station, *image);
                }
            }
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(running.next - now).count();
            const int waitMs = static_cast<int>(std::max<int64_t>(0, wait));
            if (timeoutMs < 0 || waitMs < timeoutMs) timeoutMs = waitMs;
        }
        pollfd ready[2] = {{signals, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int watched = untilStdinCloses ? 2 : 1;
        if (poll(ready, watched, timeoutMs) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (ready[0].revents != 0) break;
        if (untilStdinCloses && ready[1].revents != 0) {
            char discard[256];
            const ssize_t got = read(STDIN_FILENO, discard, sizeof discard);
            if (got <= 0 && !(got < 0 && errno == EINTR)) break;
        }
    }
    controlLine.reset();  // before the simulator it drives
    simulator.reset();
    close(signals);
    return 0;
}
