// The station simulator on its own: literal frames written to its
// pseudo-terminal, its faults and pacing, and the optolink-sim program with
// its stations file.
#include "tools/optolink-sim/optolink_sim.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using namespace std::chrono_literals;
using optolink_sim::Frame;
using optolink_sim::Options;
using optolink_sim::Response;
using optolink_sim::Simulator;
using optolink_sim::StationImage;
using Clock = std::chrono::steady_clock;

// Station 5: groups C 0x5A, E 0xF2, F 0x37.
const std::string kDataQuery5 = "s@E@@B@@@MKe";
const std::string kReply5 = "s@@@@@@@E@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@GHe";

StationImage Station5() {
    StationImage image;
    image.groups[2] = 0x5A;
    image.groups[4] = 0xF2;
    image.groups[5] = 0x37;
    return image;
}

// Station 1: group P 0x77; masks B 0xFF, D 0x01.
StationImage Station1() {
    StationImage image;
    image.groups[15] = 0x77;
    image.masks[1] = 0xFF;
    image.masks[3] = 0x01;
    return image;
}

// The driver's end of the line, raw as the driver opens it.
int OpenLine(const std::string &path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

void SetSpeed(int fd, speed_t speed) {
    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    cfsetospeed(&settings, speed);
    cfsetispeed(&settings, speed);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
}

void Send(int fd, const std::string &text) {
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

// Characters up to and with the first "e", or up to a pause of `quiet`.
std::string ReadReply(int fd, std::chrono::milliseconds quiet = 300ms) {
    std::string text;
    while (true) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(quiet.count())) <= 0) return text;
        if ((ready.revents & POLLIN) == 0) return text;
        char c = 0;
        if (read(fd, &c, 1) != 1) return text;
        text += c;
        if (c == 'e') return text;
    }
}

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override { StartWith(Options{}); }
    void TearDown() override { CloseLine(); }

    void StartWith(const Options &options) {
        CloseLine();
        sim_.reset();
        std::string error;
        sim_ = Simulator::Start(options, &error);
        ASSERT_NE(sim_, nullptr) << error;
        sim_->SetStation(1, Station1());
        sim_->SetStation(5, Station5());
        line_ = OpenLine(sim_->PortPath());
        ASSERT_GE(line_, 0) << sim_->PortPath();
    }

    void CloseLine() {
        if (line_ >= 0) close(line_);
        line_ = -1;
    }

    // quiet: how long a pause ends a reply that has no "e" (or no reply).
    std::string Ask(const std::string &request, std::chrono::milliseconds quiet = 2000ms) {
        Send(line_, request);
        return ReadReply(line_, quiet);
    }

    std::unique_ptr<Simulator> sim_;
    int line_ = -1;
};

TEST_F(SimulatorTest, DataQueryIsAnsweredWithTheGroups) {
    EXPECT_EQ(Ask(kDataQuery5), kReply5);
    EXPECT_EQ(ReadReply(line_, 100ms), "") << "nothing after the reply";
    EXPECT_EQ(sim_->Received(), std::vector<std::string>{kDataQuery5});
}

TEST_F(SimulatorTest, MaskQueryIsAnsweredWithTheMasks) {
    EXPECT_EQ(Ask("s@A@@@@@@OOe"), "s@@@@@@@A@@OO@@@A@@@@@@@@@@@@@@@@@@@@@@@@OOe");
}

TEST_F(SimulatorTest, WriteFramesStoreTheirGroupsAndAreAcknowledged) {
    struct Case {
        const char *form;
        std::string frame;
        std::string acknowledgement;  // also the next data reply
        uint8_t a, b, c;
    };
    const Case cases[] = {
        {"single gate on C", "s@A@CB@@@ABCDEJCLe",
         "s@@@@@@@AABCDEJ@@@@@@@@@@@@@@@@@@@@@@@@GGNHe", 0x12, 0x34, 0x5A},
        {"block of three", "s@A@CB@@@@AOOCDJHe",
         "s@@@@@@@A@AOOCD@@@@@@@@@@@@@@@@@@@@@@@@GGEDe", 0x01, 0xFF, 0x34},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.form);
        sim_->SetStation(1, Station1());
        EXPECT_EQ(Ask(c.frame), c.acknowledgement);
        EXPECT_EQ(Ask("s@A@@B@@@MOe"), c.acknowledgement);
        const StationImage stored = sim_->Station(1).value();
        EXPECT_EQ(stored.groups[0], c.a);
        EXPECT_EQ(stored.groups[1], c.b);
        EXPECT_EQ(stored.groups[2], c.c);
        EXPECT_EQ(stored.groups[15], 0x77) << "groups beyond the frame stay";
        EXPECT_EQ(stored.masks[1], 0xFF) << "a write leaves the masks alone";
    }
}

TEST_F(SimulatorTest, UnansweredRequestsAreLoggedWithTheReason) {
    struct Case {
        std::string request;
        std::string note;
    };
    const Case cases[] = {
        {"sCO@@B@@@JAe", "no station"},                 // station 63, right checksum
        {"sCO@@B@@@JBe", "bad checksum, no station"},
        {"s@E@CB@@@MKe", "malformed"},                  // count 3 without data
        {"s@E@@B@@@MZe", "malformed"},                  // outside the alphabet
        {"s@E@@D@@@MKe", "malformed"},                  // unknown kind 0x40
        {"s@Ee", "malformed"},                          // too short
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.request);
        sim_->ClearLog();
        EXPECT_EQ(Ask(c.request, 300ms), "");
        const std::vector<Frame> log = sim_->FrameLog();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_TRUE(log[0].received);
        EXPECT_EQ(log[0].text, c.request);
        EXPECT_EQ(log[0].note, c.note);
    }
}

TEST_F(SimulatorTest, BadChecksumIsAnsweredAndNoted) {
    EXPECT_EQ(Ask("s@E@@B@@@MAe"), kReply5);
    const std::vector<Frame> log = sim_->FrameLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].note, "bad checksum");
    EXPECT_FALSE(log[1].received);
    EXPECT_EQ(log[1].text, kReply5);
    EXPECT_LE(log[0].at, log[1].at);
}

TEST_F(SimulatorTest, NoiseIsSkippedAndOverlongRequestsDropped) {
    // An "s" with 120 characters and no "e" in the first 100 is dropped;
    // the "e" after it ends nothing.
    EXPECT_EQ(Ask("s" + std::string(120, '@') + "e", 300ms), "");
    EXPECT_TRUE(sim_->Received().empty());
    // Noise before a request, and a broken request that a new "s" restarts.
    EXPECT_EQ(Ask("xx@@e" "s@E@@" + kDataQuery5), kReply5);
    EXPECT_EQ(sim_->Received(), std::vector<std::string>{kDataQuery5});
}

TEST_F(SimulatorTest, EachFaultOnItsOwn) {
    struct Case {
        const char *name;
        Response response;
        std::string reply;
        double atLeastMs;
    };
    auto with = [](auto change) {
        Response response;
        change(response);
        return response;
    };
    const Case cases[] = {
        {"none", Response{}, kReply5, 0},
        {"silent", with([](Response &r) { r.silent = true; }), "", 0},
        {"answerAs", with([](Response &r) { r.answerAs = 3; }),
         "s@@@@@@@C@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@GJe", 0},
        {"fieldFault", with([](Response &r) { r.fieldFault = true; }),
         "s@@@@H@@E@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@OHe", 0},
        {"truncateAfter", with([](Response &r) { r.truncateAfter = 5; }), "s@@@@", 0},
        {"junkBefore", with([](Response &r) { r.junkBefore = "#!?"; }), "#!?" + kReply5, 0},
        {"wrongChecksum", with([](Response &r) { r.wrongChecksum = true; }),
         "s@@@@@@@E@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@GIe", 0},
        {"outsideAlphabet", with([](Response &r) { r.outsideAlphabet = true; }),
         "s@@@@@@@EZ0Z0Z0Z0Z0Z0Z0Z0Z0Z0Z0Z0Z0Z0Z0Z0GHe", 0},
        {"neverEnds", with([](Response &r) { r.neverEnds = true; }),
         "s@@@@@@@E"
         "@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@"
         "@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@"
         "@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@"
         "@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@"
         "@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@"
         "@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@",
         0},
        {"delayMs", with([](Response &r) { r.delayMs = 300; }), kReply5, 280},
        {"dropAck on a query", with([](Response &r) { r.dropAck = true; }), kReply5, 0},
        {"raw", with([](Response &r) { r.raw = "s@@junke"; }), "s@@junke", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim_->SetDefaultResponse(5, c.response);
        const bool ends = !c.reply.empty() && c.reply.back() == 'e';
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(Ask(kDataQuery5, ends ? 2000ms : 300ms), c.reply);
        EXPECT_GE(MillisecondsSince(start), c.atLeastMs);
    }
}

TEST_F(SimulatorTest, FaultsOnAWriteFrame) {
    struct Case {
        const char *name;
        Response response;
        std::string reply;
        bool stored;
    };
    Response dropAck;
    dropAck.dropAck = true;
    Response raw;
    raw.raw = "s@@@@e";
    Response silent;
    silent.silent = true;
    const Case cases[] = {
        {"dropAck", dropAck, "", true},
        {"raw", raw, "s@@@@e", true},
        {"silent", silent, "", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim_->SetStation(1, Station1());
        sim_->SetDefaultResponse(1, c.response);
        EXPECT_EQ(Ask("s@A@CB@@@ABCDEJCLe", c.reply.empty() ? 300ms : 2000ms), c.reply);
        EXPECT_EQ(sim_->Station(1)->groups[2], c.stored ? 0x5A : 0x00);
    }
}

TEST_F(SimulatorTest, QueuedResponsesComeFirstInOrder) {
    Response other;
    other.answerAs = 3;
    Response silent;
    silent.silent = true;
    Response fault;
    fault.fieldFault = true;
    sim_->SetDefaultResponse(5, fault);
    sim_->QueueResponse(5, other);
    sim_->QueueResponse(5, silent);
    const std::string faulty = "s@@@@H@@E@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@OHe";
    EXPECT_EQ(Ask(kDataQuery5), "s@@@@@@@C@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@GJe");
    EXPECT_EQ(Ask(kDataQuery5, 300ms), "");
    EXPECT_EQ(Ask(kDataQuery5), faulty);
    EXPECT_EQ(Ask(kDataQuery5), faulty);
    // Another station's queue is its own.
    EXPECT_EQ(Ask("s@A@@B@@@MOe"), "s@@@@@@@A@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@GGHHe");
}

TEST_F(SimulatorTest, PacedRepliesTakeTheLinesTimeAtTheRateOfTheMoment) {
    Options options;
    options.paced = true;
    StartWith(options);
    struct Case {
        speed_t speed;
        double atLeastMs;  // 44 characters of 10 bits
    };
    const Case cases[] = {{B9600, 44 * 1.0417 * 0.9}, {B1200, 44 * 8.333 * 0.9}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.atLeastMs);
        SetSpeed(line_, c.speed);
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(Ask(kDataQuery5), kReply5);
        const double elapsed = MillisecondsSince(start);
        EXPECT_GE(elapsed, c.atLeastMs);
        EXPECT_LT(elapsed, 10 * c.atLeastMs + 2000);
    }
}

TEST_F(SimulatorTest, RequestTimeAndTurnaroundComeBeforeTheReply) {
    struct Case {
        const char *name;
        bool paced;
        bool accountRequestTime;
        std::chrono::microseconds turnaround;
        double atLeastMs;
    };
    const Case cases[] = {
        // 12 request characters and 44 reply characters at 1200 bit/s.
        {"request time", true, true, 0us, 56 * 8.333 * 0.95},
        {"turnaround", false, false, 200ms, 195},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Options options;
        options.paced = c.paced;
        options.accountRequestTime = c.accountRequestTime;
        options.turnaround = c.turnaround;
        StartWith(options);
        SetSpeed(line_, B1200);
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(Ask(kDataQuery5), kReply5);
        EXPECT_GE(MillisecondsSince(start), c.atLeastMs);
    }
}

TEST_F(SimulatorTest, FrameLogFileHasATimedLineForEachFrame) {
    std::FILE *file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    Options options;
    options.frameLog = file;
    StartWith(options);
    EXPECT_EQ(Ask("s@E@@B@@@MAe"), kReply5);
    sim_.reset();
    std::rewind(file);
    std::vector<std::string> lines;
    char text[256];
    while (std::fgets(text, sizeof text, file) != nullptr) lines.push_back(text);
    std::fclose(file);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex(R"(\d\d:\d\d:\d\d\.\d{6} <- s@E@@B@@@MAe \(bad checksum\)\n)")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\d\d:\d\d:\d\d\.\d{6} -> )" + kReply5 +
                                                      "\n")))
        << lines[1];
}

TEST_F(SimulatorTest, ClearLogForgetsEarlierFrames) {
    EXPECT_EQ(Ask(kDataQuery5), kReply5);
    sim_->ClearLog();
    EXPECT_TRUE(sim_->FrameLog().empty());
    EXPECT_EQ(Ask("s@A@@@@@@OOe").size(), 44u);
    EXPECT_EQ(sim_->Received(), std::vector<std::string>{"s@A@@@@@@OOe"});
}

TEST_F(SimulatorTest, ResetForgetsStationsResponsesAndLog) {
    Response silent;
    silent.silent = true;
    Response other;
    other.answerAs = 3;
    sim_->SetDefaultResponse(5, silent);
    sim_->QueueResponse(5, other);
    EXPECT_EQ(Ask("s@A@@@@@@OOe").size(), 44u);
    sim_->Reset();
    EXPECT_TRUE(sim_->FrameLog().empty());
    EXPECT_FALSE(sim_->Station(1).has_value());
    EXPECT_EQ(Ask(kDataQuery5, 300ms), "") << "no station 5 any more";
    // A station set again answers normally: neither the queued nor the
    // default response survived.
    sim_->SetStation(5, Station5());
    EXPECT_EQ(Ask(kDataQuery5), kReply5);
    EXPECT_EQ(sim_->Received(), (std::vector<std::string>{kDataQuery5, kDataQuery5}));
}

TEST_F(SimulatorTest, LineSurvivesTheDriverClosingAndReopening) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        CloseLine();
        std::this_thread::sleep_for(50ms);
        line_ = OpenLine(sim_->PortPath());
        ASSERT_GE(line_, 0);
        EXPECT_EQ(Ask(kDataQuery5), kReply5);
    }
}

TEST_F(SimulatorTest, HangupLooksLikeAPulledDevice) {
    EXPECT_EQ(Ask(kDataQuery5), kReply5);
    sim_->Hangup();
    pollfd ready{line_, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 5000), 1);
    EXPECT_NE(ready.revents & (POLLHUP | POLLERR), 0);
    char c = 0;
    EXPECT_LE(read(line_, &c, 1), 0);
    sim_->Hangup();  // twice is harmless
    EXPECT_EQ(sim_->Received(), std::vector<std::string>{kDataQuery5});
}

TEST_F(SimulatorTest, StationsChangeWhileServing) {
    const std::string withoutC = "s@@@@@@@E@@@@@@@@OBCG@@@@@@@@@@@@@@@@@@@@MBe";
    std::atomic<bool> done{false};
    std::thread changer([&] {
        StationImage cleared = Station5();
        cleared.groups[2] = 0;
        for (int i = 0; !done; ++i) {
            sim_->SetStation(5, i % 2 == 0 ? cleared : Station5());
            sim_->QueueResponse(9, Response{});
            (void)sim_->FrameLog();
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int i = 0; i < 30; ++i) {
        const std::string reply = Ask(kDataQuery5);
        EXPECT_TRUE(reply == kReply5 || reply == withoutC) << reply;
    }
    done = true;
    changer.join();
}

// --- the optolink-sim program ---

struct Program {
    pid_t pid = -1;
    int in = -1;   // its standard input
    int out = -1;  // its standard output
    int err = -1;  // its standard error
};

Program Launch(const std::vector<std::string> &arguments) {
    Program program;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return program;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> all{OPTOLINK_SIM_PROGRAM};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (posix_spawn(&program.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        program.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    program.in = in[1];
    program.out = out[0];
    program.err = err[0];
    return program;
}

// Reads up to a newline, the end of the stream or 10 s.
std::string ReadFrom(int fd, bool toEnd) {
    std::string text;
    const Clock::time_point deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) continue;
        char c = 0;
        if (read(fd, &c, 1) != 1) break;
        if (!toEnd && c == '\n') break;
        text += c;
    }
    return text;
}

// The exit status, or -1 (and the program killed) when it keeps running.
int WaitForExit(Program &program) {
    int status = 0;
    const Clock::time_point deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
        if (waitpid(program.pid, &status, WNOHANG) == program.pid) {
            program.pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(10ms);
    }
    kill(program.pid, SIGKILL);
    waitpid(program.pid, &status, 0);
    program.pid = -1;
    return -1;
}

void CloseProgram(Program &program) {
    for (int *fd : {&program.in, &program.out, &program.err}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    if (program.pid > 0) WaitForExit(program);
}

std::string WriteTempFile(const std::string &text) {
    static int count = 0;
    const std::string path = ::testing::TempDir() + "optolink-sim-" + std::to_string(getpid()) +
                             "-" + std::to_string(++count) + ".txt";
    std::ofstream(path) << text;
    return path;
}

// The compound value in groups E and F of a reply from station 12.
int CompoundOfStation12(const std::string &reply) {
    if (reply.size() != 44) return -10000;
    const int flag = reply[17] - '@';
    const int magnitude = 1000 * (flag & 1) + 100 * (reply[18] - '@') + 10 * (reply[19] - '@') +
                          (reply[20] - '@');
    return (flag & 0xC) != 0xC ? -10000 : (flag & 2) != 0 ? -magnitude : magnitude;
}

TEST(SimulatorProgram, ServesTheStationsFileAndTheCommandLineFaults) {
    const std::string file = WriteTempFile(
        "# a small installation\n"
        "station 5 groups 00 00 5A 00 F2 37   # bytes, bits and a compound value\n"
        "station 5 masks 00 FF\n"
        "\n"
        "station 7 groups 01\n"
        "fault 7 field-fault\n"
        "station 9\n"
        "ramp 12 E 100 1999 1 50\n");
    Program program = Launch({"--until-stdin-closes", "--fault", "9:answer-as=3", file});
    ASSERT_GT(program.pid, 0);
    const std::string port = ReadFrom(program.out, false);
    const int line = OpenLine(port);
    ASSERT_GE(line, 0) << "port \"" << port << "\"";

    struct Case {
        std::string request;
        std::string reply;
    };
    const Case cases[] = {
        {kDataQuery5, kReply5},
        {"s@E@@@@@@OKe", "s@@@@@@@E@@OO@@@@@@@@@@@@@@@@@@@@@@@@@@@@OLe"},
        {"s@G@@B@@@MIe", "s@@@@H@@G@A@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@GHe"},
        {"s@I@@B@@@MGe", "s@@@@@@@C@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@OMe"},
        {"s@F@@B@@@MJe", ""},  // no station 6
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.request);
        Send(line, c.request);
        EXPECT_EQ(ReadReply(line, c.reply.empty() ? 300ms : 2000ms), c.reply);
    }

    // The ramp counts on its own.
    Send(line, "s@L@@B@@@MDe");
    const int first = CompoundOfStation12(ReadReply(line, 2000ms));
    std::this_thread::sleep_for(300ms);
    Send(line, "s@L@@B@@@MDe");
    const int second = CompoundOfStation12(ReadReply(line, 2000ms));
    EXPECT_GE(first, 100);
    EXPECT_GT(second, first);
    EXPECT_LE(second, 1999);

    close(line);
    close(program.in);
    program.in = -1;
    EXPECT_EQ(WaitForExit(program), 0) << "stops when standard input closes";
    CloseProgram(program);
}

TEST(SimulatorProgram, ServesTheExampleInstallation) {
    const std::string example = (std::filesystem::path(__FILE__).parent_path().parent_path() /
                                 "tools/optolink-sim/example-installation.txt")
                                    .string();
    Program program = Launch({"--until-stdin-closes", example});
    ASSERT_GT(program.pid, 0);
    const int line = OpenLine(ReadFrom(program.out, false));
    ASSERT_GE(line, 0);
    Send(line, kDataQuery5);
    EXPECT_EQ(ReadReply(line, 2000ms), kReply5);
    Send(line, "s@G@@B@@@MIe");
    EXPECT_EQ(ReadReply(line, 2000ms), "s@@@@H@@G@A@B@C@@@@@@@@@@@@@@@@@@@@@@@@@@GCe");
    close(line);
    CloseProgram(program);
}

TEST(SimulatorProgram, StopsOnSigterm) {
    Program program = Launch({});
    ASSERT_GT(program.pid, 0);
    EXPECT_EQ(ReadFrom(program.out, false).rfind("/dev/", 0), 0u);
    kill(program.pid, SIGTERM);
    EXPECT_EQ(WaitForExit(program), 0);
    CloseProgram(program);
}

TEST(SimulatorProgram, RefusesABadLineWithItsNumber) {
    struct Case {
        std::string text;
        std::string line;
    };
    const Case cases[] = {
        {"station 5\nstatoin 6\n", "line 2:"},
        {"# stations\n\nstation 64\n", "line 3:"},
        {"station 5 groups 00 5G\n", "line 1:"},
        {"station 5 groups 0 1\n", "line 1:"},
        {"station 5 groups 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n", "line 1:"},
        {"station 5\nstation 5 colours 00\n", "line 2:"},
        {"fault 5 loud\n", "line 1:"},
        {"fault 5\n", "line 1:"},
        {"fault 5 answer-as=x\n", "line 1:"},
        {"station 1\nstation 2\nramp 12 P 100 200 1\n", "line 3:"},
        {"ramp 12 E 200 100 1\n", "line 1:"},
        {"ramp 12 E 100 2000 1\n", "line 1:"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Program program = Launch({"--until-stdin-closes", WriteTempFile(c.text)});
        ASSERT_GT(program.pid, 0);
        const std::string error = ReadFrom(program.err, true);
        EXPECT_EQ(WaitForExit(program), 2);
        EXPECT_NE(error.find(c.line), std::string::npos) << error;
        EXPECT_EQ(ReadFrom(program.out, true), "") << "no port for a bad file";
        CloseProgram(program);
    }
}

TEST(SimulatorProgram, RefusesABadCommandLine) {
    const std::vector<std::string> cases[] = {
        {"--fault", "5:loud"},
        {"--fault", "64:silent"},
        {"--fault", "silent"},
        {"--turnaround-ms", "soon"},
        {"/nonexistent/stations.txt"},
    };
    for (const std::vector<std::string> &arguments : cases) {
        SCOPED_TRACE(arguments.back());
        Program program = Launch(arguments);
        ASSERT_GT(program.pid, 0);
        EXPECT_NE(ReadFrom(program.err, true), "");
        EXPECT_EQ(WaitForExit(program), 2);
        CloseProgram(program);
    }
}

// --- the control line (--control) ---

// The program with a control line: its data line and control line, both
// opened raw as a client opens them.
struct ControlledProgram {
    Program program;
    int data = -1;
    int control = -1;

    explicit ControlledProgram(const std::vector<std::string> &arguments) {
        std::vector<std::string> all{"--until-stdin-closes", "--control"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        program = Launch(all);
        if (program.pid <= 0) return;
        data = OpenLine(ReadFrom(program.out, false));
        control = OpenLine(ReadFrom(program.out, false));
    }
    ~ControlledProgram() {
        for (int fd : {data, control}) {
            if (fd >= 0) close(fd);
        }
        CloseProgram(program);
    }
    // One command, its one reply line.
    std::string Command(const std::string &line) {
        Send(control, line + "\n");
        return ReadFrom(control, false);
    }
};

// Station 5 as a set command has it: groups C 0x5A, E 0xF2, F 0x37; mask B 0xFF.
const std::string kSetStation5 =
    "set 5 00005A00F23700000000000000000000 00FF0000000000000000000000000000";

TEST(SimulatorControl, EachCommandTakesEffectBeforeItsReply) {
    const std::string file = WriteTempFile("station 5 groups 00 00 5A 00 F2 37\nstation 7\n");
    ControlledProgram sim({file});
    ASSERT_GT(sim.program.pid, 0);
    ASSERT_GE(sim.data, 0);
    ASSERT_GE(sim.control, 0);

    // Each step: a command and its reply (none when the reply is empty),
    // then a data request (if any) and the station's answer, which shows
    // what the command did.
    struct Step {
        std::string command;
        std::string reply;
        std::string request;
        std::string answer;
    };
    const Step steps[] = {
        {"get 7", "ok 00000000000000000000000000000000 00000000000000000000000000000000", kDataQuery5,
         kReply5},
        {"reset", "ok", kDataQuery5, ""},
        {"get 7", "ok none", "", ""},
        {kSetStation5, "ok", kDataQuery5, kReply5},
        {"get 5", "ok 00005A00F23700000000000000000000 00FF0000000000000000000000000000", "s@E@@@@@@OKe",
         "s@@@@@@@E@@OO@@@@@@@@@@@@@@@@@@@@@@@@@@@@OLe"},
        {"queue 5 silent", "ok", kDataQuery5, ""},
        {"queue 5 raw=", "ok", kDataQuery5, ""},  // an empty raw reply is no reply
        // Any byte crosses in hex: a line end and a space before the raw reply.
        {"queue 5 junk-before=0A20 raw=73404065", "ok", kDataQuery5, "\n s@@e"},
        {"", "", kDataQuery5, kReply5},  // the queue is used up
        {"default 5 wrong-checksum", "ok", kDataQuery5, "s@@@@@@@E@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@GIe"},
        {"", "", kDataQuery5, "s@@@@@@@E@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@GIe"},
        {"default 5 answer-as=3 truncate-after=9", "ok", kDataQuery5, "s@@@@@@@C"},
        {"queue 5 field-fault", "ok", kDataQuery5, "s@@@@H@@E@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@OHe"},
        {"default 5", "ok", kDataQuery5, kReply5},
        {"default 5 drop-ack", "ok", "s@E@CB@@@ABCDEJCHe", ""},  // stored, not acknowledged
        {"get 5", "ok 12345A00F23700000000000000000000 00FF0000000000000000000000000000", "", ""},
        {"clear-log", "ok", kDataQuery5, "s@@@@@@@EABCDEJ@@OBCG@@@@@@@@@@@@@@@@@@@@CBe"},
        {"received", "ok 1 7340454040424040404D4B65", "", ""},
        {"clear-log", "ok", "", ""},
        {"received", "ok 0", "", ""},
        {"remove 5", "ok", kDataQuery5, ""},
        // Refusals name the reason and change nothing.
        {"", "error empty command", "", ""},
        {"bogus 5", "error unknown command \"bogus\"", "", ""},
        {"reset now", "error reset takes no arguments", "", ""},
        {"get 256", "error get needs a station 0 to 255", "", ""},
        {"get 5 6", "error get takes a station only", "", ""},
        {"set 5 00 00", "error set needs a station, 16 group bytes and 16 mask bytes in hex", "", ""},
        {"queue 7 loud", "error unknown field \"loud\"", "", ""},
        {"queue 7 silent=1", "error field \"silent\" takes no value", "", ""},
        {"queue 7 raw=7", "error bad hex in \"raw=7\"", "", ""},
        {"default 7 delay-ms=soon", "error bad number in \"delay-ms=soon\"", "", ""},
        {"received", "ok 1 7340454040424040404D4B65", "", ""},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.command + " / " + step.request);
        if (!step.reply.empty()) {
            EXPECT_EQ(sim.Command(step.command), step.reply);
        }
        if (step.request.empty()) continue;
        Send(sim.data, step.request);
        EXPECT_EQ(ReadReply(sim.data, step.answer.empty() || step.answer.back() != 'e' ? 300ms : 2000ms),
                  step.answer);
    }
}

TEST(SimulatorControl, LogListsDirectionOffsetNoteAndText) {
    ControlledProgram sim({});
    ASSERT_GE(sim.control, 0);
    ASSERT_EQ(sim.Command("reset"), "ok");
    ASSERT_EQ(sim.Command(kSetStation5), "ok");
    Send(sim.data, "s@E@@B@@@MAe");  // a bad checksum, answered all the same
    ASSERT_EQ(ReadReply(sim.data, 2000ms), kReply5);
    const std::string log = sim.Command("log");
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(
        log, parts,
        std::regex("ok 2 <,(\\d+),62616420636865636B73756D,7340454040424040404D4165 >,(\\d+),,"
                   "73404040404040404540404040454A40404F4243474040404040404040404040404040404040404040474865")))
        << log;
    // Microseconds from the reset: the request before its reply, both
    // within the minute the test could possibly take.
    const long long received = std::stoll(parts[1]);
    const long long sent = std::stoll(parts[2]);
    EXPECT_LE(received, sent);
    EXPECT_LT(sent, 60'000'000);
}

TEST(SimulatorControl, RepliesComeOneACommandInOrder) {
    ControlledProgram sim({});
    ASSERT_GE(sim.control, 0);
    // Three commands in one write, the middle one refused; CR LF ends a line too.
    Send(sim.control, "reset\r\nget 300\n" + kSetStation5 + "\n");
    EXPECT_EQ(ReadFrom(sim.control, false), "ok");
    EXPECT_EQ(ReadFrom(sim.control, false), "error get needs a station 0 to 255");
    EXPECT_EQ(ReadFrom(sim.control, false), "ok");
    EXPECT_EQ(ReadReply(sim.control, 300ms), "") << "nothing more";
    Send(sim.data, kDataQuery5);
    EXPECT_EQ(ReadReply(sim.data, 2000ms), kReply5);
}

TEST(SimulatorControl, HangupPullsTheDataLineAndKeepsTheControlLine) {
    ControlledProgram sim({});
    ASSERT_GE(sim.control, 0);
    ASSERT_EQ(sim.Command(kSetStation5), "ok");
    EXPECT_EQ(sim.Command("hangup"), "ok");
    pollfd ready{sim.data, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 5000), 1);
    EXPECT_NE(ready.revents & (POLLHUP | POLLERR), 0);
    EXPECT_EQ(sim.Command("get 5"), "ok 00005A00F23700000000000000000000 00FF0000000000000000000000000000");
    EXPECT_EQ(sim.Command("hangup"), "ok") << "twice is harmless";
}

TEST(SimulatorControl, WithoutTheOptionThereIsNoSecondLine) {
    Program program = Launch({"--until-stdin-closes"});
    ASSERT_GT(program.pid, 0);
    EXPECT_EQ(ReadFrom(program.out, false).rfind("/dev/", 0), 0u);
    close(program.in);
    program.in = -1;
    EXPECT_EQ(WaitForExit(program), 0);
    EXPECT_EQ(ReadFrom(program.out, true), "");
    CloseProgram(program);
}

TEST(SimulatorProgram, HelpListsTheFaultSwitches) {
    Program program = Launch({"--help"});
    ASSERT_GT(program.pid, 0);
    const std::string help = ReadFrom(program.out, true);
    EXPECT_EQ(WaitForExit(program), 0);
    for (const char *name : {"silent", "field-fault", "answer-as=N", "delay-ms=N",
                             "truncate-after=N", "junk-before=TEXT", "wrong-checksum",
                             "outside-alphabet", "never-ends", "drop-ack", "raw=TEXT"}) {
        EXPECT_NE(help.find(name), std::string::npos) << name;
    }
    CloseProgram(program);
}

}  // namespace
