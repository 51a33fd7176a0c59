// qorctl as a user runs it: real processes, the real driver, and the
// optolink-sim program as the bus.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/qorctl/process.h"

namespace {

const std::string kQorctl = QORCTL_PATH;
const std::string kSimulator = OPTOLINK_SIM_PATH;

ProcessResult Qorctl(std::vector<std::string> args, const std::vector<std::string> &env = {}) {
    args.insert(args.begin(), kQorctl);
    // QORCTL_PORT of the person running the tests must not leak in.
    return RunProcess(args, env, {"QORCTL_PORT"});
}

std::string Describe(const ProcessResult &r) {
    return "status " + std::to_string(r.status) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

// Number of code points of a UTF-8 text.
size_t CodePoints(const std::string &text) {
    size_t count = 0;
    for (unsigned char c : text) count += (c & 0xC0) != 0x80;
    return count;
}

std::string Repeat(const std::string &piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

TEST(QorctlInfo, ShowsTheRecordAndTheBannerInUtf8) {
    ProcessResult r = Qorctl({"info"});
    ASSERT_EQ(r.status, 0) << Describe(r);
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 13u) << r.out;
    EXPECT_EQ(lines[1], "short name    Electromatic DUPLINE");
    EXPECT_EQ(lines[2], "context size  708 bytes");
    EXPECT_EQ(lines[3], "default line  9600 baud, 8 data bits, parity none (code 0), 1.5 stop bits (code 1)");
    EXPECT_EQ(lines[4], "host numbers  70, 4, 3");
    EXPECT_EQ(lines[5], "banner");
    EXPECT_EQ(lines[6], "");  // the banner's own leading line feed
    const std::string shades = Repeat("█", 5) + Repeat("▓", 6) + Repeat("▒", 6) + Repeat("░", 6);
    const std::string shadesBack = Repeat("░", 6) + Repeat("▒", 6) + Repeat("▓", 6) + Repeat("█", 5);
    EXPECT_EQ(lines[7], " ╔" + Repeat("═", 59) + "╗");
    EXPECT_EQ(lines[8], " ║ " + shades + " Q O R D O " + shadesBack + " ║");
    EXPECT_EQ(lines[9], " ║        Electromatic DUPLINE  , Driver installed.          ║");
    EXPECT_EQ(lines[10], " ║            OPTOLINK driver , Optolink protocol            ║");
    EXPECT_EQ(lines[12], " ╚" + Repeat("═", 59) + "╝");
    // The version line's wording is the driver's; its frame is not.
    EXPECT_NE(lines[11].find("5.33"), std::string::npos) << lines[11];
    EXPECT_EQ(lines[11].rfind(" ║", 0), 0u) << lines[11];
    EXPECT_EQ(CodePoints(lines[11]), 62u) << lines[11];
    EXPECT_EQ(r.err, "");
}

// The driver's parsers, as qorctl shows them: words or the reason.
struct ParseCase {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;  // the driver's level-32 lines
};

void PrintTo(const ParseCase &c, std::ostream *os) {
    *os << "parse";
    for (const std::string &a : c.args) *os << " '" << a << "'";
}

class QorctlParse : public testing::TestWithParam<ParseCase> {};

TEST_P(QorctlParse, ShowsWordsOrTheRefusal) {
    const ParseCase &c = GetParam();
    std::vector<std::string> args = {"parse"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProcessResult r = Qorctl(args);
    EXPECT_EQ(r.status, c.status) << Describe(r);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, QorctlParse,
    testing::Values(
        ParseCase{{"12C3", "12c3", "05EC", "63pa", "01A0 T1", "01AA:16"},
                  0,
                  "ADDRESS  KIND      RESULT  WORDS           MEANING\n"
                  "12C3     bit       0       12 0 2 4 16     station 12, group C, bit 4\n"
                  "12c3     bit       0       12 0 2 4 16     station 12, group C, bit 4\n"
                  "05EC     compound  0       5 67 4 255 16   station 5, groups E and F, signed BCD\n"
                  "63pa     byte      0       63 0 15 255 16  station 63, group P\n"
                  "01A0 T1  bit       0       1 0 0 7 16      station 1, group A, bit 7\n"
                  "01AA:16  block     0       1 0 0 255 16    station 1, groups A to P\n",
                  ""},
        // Refusals the driver logs carry its line; silent ones qorctl's reason.
        ParseCase{{"01DC", "07CA:4", "00CC", "01AA:17", "07A3:4", "01AAXYZWQ", "70AA", "01QA", "01A8", "01a"},
                  1,
                  "ADDRESS    KIND      RESULT  WORDS  MEANING\n"
                  "01DC       compound  1       refused: DOVED: Illegal Group in Compound Gate 01DC\n"
                  "07CA:4     block     1       refused: DOVED: Illegal Block Starting Address. Gate=07CA\n"
                  "00CC       compound  1       refused: station 00 is not 1 to 63\n"
                  "01AA:17    block     1       refused: a block holds at most 16 groups, not 17\n"
                  "07A3:4     block     1       refused: a block is of whole bytes: its suffix is A, not \"3\"\n"
                  "01AAXYZWQ  byte      1       refused: longer than 8 characters\n"
                  "70AA       byte      1       refused: station digit \"7\" is not 0 to 6\n"
                  "01QA       byte      1       refused: group \"Q\" is not A to P\n"
                  "01A8       ?         1       refused: suffix \"8\" is not 0 to 7, A or C\n"
                  "01a        ?         1       refused: shorter than 4 characters (station, group, suffix)\n",
                  "DOVED: Illegal Group in Compound Gate 01DC\n"
                  "DOVED: Illegal Block Starting Address. Gate=07CA\n"},
        // One refusal among good addresses makes the status 1.
        ParseCase{{"01CA", "01CC", "--type", "byte"},
                  1,
                  "ADDRESS  KIND      RESULT  WORDS         MEANING\n"
                  "01CA     byte      0       1 0 2 255 16  station 1, group C\n"
                  "01CC     compound  1       refused: suffix \"C\" needs the compound data type (1), not byte (0)\n",
                  ""},
        ParseCase{{"05AA", "--block", "4"},
                  0,
                  "ADDRESS  KIND   RESULT  WORDS         MEANING\n"
                  "05AA:4   block  0       5 0 0 255 16  station 5, groups A to D\n",
                  ""}));

// Usage errors: status 64, one line on stderr naming the input, nothing on
// stdout, and no port touched.
struct UsageCase {
    std::vector<std::string> args;
    std::string err;
};

void PrintTo(const UsageCase &c, std::ostream *os) {
    *os << "qorctl";
    for (const std::string &a : c.args) *os << " '" << a << "'";
}

class QorctlUsage : public testing::TestWithParam<UsageCase> {};

TEST_P(QorctlUsage, EndsWith64AndOneLine) {
    ProcessResult r = Qorctl(GetParam().args);
    EXPECT_EQ(r.status, 64) << Describe(r);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, GetParam().err + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Errors, QorctlUsage,
    testing::Values(
        UsageCase{{}, "qorctl: A subcommand is required (see qorctl --help)"},
        UsageCase{{"read"}, "qorctl: GATE is required (see qorctl read --help)"},
        UsageCase{{"read", "01AA"}, "qorctl: no port: give --port NAME or set QORCTL_PORT (see qorctl --help)"},
        UsageCase{{"read", "01AA", "--port", "/dev/pts/12345"},
                  "qorctl: port \"/dev/pts/12345\": longer than 11 characters, the most a port name may have (see "
                  "qorctl --help)"},
        UsageCase{{"read", "01AA:x", "--port", "NUL"},
                  "qorctl: \"01AA:x\": block count \"x\" is not a number of groups (write a block as 01AA:16) (see "
                  "qorctl read --help)"},
        UsageCase{{"read", "01AA:-2", "--port", "NUL"},
                  "qorctl: \"01AA:-2\": block count \"-2\" is negative (see qorctl read --help)"},
        UsageCase{{"write", "01AA", "--port", "NUL"},
                  "qorctl: \"01AA\": expected GATE=VALUE (see qorctl write --help)"},
        UsageCase{{"write", "01AA=abc", "--port", "NUL"},
                  "qorctl: \"01AA=abc\": value \"abc\" is not a number from -32768 to 65535 (see qorctl write --help)"},
        UsageCase{{"write", "01AA=70000", "--port", "NUL"},
                  "qorctl: \"01AA=70000\": value \"70000\" is not a number from -32768 to 65535 (see qorctl write "
                  "--help)"},
        UsageCase{{"write", "01AA:3=1,2", "--port", "NUL"},
                  "qorctl: \"01AA:3=1,2\": 2 values for 3 groups (see qorctl write --help)"},
        UsageCase{{"--baud", "70000", "info"}, "qorctl: --baud: Value 70000 not in range 1 to 65535 (see qorctl --help)"},
        UsageCase{{"read", "01AA", "--port", "NUL", "--parity", "sometimes"},
                  "qorctl: --parity: sometimes not in {even,mark,none,odd,space} (see qorctl --help)"},
        UsageCase{{"read", "01AA", "--port", "NUL", "--stop-bits", "3"},
                  "qorctl: --stop-bits: 3 not in {1,1.5,2} (see qorctl --help)"},
        UsageCase{{"read", "01AA", "--port", "NUL", "--timeout", "0"},
                  "qorctl: --timeout: Value 0 not in range 1 to 600000 (see qorctl --help)"},
        UsageCase{{"watch", "01AA", "--port", "NUL", "--count", "0"},
                  "qorctl: --count: Value 0 not in range 1 to 1000000000 (see qorctl watch --help)"},
        UsageCase{{"parse", "01AA", "--type", "float"},
                  "qorctl: --type: float not in {byte,bit,compound} (see qorctl parse --help)"},
        UsageCase{{"info", "--frob"}, "qorctl: The following argument was not expected: --frob (see qorctl info --help)"}));

TEST(QorctlHelp, EverySubCommandHasHelp) {
    for (const char *command : {"info", "parse", "read", "write", "scan", "watch"}) {
        ProcessResult r = Qorctl({command, "--help"});
        EXPECT_EQ(r.status, 0) << command << "\n" << Describe(r);
        EXPECT_NE(r.out.find(std::string("Usage: ") + kQorctl + " " + command), std::string::npos) << r.out;
    }
    ProcessResult r = Qorctl({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("QORCTL_PORT"), std::string::npos) << r.out;
}

TEST(QorctlDriver, ADriverThatWillNotLoadFailsWith2) {
    ProcessResult r = Qorctl({"info", "--driver", "/nonexistent/libdoved.so"});
    EXPECT_EQ(r.status, 2) << Describe(r);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("qorctl: driver /nonexistent/libdoved.so: ", 0), 0u) << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
}


// The simulated bus of the tests below.
//   1: byte, bit and compound data (E, F: -1237), group P 0x81
//   2: reports its field equipment (status bit)
//   3: answers as station 4
//   5: compound +1999 on groups E and F
//  12: groups 01 to 10; G and H make compound data with its flag clear
// Every other station is silent.
const char *const kStations =
    "station 1 groups 00 00 5A 00 F2 37 00 00 00 00 00 00 00 00 00 81\n"
    "station 2 groups 11\n"
    "fault 2 field-fault\n"
    "station 3 groups 01\n"
    "fault 3 answer-as=4\n"
    "station 5 groups 00 00 00 00 D9 99\n"
    "station 12 groups 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10\n";

// One optolink-sim process with its frame log in a file, for one test.
class Simulator {
public:
    explicit Simulator(const std::string &stations) {
        folder_ = std::filesystem::temp_directory_path() /
                  ("qorctl-test-" + std::to_string(getpid()) + "-" + std::to_string(counter_++));
        std::filesystem::create_directories(folder_);
        std::ofstream(folder_ / "stations.txt") << stations;
        started_ = process_.Start({kSimulator, "--log", (folder_ / "stations.txt").string()},
                                  (folder_ / "frames.log").string()) &&
                   process_.ReadLine(&port_, std::chrono::seconds(20));
    }
    ~Simulator() {
        process_.Stop();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    bool Started() const { return started_; }
    const std::string &Port() const { return port_; }

    // Frames the stations received from the master, by the station they
    // address (characters 1 and 2 of the frame).
    std::map<int, int> RequestsByStation() const {
        std::map<int, int> counts;
        std::ifstream log(folder_ / "frames.log");
        std::string line;
        while (std::getline(log, line)) {
            std::istringstream words(line);
            std::string time, direction, frame;
            words >> time >> direction >> frame;
            if (direction != "<-" || frame.size() < 3) continue;
            ++counts[16 * (frame[1] - '@') + (frame[2] - '@')];
        }
        return counts;
    }

private:
    static inline int counter_ = 0;
    std::filesystem::path folder_;
    BackgroundProcess process_;
    std::string port_;
    bool started_ = false;
};

// qorctl against the bus: {PORT} in an argument stands for the simulator's
// port. The driver's level-32 lines on stderr are listed in errLines.
struct BusCase {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::vector<std::string> errLines;
};

void PrintTo(const BusCase &c, std::ostream *os) {
    *os << "qorctl";
    for (const std::string &a : c.args) *os << " '" << a << "'";
}

std::vector<std::string> WithPort(std::vector<std::string> args, const std::string &port) {
    for (std::string &arg : args) {
        size_t at = arg.find("{PORT}");
        if (at != std::string::npos) arg.replace(at, 6, port);
    }
    return args;
}

class QorctlBus : public testing::TestWithParam<BusCase> {};

TEST_P(QorctlBus, OutputAndStatus) {
    Simulator sim(kStations);
    ASSERT_TRUE(sim.Started());
    const BusCase &c = GetParam();
    ProcessResult r = Qorctl(WithPort(c.args, sim.Port()));
    EXPECT_EQ(r.status, c.status) << Describe(r);
    EXPECT_EQ(r.out, c.out);
    std::vector<std::string> expectedErr = {"DOVED: Dupline Optolink 32bit driver installed"};
    expectedErr.insert(expectedErr.end(), c.errLines.begin(), c.errLines.end());
    EXPECT_EQ(Lines(r.err), expectedErr);
}

const std::vector<std::string> kPort = {"--port", "{PORT}", "--timeout", "100"};

std::vector<std::string> Args(std::vector<std::string> args) {
    args.insert(args.end(), kPort.begin(), kPort.end());
    return args;
}

INSTANTIATE_TEST_SUITE_P(
    Read, QorctlBus,
    testing::Values(
        BusCase{Args({"read", "01AA", "01CA", "01C3", "01C4", "01C7", "01ec", "01PA", "01P0", "01AA:16", "01AA:1",
                      "01AA:3", "12AA:1", "12AA:4", "05EC"}),
                0,
                "GATE     KIND      VALUE                                  RESULT\n"
                "01AA     byte      0                                      0 ok\n"
                "01CA     byte      90                                     0 ok\n"
                "01C3     bit       1                                      0 ok\n"
                "01C4     bit       1                                      0 ok\n"
                "01C7     bit       0                                      0 ok\n"
                "01ec     compound  -1237                                  0 ok\n"
                "01PA     byte      129                                    0 ok\n"
                "01P0     bit       1                                      0 ok\n"
                "01AA:16  block     0,0,90,0,242,55,0,0,0,0,0,0,0,0,0,129  0 ok\n"
                "01AA:1   block     0                                      0 ok\n"
                "01AA:3   block     0,0,90                                 0 ok\n"
                "12AA:1   block     1                                      0 ok\n"
                "12AA:4   block     1,2,3,4                                0 ok\n"
                "05EC     compound  1999                                   0 ok\n",
                {}},
        BusCase{Args({"read", "--json", "01CA", "01C3", "01EC", "01AA:4", "09AA", "09AA:2", "02AA", "01DC"}),
                2,
                "{\"address\":\"01CA\",\"kind\":\"byte\",\"value\":90,\"result\":0}\n"
                "{\"address\":\"01C3\",\"kind\":\"bit\",\"value\":1,\"result\":0}\n"
                "{\"address\":\"01EC\",\"kind\":\"compound\",\"value\":-1237,\"result\":0}\n"
                "{\"address\":\"01AA\",\"kind\":\"block\",\"count\":4,\"values\":[0,0,90,0],\"result\":0}\n"
                "{\"address\":\"09AA\",\"kind\":\"byte\",\"value\":null,\"result\":2,\"error\":\"failed: no reply\"}\n"
                "{\"address\":\"09AA\",\"kind\":\"block\",\"count\":2,\"values\":null,\"result\":2,"
                "\"error\":\"failed: no reply\"}\n"
                "{\"address\":\"02AA\",\"kind\":\"byte\",\"value\":null,\"result\":1,"
                "\"error\":\"rejected: DOVED. Station 2:Problem with Field Equipment!\"}\n"
                "{\"address\":\"01DC\",\"kind\":\"compound\",\"value\":null,\"result\":1,"
                "\"error\":\"refused: DOVED: Illegal Group in Compound Gate 01DC\"}\n",
                {"DOVED: Single Read Failed. Gate = 09AA", "DOVED: Block Read Failed. Gate = 09AA",
                 "DOVED. Station 2:Problem with Field Equipment!", "DOVED. Station 2:Problem with Field Equipment!",
                 "DOVED. Station 2:Problem with Field Equipment!", "DOVED. Station 2:Problem with Field Equipment!",
                 "DOVED: Single Read Failed. Gate = 02AA", "DOVED: Illegal Group in Compound Gate 01DC"}}));

// Exit statuses: each case one kind of outcome, then the worst one wins.
INSTANTIATE_TEST_SUITE_P(
    Status, QorctlBus,
    testing::Values(
        BusCase{Args({"read", "01DC"}), 1,
                "GATE  KIND      VALUE  RESULT\n"
                "01DC  compound  -      1 refused: DOVED: Illegal Group in Compound Gate 01DC\n",
                {"DOVED: Illegal Group in Compound Gate 01DC"}},
        BusCase{Args({"read", "00AA"}), 1,
                "GATE  KIND  VALUE  RESULT\n"
                "00AA  byte  -      1 refused: station 00 is not 1 to 63\n",
                {}},
        BusCase{Args({"read", "02AA"}), 1,
                "GATE  KIND  VALUE  RESULT\n"
                "02AA  byte  -      1 rejected: DOVED. Station 2:Problem with Field Equipment!\n",
                {"DOVED. Station 2:Problem with Field Equipment!", "DOVED. Station 2:Problem with Field Equipment!",
                 "DOVED. Station 2:Problem with Field Equipment!", "DOVED. Station 2:Problem with Field Equipment!",
                 "DOVED: Single Read Failed. Gate = 02AA"}},
        BusCase{Args({"read", "03AA"}), 1,
                "GATE  KIND  VALUE  RESULT\n"
                "03AA  byte  -      1 rejected: DOVED: DoBlockRead() wrong plcaddr (4) in received msg!\n",
                {"DOVED: Single Read Failed. Gate = 03AA"}},
        BusCase{Args({"read", "12GC"}), 1,
                "GATE  KIND      VALUE  RESULT\n"
                "12GC  compound  -      1 rejected: DOVED: Data for Compound Gate 12GC is ignored!; DOVED: "
                "DoBlockRead() Incorrect data received\n",
                {"DOVED: Single Read Failed. Gate = 12GC"}},
        BusCase{Args({"read", "09AA"}), 2,
                "GATE  KIND  VALUE  RESULT\n"
                "09AA  byte  -      2 failed: no reply\n",
                {"DOVED: Single Read Failed. Gate = 09AA"}},
        // -v adds the driver's diagnostic lines.
        BusCase{Args({"read", "-v", "09AA"}), 2,
                "GATE  KIND  VALUE  RESULT\n"
                "09AA  byte  -      2 failed: no reply\n",
                {"DOVED: DoBlockRead() error reading reply, retry 4", "DOVED: DoBlockRead() error reading reply, retry 3",
                 "DOVED: DoBlockRead() error reading reply, retry 2", "DOVED: DoBlockRead() error reading reply, retry 1",
                 "DOVED: Single Read Failed. Gate = 09AA"}},
        BusCase{Args({"read", "01AA", "01DC", "09AA"}), 2,
                "GATE  KIND      VALUE  RESULT\n"
                "01AA  byte      0      0 ok\n"
                "01DC  compound  -      1 refused: DOVED: Illegal Group in Compound Gate 01DC\n"
                "09AA  byte      -      2 failed: no reply\n",
                {"DOVED: Illegal Group in Compound Gate 01DC", "DOVED: Single Read Failed. Gate = 09AA"}},
        BusCase{Args({"write", "01BA=17", "01A7=1", "12AA:2=1,2"}), 0,
                "GATE    KIND   VALUE  RESULT\n"
                "01BA    byte   17     0 ok\n"
                "01A7    bit    1      0 ok\n"
                "12AA:2  block  1,2    0 ok\n",
                {}},
        BusCase{Args({"write", "01EC=5", "01BA=300", "01BA=-1", "01A0=2", "01AA:2=1,300", "03AA=1"}), 1,
                "GATE    KIND      VALUE  RESULT\n"
                "01EC    compound  5      1 refused: DOVED: Can't write to Compound Gates. Gate 01EC\n"
                "01BA    byte      300    1 refused: value 300 is not 0 to 255\n"
                "01BA    byte      -1     1 refused: value -1 is not 0 to 255\n"
                "01A0    bit       2      1 refused: a bit gate takes 0 or 1, not 2\n"
                "01AA:2  block     1,300  1 refused: block values are bytes 0 to 255, not 300\n"
                "03AA    byte      1      1 rejected: DOVED: Bad Plc Address in Reply\n",
                {"DOVED: Can't write to Compound Gates. Gate 01EC"}},
        BusCase{Args({"write", "--json", "01BA=0x11", "09AA=1", "09AA:2=1,2"}), 2,
                "{\"address\":\"01BA\",\"kind\":\"byte\",\"value\":17,\"result\":0}\n"
                "{\"address\":\"09AA\",\"kind\":\"byte\",\"value\":1,\"result\":2,\"error\":\"failed: no reply\"}\n"
                "{\"address\":\"09AA\",\"kind\":\"block\",\"count\":2,\"values\":[1,2],\"result\":2,"
                "\"error\":\"failed: no reply\"}\n",
                {}}));

TEST(QorctlPort, APortThatWillNotOpenFailsWith2) {
    ProcessResult r = Qorctl({"read", "01AA", "--port", "nosuchtty"});
    EXPECT_EQ(r.status, 2) << Describe(r);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Lines(r.err), (std::vector<std::string>{"DOVED. ColdStart(): error opening COM port!",
                                                      "qorctl: port nosuchtty (/dev/nosuchtty) will not open"}));
}

TEST(QorctlPort, ThePortComesFromTheEnvironment) {
    Simulator sim(kStations);
    ASSERT_TRUE(sim.Started());
    ProcessResult r = RunProcess({kQorctl, "read", "01CA"}, {"QORCTL_PORT=" + sim.Port()});
    EXPECT_EQ(r.status, 0) << Describe(r);
    EXPECT_EQ(r.out, "GATE  KIND  VALUE  RESULT\n01CA  byte  90     0 ok\n");
}

// A write is seen by the next read: byte, bit (only its own bit) and
// block, and the groups after a written one stay as they were.
TEST(QorctlWrite, ReadBackShowsWhatWasWritten) {
    Simulator sim(kStations);
    ASSERT_TRUE(sim.Started());
    std::vector<std::string> port = WithPort(kPort, sim.Port());
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.end(), port.begin(), port.end());
        return Qorctl(args);
    };
    ProcessResult w = run({"write", "01BA=42", "01C7=1", "12AA:3=9,8,7"});
    ASSERT_EQ(w.status, 0) << Describe(w);
    ProcessResult r = run({"read", "--json", "01BA", "01CA", "01C7", "01EC", "12AA:4"});
    EXPECT_EQ(r.status, 0) << Describe(r);
    EXPECT_EQ(r.out,
              "{\"address\":\"01BA\",\"kind\":\"byte\",\"value\":42,\"result\":0}\n"
              "{\"address\":\"01CA\",\"kind\":\"byte\",\"value\":91,\"result\":0}\n"
              "{\"address\":\"01C7\",\"kind\":\"bit\",\"value\":1,\"result\":0}\n"
              "{\"address\":\"01EC\",\"kind\":\"compound\",\"value\":-1237,\"result\":0}\n"
              "{\"address\":\"12AA\",\"kind\":\"block\",\"count\":4,\"values\":[9,8,7,4],\"result\":0}\n");
}

// A full scan: every station address once, the answering ones listed with
// their groups; the rejected ones make the status 1.
TEST(QorctlScan, FindsExactlyTheSimulatedStations) {
    Simulator sim(kStations);
    ASSERT_TRUE(sim.Started());
    ProcessResult r = Qorctl(WithPort({"scan", "--port", "{PORT}", "--timeout", "60"}, sim.Port()), {});
    EXPECT_EQ(r.status, 1) << Describe(r);
    EXPECT_EQ(r.out,
              "station 01  hex  00 00 5A 00 F2 37 00 00 00 00 00 00 00 00 00 81\n"
              "            bits A 00000000 B 00000000 C 01011010 D 00000000 E 11110010 F 00110111 G 00000000 H 00000000\n"
              "                 I 00000000 J 00000000 K 00000000 L 00000000 M 00000000 N 00000000 O 00000000 P 10000001\n"
              "station 02  rejected: DOVED. Station 2:Problem with Field Equipment!\n"
              "station 03  rejected: DOVED: DoBlockRead() wrong plcaddr (4) in received msg!\n"
              "station 05  hex  00 00 00 00 D9 99 00 00 00 00 00 00 00 00 00 00\n"
              "            bits A 00000000 B 00000000 C 00000000 D 00000000 E 11011001 F 10011001 G 00000000 H 00000000\n"
              "                 I 00000000 J 00000000 K 00000000 L 00000000 M 00000000 N 00000000 O 00000000 P 00000000\n"
              "station 12  hex  01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10\n"
              "            bits A 00000001 B 00000010 C 00000011 D 00000100 E 00000101 F 00000110 G 00000111 H 00001000\n"
              "                 I 00001001 J 00001010 K 00001011 L 00001100 M 00001101 N 00001110 O 00001111 P 00010000\n"
              "3 stations answered: 01 05 12\n");
    // Every address was polled: once where the first reply was good, four
    // times where none was.
    std::map<int, int> requests = sim.RequestsByStation();
    for (int station = 1; station <= 63; ++station) {
        int expected = (station == 1 || station == 5 || station == 12) ? 1 : 4;
        EXPECT_EQ(requests[station], expected) << "station " << station;
    }
    EXPECT_EQ(requests.size(), 63u);
}

// watch --count ends by itself; its counts are the simulator's: a good read
// is one request, a missing or rejected one four.
TEST(QorctlWatch, CountEndsItAndTheCountsMatchTheBus) {
    Simulator sim(kStations);
    ASSERT_TRUE(sim.Started());
    ProcessResult r = Qorctl(WithPort({"watch", "01CA", "02AA", "09AA", "05EC", "01AA:2", "--count", "3",
                                       "--interval", "10", "--port", "{PORT}", "--timeout", "100"},
                                      sim.Port()));
    EXPECT_EQ(r.status, 2) << Describe(r);
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    for (int cycle = 1; cycle <= 3; ++cycle) {
        std::string n = std::to_string(cycle);
        std::regex expected("cycle " + n + R"( \(\d+ ms\) 01CA=90 \[good )" + n +
                            R"(, missing 0, rejected 0\] 02AA=- \[good 0, missing 0, rejected )" + n +
                            R"(\] 09AA=- \[good 0, missing )" + n + R"(, rejected 0\] 05EC=1999 \[good )" + n +
                            R"(, missing 0, rejected 0\] 01AA:2=0,0 \[good )" + n + R"(, missing 0, rejected 0\])");
        EXPECT_TRUE(std::regex_match(lines[cycle - 1], expected)) << lines[cycle - 1];
    }
    std::map<int, int> requests = sim.RequestsByStation();
    EXPECT_EQ(requests[1], 3 + 3);  // 01CA and 01AA:2, good
    EXPECT_EQ(requests[2], 3 * 4);  // rejected
    EXPECT_EQ(requests[9], 3 * 4);  // missing
    EXPECT_EQ(requests[5], 3);
    EXPECT_EQ(requests.size(), 4u);
}

// On a terminal the table is redrawn in place once a cycle, below what
// the terminal showed before.
TEST(QorctlWatch, RedrawsATableOnATerminal) {
    Simulator sim(kStations);
    ASSERT_TRUE(sim.Started());
    ProcessResult r = RunProcess({kQorctl, "watch", "01CA", "09AA", "--count", "2", "--interval", "10", "--port",
                                  sim.Port(), "--timeout", "100"},
                                 {}, {"QORCTL_PORT"}, std::chrono::seconds(120), true);
    EXPECT_EQ(r.status, 2) << Describe(r);
    // The second table goes back over the five lines of the first.
    std::regex table(
        "qorctl watch  port " + sim.Port() +
        R"(  cycle 1  cycle time \d+ ms  every 10 ms\r\n\r\n)"
        R"(GATE  KIND  VALUE  CHANGED       GOOD  MISSING  REJECTED  NOTE\r\n)"
        R"(01CA  byte  90     \d\d:\d\d:\d\d\.\d\d\d  1     0        0\r\n)"
        R"(09AA  byte  -      -             0     1        0         failed: no reply\r\n)"
        "\033\\[5A\r\033\\[Jqorctl watch  port " + sim.Port() +
        R"(  cycle 2  cycle time \d+ ms  every 10 ms\r\n\r\n)"
        R"(GATE  KIND  VALUE  CHANGED       GOOD  MISSING  REJECTED  NOTE\r\n)"
        R"(01CA  byte  90     \d\d:\d\d:\d\d\.\d\d\d  2     0        0\r\n)"
        R"(09AA  byte  -      -             0     2        0         failed: no reply\r\n)");
    EXPECT_TRUE(std::regex_match(r.out, table)) << r.out;
}

}  // namespace
