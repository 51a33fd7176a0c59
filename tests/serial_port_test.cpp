// The serial port layer against real devices: pseudo-terminals (the test
// holds the master, the layer opens the slave), the null device and a
// regular file. Termios is shared by both sides of a pty, so the settings
// the layer made are read back from the master.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "serial/line_config.h"
#include "serial/serial_port.h"
#include "serial/termios2_linux.h"
#include "tests/support/pty_pair.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr LineSettings kLine9600{9600, 8, 0, 0};
constexpr uint16_t kDtrRtsOn = QOR_CONTROL_FLAGS_DEFAULT;

int64_t MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int DescriptorOf(PortHandle handle) { return (int)handle - 1; }

void WriteAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        ASSERT_GT(n, 0);
        done += (size_t)n;
    }
}

// Reads from the master until count characters came or a second passed.
std::string ReadFromMaster(int master, size_t count) {
    std::string text;
    const auto start = Clock::now();
    while (text.size() < count && MillisecondsSince(start) < 1000) {
        pollfd request{master, POLLIN, 0};
        if (poll(&request, 1, 100) <= 0) continue;
        char buffer[512];
        const ssize_t n = read(master, buffer, std::min(sizeof buffer, count - text.size()));
        if (n <= 0) break;
        text.append(buffer, (size_t)n);
    }
    return text;
}

// Characters waiting on the port's side, or -1.
int WaitingInput(PortHandle handle) {
    int waiting = -1;
    if (ioctl(DescriptorOf(handle), FIONREAD, &waiting) != 0) return -1;
    return waiting;
}

// Waits until the port's side has count characters waiting.
bool AwaitInput(PortHandle handle, int count) {
    const auto start = Clock::now();
    while (MillisecondsSince(start) < 2000) {
        if (WaitingInput(handle) >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// The read time-out the port holds, as seen from the master side.
uint32_t TimeoutSeenFrom(int master) {
    termios settings{};
    EXPECT_EQ(tcgetattr(master, &settings), 0);
    return ReadTimeoutOf(settings);
}

// The terminal's exclusive-use flag (TIOCEXCL), through an open of our own
// that root may make; -1 when that fails.
int ExclusiveFlagOf(const std::string &path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    int exclusive = -1;
    if (ioctl(fd, TIOCGEXCL, &exclusive) != 0) exclusive = -1;
    close(fd);
    return exclusive;
}

class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        pair_ = OpenPtyPair();
        ASSERT_GE(pair_.master, 0);
    }
    void TearDown() override {
        if (handle_ != 0) {
            EXPECT_EQ(PortClose(handle_), kPortDone);
        }
        ClosePtyPair(pair_);
    }
    void Open(LineSettings line = kLine9600, uint16_t flags = kDtrRtsOn) {
        ASSERT_EQ(PortOpen(pair_.slavePath.c_str(), &line, flags, &handle_), kPortDone);
        ASSERT_NE(handle_, 0u);
    }

    PtyPair pair_;
    PortHandle handle_ = 0;
};

// ---- Opening ------------------------------------------------------------

struct FailedOpen {
    const char *what;
    std::string name;  // "" stands for the fixture's pty slave
    LineSettings line;
    int32_t status;
};

void PrintTo(const FailedOpen &row, std::ostream *out) { *out << row.what; }

class FailedOpenTest : public PtyPort, public ::testing::WithParamInterface<FailedOpen> {};

TEST_P(FailedOpenTest, AnswersItsCodeAndLeavesNothingOpen) {
    const FailedOpen &row = GetParam();
    char fileName[] = "/tmp/doved-serial-XXXXXX";
    std::string name = row.name.empty() ? pair_.slavePath : row.name;
    if (name == "<file>") {
        const int file = mkstemp(fileName);
        ASSERT_GE(file, 0);
        close(file);
        name = fileName;
    }
    const int before = OpenDescriptorCount();
    PortHandle handle = 12345;
    EXPECT_EQ(PortOpen(name.c_str(), &row.line, kDtrRtsOn, &handle), row.status) << row.what;
    EXPECT_EQ(handle, 0u) << row.what;
    EXPECT_EQ(OpenDescriptorCount(), before) << row.what;
    if (name == fileName) unlink(fileName);

    // A refused pty is not left held: a good open follows.
    if (row.name.empty()) {
        Open();
    }
}

INSTANTIATE_TEST_SUITE_P(
    SerialPort, FailedOpenTest,
    ::testing::Values(FailedOpen{"missing device", "/dev/doved-no-such-port", kLine9600, 1},
                      FailedOpen{"missing name under /dev", "doved-no-such-port", kLine9600, 1},
                      FailedOpen{"nul is not the null device", "nul", kLine9600, 1},
                      FailedOpen{"directory", "/tmp", kLine9600, 1},
                      FailedOpen{"regular file", "<file>", kLine9600, 4},
                      FailedOpen{"baud 0", "", {0, 8, 0, 0}, 5},
                      FailedOpen{"nine data bits", "", {9600, 9, 0, 0}, 5},
                      FailedOpen{"parity code 5", "", {9600, 8, 0, 5}, 5},
                      FailedOpen{"stop-bits code 3", "", {9600, 8, 3, 0}, 5}));

TEST_F(PtyPort, SecondOpenOfAHeldPortFailsUntilItIsClosed) {
    Open();
    // Run as root, TIOCEXCL lets this open through: the lock refuses it.
    const int before = OpenDescriptorCount();
    PortHandle second = 0;
    EXPECT_EQ(PortOpen(pair_.slavePath.c_str(), &kLine9600, kDtrRtsOn, &second), kPortNotOpened);
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(OpenDescriptorCount(), before);

    PortSettings settings{};
    std::strncpy(settings.name, pair_.slavePath.c_str(), sizeof settings.name - 1);
    settings.line = kLine9600;
    settings.controlFlags = kDtrRtsOn;
    EXPECT_EQ(OpenFromSettings(&settings), 0u);
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_EQ(ExclusiveFlagOf(pair_.slavePath), 1);

    // Closing gives the port back, also to users without root's privilege.
    ASSERT_EQ(PortClose(handle_), kPortDone);
    EXPECT_EQ(ExclusiveFlagOf(pair_.slavePath), 0);
    handle_ = OpenFromSettings(&settings);
    EXPECT_NE(handle_, 0u);
}

TEST_F(PtyPort, NameWithoutSlashIsLookedUpUnderDev) {
    ASSERT_EQ(pair_.slavePath.rfind("/dev/", 0), 0u);
    const std::string name = pair_.slavePath.substr(5);  // "pts/N"
    ASSERT_EQ(PortOpen(name.c_str(), &kLine9600, kDtrRtsOn, &handle_), kPortDone);
    WriteAll(pair_.master, "x");
    char c = 0;
    EXPECT_EQ(PortRead(handle_, &c, 1, nullptr), kPortDone);
    EXPECT_EQ(c, 'x');
}

TEST(SerialPort, OpenFromSettingsRefusesANameWithoutTerminator) {
    PortSettings settings{};
    std::memset(settings.name, 'N', sizeof settings.name);
    settings.line = kLine9600;
    const int before = OpenDescriptorCount();
    EXPECT_EQ(OpenFromSettings(&settings), 0u);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(SerialPort, NullDeviceTakesWritesAndDeliversNothing) {
    PortHandle first = 0;
    PortHandle second = 0;
    ASSERT_EQ(PortOpen("NUL", &kLine9600, kDtrRtsOn, &first), kPortDone);
    ASSERT_NE(first, 0u);
    // Unconfigured and not exclusive.
    ASSERT_EQ(PortOpen("NUL", &kLine9600, kDtrRtsOn, &second), kPortDone);

    const std::string frame(1000, 'A');
    uint32_t written = 0;
    EXPECT_EQ(PortWrite(first, frame.data(), (uint32_t)frame.size(), &written), kPortDone);
    EXPECT_EQ(written, 1000u);

    // No termios: no time-out to set, and reads end at once.
    EXPECT_EQ(SetReadTimeout(first, 50), 0);
    char buffer[4] = {};
    uint32_t received = 99;
    const auto start = Clock::now();
    EXPECT_EQ(PortRead(first, buffer, 1, &received), kPortIoFailed);
    EXPECT_LT(MillisecondsSince(start), 500);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(PurgeInput(first), kPortDone);

    EXPECT_EQ(PortClose(second), kPortDone);
    EXPECT_EQ(PortClose(first), kPortDone);
}

// ---- Configuration ------------------------------------------------------

struct ReadBack {
    LineSettings line;
    uint16_t flags;
    speed_t standardSpeed;  // B0 for a rate set through termios2
    bool twoStopBits;
    bool rtsCts;
};

void PrintTo(const ReadBack &row, std::ostream *out) {
    *out << row.line.baud << " baud, stop-bits code " << row.line.stopBits << ", flags 0x"
         << std::hex << row.flags;
}

class ConfigurationTest : public PtyPort, public ::testing::WithParamInterface<ReadBack> {};

TEST_P(ConfigurationTest, MasterSeesTheLineTheOpenMade) {
    const ReadBack &row = GetParam();
    // Start from a cooked line so that every raw flag has to be made.
    termios cooked{};
    ASSERT_EQ(tcgetattr(pair_.master, &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    cooked.c_iflag |= ICRNL | IXON | IXOFF | INLCR;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_cflag &= ~(tcflag_t)(CLOCAL | CREAD);
    cooked.c_cc[VMIN] = 1;
    cooked.c_cc[VTIME] = 5;
    cfsetspeed(&cooked, B1200);
    ASSERT_EQ(tcsetattr(pair_.master, TCSANOW, &cooked), 0);

    Open(row.line, row.flags);

    termios seen{};
    ASSERT_EQ(tcgetattr(pair_.master, &seen), 0);
    uint32_t output = 0;
    uint32_t input = 0;
    ASSERT_EQ(ReadBaudRates(pair_.master, &output, &input), 0);
    EXPECT_EQ(output, row.line.baud);
    EXPECT_EQ(input, row.line.baud);
    if (row.standardSpeed != B0) {
        EXPECT_EQ(cfgetospeed(&seen), row.standardSpeed);
    }

    EXPECT_EQ((seen.c_cflag & CSTOPB) != 0, row.twoStopBits);
    EXPECT_EQ((seen.c_cflag & CRTSCTS) != 0, row.rtsCts);
    EXPECT_EQ(seen.c_cflag & (CLOCAL | CREAD), (tcflag_t)(CLOCAL | CREAD));
    EXPECT_EQ(seen.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN), 0u);
    EXPECT_EQ(seen.c_iflag & (ICRNL | IXON | IXOFF | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(seen.c_oflag & OPOST, 0u);
    EXPECT_EQ(seen.c_cc[VMIN], 0);
    EXPECT_EQ(seen.c_cc[VTIME], 0);
    EXPECT_EQ(ReadTimeoutOf(seen), (uint32_t)kOpenReadTimeoutMs);

    // Blocking again once CLOCAL is set, and not inherited by children.
    EXPECT_EQ(fcntl(DescriptorOf(handle_), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(DescriptorOf(handle_), F_GETFD) & FD_CLOEXEC, 0);
}

INSTANTIATE_TEST_SUITE_P(
    SerialPort, ConfigurationTest,
    ::testing::Values(ReadBack{{9600, 8, 0, 0}, kDtrRtsOn, B9600, false, false},
                      ReadBack{{57600, 8, 2, 0}, kDtrRtsOn, B57600, true, false},
                      ReadBack{{19200, 8, 1, 0}, 0x0000, B19200, true, false},
                      ReadBack{{12345, 8, 0, 0}, kDtrRtsOn, B0, false, false},
                      ReadBack{{65535, 8, 0, 0}, 0x3000, B0, false, true},
                      ReadBack{{9600, 8, 0, 0}, 0x2000, B9600, false, false}));

// The computed flags, including what a pty would not keep (it forces 8
// data bits and drops parity).
struct FormatRow {
    LineSettings line;
    int32_t status;
    tcflag_t size;
    tcflag_t parity;  // PARENB, PARODD, CMSPAR bits
    bool inputCheck;  // INPCK
    bool twoStopBits;
};

TEST(LineConfig, CharacterFormatTable) {
    const FormatRow rows[] = {
        {{9600, 5, 0, 0}, 0, CS5, 0, false, false},
        {{9600, 6, 0, 0}, 0, CS6, 0, false, false},
        {{9600, 7, 0, 2}, 0, CS7, PARENB, true, false},
        {{9600, 8, 0, 1}, 0, CS8, PARENB | PARODD, true, false},
        {{9600, 8, 0, 3}, 0, CS8, PARENB | CMSPAR | PARODD, true, false},
        {{9600, 8, 0, 4}, 0, CS8, PARENB | CMSPAR, true, false},
        {{9600, 5, 1, 0}, 0, CS5, 0, false, true},  // one and a half
        {{9600, 8, 2, 0}, 0, CS8, 0, false, true},
        {{9600, 0x0107, 0x0100, 0x0202}, 0, CS7, PARENB, true, false},  // low bytes
        {{9600, 9, 0, 0}, 5, 0, 0, false, false},
        {{9600, 4, 0, 0}, 5, 0, 0, false, false},
        {{9600, 8, 0, 5}, 5, 0, 0, false, false},
        {{9600, 8, 3, 0}, 5, 0, 0, false, false},
        {{0, 8, 0, 0}, 5, 0, 0, false, false},
    };
    termios reported{};
    reported.c_iflag = ICRNL | IXON | INPCK | PARMRK;
    reported.c_oflag = OPOST | ONLCR;
    reported.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    reported.c_cflag = CS8 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
    reported.c_cc[VSTART] = 0x11;
    StoreReadTimeout(&reported, 4321);
    for (const FormatRow &row : rows) {
        SCOPED_TRACE(::testing::Message() << "data " << row.line.dataBits << " stop "
                                          << row.line.stopBits << " parity " << row.line.parity
                                          << " baud " << row.line.baud);
        termios settings = reported;
        ASSERT_EQ(ConfigureTermios(&settings, &row.line, kDtrRtsOn), row.status);
        if (row.status != 0) {
            EXPECT_EQ(std::memcmp(&settings, &reported, sizeof settings), 0);
            continue;
        }
        EXPECT_EQ(settings.c_cflag & CSIZE, row.size);
        EXPECT_EQ(settings.c_cflag & (PARENB | PARODD | CMSPAR), row.parity);
        EXPECT_EQ((settings.c_iflag & INPCK) != 0, row.inputCheck);
        EXPECT_EQ((settings.c_cflag & CSTOPB) != 0, row.twoStopBits);
        EXPECT_EQ(settings.c_cflag & (CREAD | CLOCAL | HUPCL), (tcflag_t)(CREAD | CLOCAL | HUPCL));
        EXPECT_EQ(settings.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(settings.c_iflag & (ICRNL | IXON | PARMRK), 0u);
        EXPECT_EQ(settings.c_oflag & OPOST, 0u);
        EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(settings.c_cc[VSTART], 0x11);
        EXPECT_EQ(ReadTimeoutOf(settings), 4321u);
        EXPECT_EQ(cfgetospeed(&settings), B9600);
    }
}

struct ControlRow {
    uint16_t flags;
    DtrMode dtr;
    RtsMode rts;
};

TEST(LineConfig, ControlFlagsTable) {
    const ControlRow rows[] = {
        {0x0303, kDtrOn, kRtsOn},          {0x0000, kDtrOff, kRtsOff},
        {0x8101, kDtrOn, kRtsOff},         {0x8000, kDtrHandshake, kRtsOff},
        {0x3000, kDtrOff, kRtsHandshake},  {0x2000, kDtrOff, kRtsToggle},
        {0x0400, kDtrOff, kRtsOff},        {0x0100, kDtrOn, kRtsOff},
        {0x0200, kDtrOff, kRtsOn},         {0x3202, kDtrOff, kRtsOn},
        {0xFFFF, kDtrOn, kRtsOn},
    };
    for (const ControlRow &row : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << row.flags);
        EXPECT_EQ(DtrModeFor(row.flags), row.dtr);
        EXPECT_EQ(RtsModeFor(row.flags), row.rts);
        termios settings{};
        ASSERT_EQ(ConfigureTermios(&settings, &kLine9600, row.flags), 0);
        EXPECT_EQ((settings.c_cflag & CRTSCTS) != 0, row.rts == kRtsHandshake);
    }
}

// ---- Read time-out ------------------------------------------------------

TEST_F(PtyPort, SetReadTimeoutAnswersThePreviousValueHeldByThePort) {
    Open();
    EXPECT_EQ(SetReadTimeout(handle_, 50), 100);
    EXPECT_EQ(TimeoutSeenFrom(pair_.master), 500u);
    EXPECT_EQ(SetReadTimeout(handle_, 50), 50);
    EXPECT_EQ(SetReadTimeout(handle_, 0), 50);
    EXPECT_EQ(TimeoutSeenFrom(pair_.master), 0u);
    // A 32-bit product, signed on the way back.
    EXPECT_EQ(SetReadTimeout(handle_, -1), 0);
    EXPECT_EQ(SetReadTimeout(handle_, 7), -1);

    // The port holds the time-out: one set from the other side is seen, and
    // one below 10 ms answers 0.
    termios settings{};
    ASSERT_EQ(tcgetattr(pair_.master, &settings), 0);
    StoreReadTimeout(&settings, 9);
    ASSERT_EQ(tcsetattr(pair_.master, TCSANOW, &settings), 0);
    EXPECT_EQ(SetReadTimeout(handle_, 20), 0);
    EXPECT_EQ(TimeoutSeenFrom(pair_.master), 200u);
}

TEST_F(PtyPort, SilentReadEndsAfterTheTimeout) {
    Open();
    SetReadTimeout(handle_, 30);
    char c = 0;
    uint32_t received = 99;
    const auto start = Clock::now();
    EXPECT_EQ(PortRead(handle_, &c, 1, &received), kPortIoFailed);
    const int64_t elapsed = MillisecondsSince(start);
    EXPECT_EQ(received, 0u);
    EXPECT_GE(elapsed, 270);
    EXPECT_LT(elapsed, 300 + 400);
}

TEST_F(PtyPort, ZeroTimeoutWaitsWithoutLimit) {
    Open();
    SetReadTimeout(handle_, 0);
    std::thread writer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        WriteAll(pair_.master, "k");
    });
    char c = 0;
    const auto start = Clock::now();
    EXPECT_EQ(PortRead(handle_, &c, 1, nullptr), kPortDone);
    EXPECT_GE(MillisecondsSince(start), 1000);
    EXPECT_EQ(c, 'k');
    writer.join();
}

TEST_F(PtyPort, EachPortKeepsItsOwnTimeoutAcrossThreads) {
    Open();
    PtyPair other = OpenPtyPair();
    ASSERT_GE(other.master, 0);
    PortHandle otherHandle = 0;
    ASSERT_EQ(PortOpen(other.slavePath.c_str(), &kLine9600, kDtrRtsOn, &otherHandle), kPortDone);
    SetReadTimeout(handle_, 10);
    SetReadTimeout(otherHandle, 120);

    int64_t shortElapsed = 0;
    int64_t longElapsed = 0;
    auto silentRead = [](PortHandle handle, int64_t *elapsed) {
        char c = 0;
        const auto start = Clock::now();
        EXPECT_EQ(PortRead(handle, &c, 1, nullptr), kPortIoFailed);
        *elapsed = MillisecondsSince(start);
    };
    std::thread longRead(silentRead, otherHandle, &longElapsed);
    std::thread shortRead(silentRead, handle_, &shortElapsed);
    shortRead.join();
    longRead.join();
    EXPECT_LT(shortElapsed, 900);
    EXPECT_GE(longElapsed, 1080);

    EXPECT_EQ(PortClose(otherHandle), kPortDone);
    ClosePtyPair(other);
}

// ---- Reading and writing ------------------------------------------------

TEST_F(PtyPort, ReadOfTenGathersOverTwoReadsOrAnswers7WithWhatCame) {
    Open();
    SetReadTimeout(handle_, 40);
    for (const bool restComes : {true, false}) {
        SCOPED_TRACE(restComes ? "the other 6 come" : "the other 6 never come");
        WriteAll(pair_.master, "s@@A");
        std::thread writer([&] {
            if (!restComes) return;
            // After the first read's time-out, within the second's.
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
            WriteAll(pair_.master, "BCDEFe");
        });
        char buffer[11] = {};
        uint32_t received = 0;
        EXPECT_EQ(PortRead(handle_, buffer, 10, &received), restComes ? kPortDone : kPortIoFailed);
        EXPECT_EQ(received, restComes ? 10u : 4u);
        EXPECT_STREQ(buffer, restComes ? "s@@ABCDEFe" : "s@@A");
        writer.join();
    }
}

TEST_F(PtyPort, EveryByteValueCrossesUnchangedBothWays) {
    Open();
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back((char)i);

    uint32_t written = 0;
    EXPECT_EQ(PortWrite(handle_, all.data(), (uint32_t)all.size(), &written), kPortDone);
    EXPECT_EQ(written, 256u);
    EXPECT_EQ(ReadFromMaster(pair_.master, 256), all);

    WriteAll(pair_.master, all);
    std::string back(256, '\0');
    uint32_t received = 0;
    EXPECT_EQ(PortRead(handle_, back.data(), 256, &received), kPortDone);
    EXPECT_EQ(received, 256u);
    EXPECT_EQ(back, all);
}

TEST_F(PtyPort, WriteWaitsUntilEveryCharacterIsTaken) {
    Open();
    // Far more than the tty buffers hold: the write has to wait for the
    // other side, however long it takes.
    const std::string big(256 * 1024, 'W');
    std::string seen;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        char buffer[4096];
        while (seen.size() < big.size()) {
            pollfd request{pair_.master, POLLIN, 0};
            if (poll(&request, 1, 2000) <= 0) break;
            const ssize_t n = read(pair_.master, buffer, sizeof buffer);
            if (n <= 0) break;
            seen.append(buffer, (size_t)n);
        }
    });
    uint32_t written = 0;
    EXPECT_EQ(PortWrite(handle_, big.data(), (uint32_t)big.size(), &written), kPortDone);
    EXPECT_EQ(written, big.size());
    reader.join();
    EXPECT_EQ(seen.size(), big.size());
}

TEST_F(PtyPort, BreakAndDelayLastTheirDuration) {
    Open();
    auto start = Clock::now();
    EXPECT_EQ(SendBreak(150, handle_), kPortDone);
    EXPECT_GE(MillisecondsSince(start), 150);
    start = Clock::now();
    EXPECT_EQ(PortDelay(150), kPortDone);
    EXPECT_GE(MillisecondsSince(start), 150);
    // The line still works afterwards.
    EXPECT_EQ(PortWrite(handle_, "s@@e", 4, nullptr), kPortDone);
    EXPECT_EQ(ReadFromMaster(pair_.master, 4), "s@@e");
}

TEST_F(PtyPort, ReadOfZeroAnswers7) {
    Open();
    SetReadTimeout(handle_, 1);
    char c = 0;
    uint32_t received = 5;
    EXPECT_EQ(PortRead(handle_, &c, 0, &received), kPortIoFailed);
    EXPECT_EQ(received, 0u);
}

// ---- Draining -----------------------------------------------------------

TEST_F(PtyPort, PurgeWithNothingWaitingLeavesTheTimeoutAlone) {
    Open();
    // A drain would set 50 ms and, finding no time-out to restore, keep it.
    SetReadTimeout(handle_, 0);
    EXPECT_EQ(PurgeInput(handle_), kPortDone);
    EXPECT_EQ(TimeoutSeenFrom(pair_.master), 0u);
}

TEST_F(PtyPort, PurgeDrainsEverythingAndRestoresTheTimeout) {
    Open();
    SetReadTimeout(handle_, 30);
    WriteAll(pair_.master, std::string(1000, 'Q'));
    ASSERT_TRUE(AwaitInput(handle_, 1000));

    EXPECT_EQ(PurgeInput(handle_), kPortDone);
    EXPECT_EQ(WaitingInput(handle_), 0);
    EXPECT_EQ(SetReadTimeout(handle_, 1), 30);
    char c = 0;
    EXPECT_EQ(PortRead(handle_, &c, 1, nullptr), kPortIoFailed);
}

TEST_F(PtyPort, PurgeFromNoTimeoutKeepsTheDrainTimeout) {
    Open();
    SetReadTimeout(handle_, 0);
    WriteAll(pair_.master, "sXXe");
    ASSERT_TRUE(AwaitInput(handle_, 4));
    EXPECT_EQ(PurgeInput(handle_), kPortDone);
    EXPECT_EQ(WaitingInput(handle_), 0);
    EXPECT_EQ(TimeoutSeenFrom(pair_.master), 50u);
}

// ---- A device that goes away -------------------------------------------

TEST_F(PtyPort, ClosedMasterMakesReadsAndWritesFailPromptly) {
    Open();
    SetReadTimeout(handle_, 500);
    ClosePtyPair(pair_);

    char c = 0;
    uint32_t received = 9;
    auto start = Clock::now();
    EXPECT_EQ(PortRead(handle_, &c, 1, &received), kPortIoFailed);
    EXPECT_LT(MillisecondsSince(start), 2000);
    EXPECT_EQ(received, 0u);

    uint32_t written = 77;
    start = Clock::now();
    EXPECT_EQ(PortWrite(handle_, "s@@e", 4, &written), kPortIoFailed);
    EXPECT_LT(MillisecondsSince(start), 2000);
    EXPECT_EQ(written, 77u);  // untouched on failure

    EXPECT_EQ(PurgeInput(handle_), kPortDrainFailed);
    EXPECT_EQ(PortClose(handle_), kPortDone);
    handle_ = 0;
}

TEST_F(PtyPort, MasterClosingDuringAReadEndsIt) {
    Open();
    SetReadTimeout(handle_, 500);
    std::thread closer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ClosePtyPair(pair_);
    });
    char c = 0;
    const auto start = Clock::now();
    EXPECT_EQ(PortRead(handle_, &c, 1, nullptr), kPortIoFailed);
    EXPECT_LT(MillisecondsSince(start), 2000);
    closer.join();
}

// ---- No port ------------------------------------------------------------

TEST(SerialPort, HandleZeroFailsEveryOperation) {
    char buffer[4] = {};
    uint32_t written = 5;
    uint32_t received = 5;
    EXPECT_EQ(PortWrite(0, "s@@e", 4, &written), kPortIoFailed);
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(PortRead(0, buffer, 1, &received), kPortIoFailed);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(SetReadTimeout(0, 50), 0);
    EXPECT_EQ(PurgeInput(0), kPortDrainFailed);
    EXPECT_EQ(PortClose(0), kPortIoFailed);
}

TEST(SerialPort, ClosedHandleIsNoLongerUsable) {
    PortHandle handle = 0;
    ASSERT_EQ(PortOpen("NUL", &kLine9600, kDtrRtsOn, &handle), kPortDone);
    ASSERT_EQ(PortClose(handle), kPortDone);
    EXPECT_EQ(PortClose(handle), kPortIoFailed);
}

}  // namespace
