// The Windows side of the simulator (remote_simulator.cpp) on its own:
// what it refuses, and that images, responses and frames cross the control
// line intact, seen on the data line's COM port.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "serial/serial_port.h"
#include "tools/optolink-sim/optolink_sim.h"

namespace {

using namespace std::chrono_literals;
using optolink_sim::Options;
using optolink_sim::Response;
using optolink_sim::Simulator;
using optolink_sim::StationImage;

constexpr LineSettings kLine9600{9600, 8, 0, 0};
const std::string kDataQuery5 = "s@E@@B@@@MKe";

TEST(RemoteSimulator, RefusesOptionsItCannotServe) {
    Options device;
    device.device = "\\\\.\\COM1";
    Options paced;
    paced.paced = true;
    Options requestTime;
    requestTime.accountRequestTime = true;
    Options turnaround;
    turnaround.turnaround = 1ms;
    Options frameLog;
    frameLog.frameLog = stderr;
    for (const Options &options : {device, paced, requestTime, turnaround, frameLog}) {
        std::string error;
        EXPECT_EQ(Simulator::Start(options, &error), nullptr);
        EXPECT_NE(error.find("default options only"), std::string::npos) << error;
    }
}

TEST(RemoteSimulator, NeedsTheHarnessesControlLine) {
    const char *control = std::getenv("DOVED_SIM_CONTROL");
    ASSERT_NE(control, nullptr) << "run through tests/win32/run-wine.sh with DOVED_SIM_WITH_CONTROL=1";
    const std::string saved = control;
    ASSERT_EQ(_putenv_s("DOVED_SIM_CONTROL", ""), 0);  // removes it
    std::string error;
    EXPECT_EQ(Simulator::Start(Options{}, &error), nullptr);
    EXPECT_NE(error.find("run-wine.sh"), std::string::npos) << error;
    ASSERT_EQ(_putenv_s("DOVED_SIM_CONTROL", saved.c_str()), 0);
}

TEST(RemoteSimulator, ImagesResponsesAndFramesCrossIntact) {
    std::string error;
    std::unique_ptr<Simulator> sim = Simulator::Start(Options{}, &error);
    ASSERT_NE(sim, nullptr) << error;
    EXPECT_EQ(sim->PortPath(), std::getenv("DOVED_SIM_COM"));

    StationImage image;
    for (int g = 0; g < 16; ++g) {
        image.groups[g] = static_cast<uint8_t>(0xF0 + g);
        image.masks[g] = static_cast<uint8_t>(g * 17);
    }
    image.groups[2] = 0x5A;
    sim->SetStation(5, image);
    const std::optional<StationImage> back = sim->Station(5);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(std::string(back->groups, back->groups + 16), std::string(image.groups, image.groups + 16));
    EXPECT_EQ(std::string(back->masks, back->masks + 16), std::string(image.masks, image.masks + 16));
    EXPECT_FALSE(sim->Station(6).has_value());

    // Junk with a line end, a zero and 0xFF before an empty raw reply: the
    // station sends the junk alone.
    Response junk;
    junk.junkBefore = std::string("\n\0\xFF ", 4);
    junk.raw = "";
    sim->QueueResponse(5, junk);
    Response cut;
    cut.truncateAfter = 9;
    cut.answerAs = 3;
    sim->QueueResponse(5, cut);

    PortHandle line = 0;
    ASSERT_EQ(PortOpen(sim->PortPath().c_str(), &kLine9600, QOR_CONTROL_FLAGS_DEFAULT, &line), kPortDone);
    struct Exchange {
        std::string request;
        std::string reply;
    };
    const Exchange exchanges[] = {
        {kDataQuery5, std::string("\n\0\xFF ", 4)},
        {kDataQuery5, "s@@@@@@@C"},
        {"s@E@@B@@@MAe", "s@@@@@@@EO@OAEJOCODOEOFOGOHOIOJOKOLOMONOOAKe"},  // a bad checksum
    };
    for (const Exchange &exchange : exchanges) {
        SCOPED_TRACE(exchange.request);
        uint32_t count = 0;
        EXPECT_EQ(PortWrite(line, exchange.request.data(), 12, &count), kPortDone);
        std::string reply(exchange.reply.size(), '?');
        EXPECT_EQ(PortRead(line, reply.data(), static_cast<uint32_t>(reply.size()), &count), kPortDone);
        EXPECT_EQ(reply, exchange.reply);
    }
    PortClose(line);

    EXPECT_EQ(sim->Received(), (std::vector<std::string>{kDataQuery5, kDataQuery5, "s@E@@B@@@MAe"}));
    const std::vector<optolink_sim::Frame> log = sim->FrameLog();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_TRUE(log[4].received);
    EXPECT_EQ(log[4].note, "bad checksum");
    EXPECT_FALSE(log[1].received);
    EXPECT_EQ(log[1].text, junk.junkBefore) << "the junk in front of the empty raw reply";
    EXPECT_EQ(log[5].text, exchanges[2].reply);
    for (size_t i = 1; i < log.size(); ++i) EXPECT_LE(log[i - 1].at, log[i].at) << i;

    sim->ClearLog();
    EXPECT_TRUE(sim->FrameLog().empty());
    sim->RemoveStation(5);
    EXPECT_FALSE(sim->Station(5).has_value());
}

}  // namespace
