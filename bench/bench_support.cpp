#include "bench/bench_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "host/qorhost.h"
#include "tests/support/qor_call.h"

namespace bench {

double MillisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

Summary Summarize(std::vector<double> values) {
    Summary summary;
    summary.count = values.size();
    if (values.empty()) return summary;
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least p of the sample at or below it.
    auto rank = [&values](double p) {
        size_t index = (size_t)std::ceil(p * (double)values.size());
        if (index > 0) --index;
        return values[std::min(index, values.size() - 1)];
    };
    const size_t n = values.size();
    summary.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    summary.p99 = rank(0.99);
    summary.min = values.front();
    summary.max = values.back();
    return summary;
}

namespace {

double Seconds(const timeval &time) { return (double)time.tv_sec + (double)time.tv_usec / 1e6; }

double CpuOf(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

}  // namespace

double ThreadCpuSeconds() { return CpuOf(RUSAGE_THREAD); }
double ProcessCpuSeconds() { return CpuOf(RUSAGE_SELF); }

LoadMark MarkLoad() {
    LoadMark mark;
    mark.at = Clock::now();
    mark.ownCpuSeconds = ProcessCpuSeconds();
    std::ifstream stat("/proc/stat");
    std::string cpu;
    // cpu user nice system idle iowait irq softirq steal ...
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0,
                       steal = 0;
    if (stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal &&
        cpu == "cpu") {
        const double tick = (double)sysconf(_SC_CLK_TCK);
        mark.machineBusySeconds = (double)(user + nice + system + irq + softirq + steal) / tick;
    }
    std::ifstream loadavg("/proc/loadavg");
    loadavg >> mark.loadAverage1;
    return mark;
}

double OtherLoadBetween(const LoadMark &from, const LoadMark &to) {
    const double elapsed = std::chrono::duration<double>(to.at - from.at).count();
    if (elapsed <= 0) return 0;
    const double other = (to.machineBusySeconds - from.machineBusySeconds) -
                         (to.ownCpuSeconds - from.ownCpuSeconds);
    return std::max(0.0, other / elapsed);
}

std::string MachineDescription() {
    utsname name{};
    uname(&name);
    std::string model = "unknown CPU";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            const size_t colon = line.find(':');
            if (colon != std::string::npos) model = line.substr(colon + 2);
            break;
        }
    }
    std::ostringstream text;
    text << name.sysname << " " << name.release << " " << name.machine << ", " << model << ", "
         << sysconf(_SC_NPROCESSORS_ONLN) << " CPUs online";
    return text.str();
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &utc);
    return text;
}

// ---- A host's side of QorMain ------------------------------------------

int32_t StartPort(Port &port, const std::string &path, uint16_t baud, int32_t replyTimeoutUnits) {
    std::string name = path;
    if (name.rfind("/dev/", 0) == 0) name = name.substr(5);
    StartParams start{};
    if (name.size() >= sizeof start.portName) return QOR_FAILED;
    std::memcpy(start.portName, name.c_str(), name.size());
    start.enabled = 1;
    start.replyTimeout = replyTimeoutUnits;
    start.line = LineSettings{baud, 8, 0, 0};
    QorCall(port.context(), QOR_OP_CLOSE_COM, nullptr);
    return QorCall(port.context(), QOR_OP_COLD_START, &start);
}

// CloseCom, not EndQor: the shutdown latch would silence every later port.
void ClosePort(Port &port) { QorCall(port.context(), QOR_OP_CLOSE_COM, nullptr); }

GateRecord Gate::Record() {
    GateRecord record{};
    record.text = text.c_str();
    std::memcpy(record.words, words, sizeof words);
    record.elementCount = elementCount;
    record.values = values;
    return record;
}

bool ParseSingle(Gate &gate, const std::string &text) {
    gate.text = text;
    gate.elementCount = 1;
    AddressParseRecord parse{};
    parse.text = gate.text.c_str();
    const char suffix = text.size() > 3 ? text[3] : '\0';
    parse.dataType = suffix == 'A' ? QOR_TYPE_BYTE : suffix == 'C' ? QOR_TYPE_COMPOUND : QOR_TYPE_BIT;
    if (QorCall(nullptr, QOR_OP_SINGLE_ADDRESS_PARSER, &parse) != QOR_DONE) return false;
    std::memcpy(gate.words, parse.words, sizeof gate.words);
    return true;
}

bool ParseBlock(Gate &gate, const std::string &text, int32_t count) {
    gate.text = text;
    gate.elementCount = count;
    AddressParseRecord parse{};
    parse.text = gate.text.c_str();
    parse.elementCount = count;
    if (QorCall(nullptr, QOR_OP_BLOCK_ADDRESS_PARSER, &parse) != QOR_DONE) return false;
    std::memcpy(gate.words, parse.words, sizeof gate.words);
    return true;
}

int32_t Run(Port &port, uint32_t operation, Gate &gate) {
    GateRecord record = gate.Record();
    return QorCall(port.context(), operation, &record);
}

namespace {

std::atomic<uint64_t> logLines{0};

void CountLine(int32_t, const char *, void *) { logLines.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

void SilenceDriverLog() { qorhost_set_log_handler(CountLine, nullptr); }
uint64_t DriverLogLines() { return logLines.load(); }

// ---- A raw line client -------------------------------------------------

namespace {

speed_t SpeedOf(uint32_t baud) {
    switch (baud) {
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        default: return B0;
    }
}

}  // namespace

int OpenRawLine(const std::string &path, uint32_t baud) {
    const speed_t speed = SpeedOf(baud);
    if (speed == B0) return -1;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        close(fd);
        return -1;
    }
    cfmakeraw(&settings);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        close(fd);
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

double RawExchange(int fd, const std::string &frame) {
    const Clock::time_point start = Clock::now();
    size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t n = write(fd, frame.data() + sent, frame.size() - sent);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        sent += (size_t)n;
    }
    const Clock::time_point giveUp = start + std::chrono::seconds(2);
    char buffer[128];
    for (;;) {
        const int waitMs = (int)std::max<int64_t>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now()).count());
        pollfd request{fd, POLLIN, 0};
        const int ready = poll(&request, 1, waitMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return -1;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        // "e" is never a data character: it ends the reply.
        if (std::memchr(buffer, 'e', (size_t)n) != nullptr) {
            return MillisecondsBetween(start, Clock::now());
        }
    }
}

}  // namespace bench
