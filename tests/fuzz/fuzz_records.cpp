// Fuzz target: the start and change records (StartParams, ChangeParams)
// with arbitrary bytes, port names included, and the port operations that
// follow them, against the real serial layer.
//
// Input: a StartParams record (28 bytes), then up to 16 operations, each a
// selector byte (% 5: WarmStart, CloseCom, ReOpenCom, ChangeQorParams with
// the next 24 bytes as its record, ColdStart with the next 28 after a
// CloseCom, as a host restarts a port).
//
// Port names reach only harmless devices: "NUL", the two pseudo-terminals
// the target made ("PTY" and "PTY2" stand for them), and names that do not
// exist; any other name of something that exists becomes "nodev", so that
// the fuzzer never opens a device of the machine. Unterminated names stay
// as they are.
//
// Checked after every operation: the result and log lines against the
// record, the settings the context keeps, the records left unchanged (each
// at the end of a heap block of its own size, so any read past it is
// caught), and no descriptor left open beyond the context's one port.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "entry/qor_interface.h"
#include "host/qorhost.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/pty_pair.h"
#include "tests/support/qor_call.h"

namespace {

constexpr int kMostOperations = 16;
// What a start with a reply time-out of 0 or below keeps: the open's 1000 ms.
constexpr int32_t kOpenReplyTimeout = 100;

const char kInstalled[] = "DOVED: Dupline Optolink 32bit driver installed";
const char kColdStartFailed[] = "DOVED. ColdStart(): error opening COM port!";
const char kChangeFailed[] = "DOVED: ChangeQorParams() open new COM port failed";
const char kWarmStart[] = "DOVED: WarmStart()";

struct Logged {
    int32_t level;
    std::string text;
    bool operator==(const Logged &) const = default;
};
std::vector<Logged> logged;

void Collect(int32_t level, const char *line, void *) { logged.push_back(Logged{level, line}); }

PtyPair ptys[2];
std::string ptyNames[2];  // "pts/N", as a host names them in 11 characters
int baseDescriptors = 0;

bool Terminated(const char (&name)[QOR_PORT_NAME_SIZE]) {
    return std::memchr(name, '\0', QOR_PORT_NAME_SIZE) != nullptr;
}

void SetName(char (&name)[QOR_PORT_NAME_SIZE], const std::string &text) {
    std::memcpy(name, text.c_str(), text.size() + 1);
}

bool Exists(const std::string &path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 || stat(path.c_str(), &status) == 0;
}

// Keeps the fuzzer away from the machine's devices (see the top).
void MakeHarmless(char (&name)[QOR_PORT_NAME_SIZE]) {
    if (!Terminated(name)) return;
    const std::string text = name;
    if (text == "PTY") return SetName(name, ptyNames[0]);
    if (text == "PTY2") return SetName(name, ptyNames[1]);
    if (text == "NUL" || text == ptyNames[0] || text == ptyNames[1]) return;
    const std::string path = text[0] == '/' ? text : "/dev/" + text;
    if (path == ptys[0].slavePath || path == ptys[1].slavePath) return;
    if (Exists(path)) SetName(name, "nodev");
}

// A record copied to the end of a heap block of exactly its size.
template <typename Record>
std::unique_ptr<unsigned char[]> Place(const uint8_t *bytes, Record **record) {
    std::unique_ptr<unsigned char[]> block(new unsigned char[sizeof(Record)]);
    std::memcpy(block.get(), bytes, sizeof(Record));
    *record = reinterpret_cast<Record *>(block.get());
    MakeHarmless((*record)->portName);
    return block;
}

bool IsNull(const char (&name)[QOR_PORT_NAME_SIZE]) { return Terminated(name) && std::strcmp(name, "NUL") == 0; }

// Names that cannot open: unterminated, or naming nothing.
bool CannotOpen(const char (&name)[QOR_PORT_NAME_SIZE]) {
    if (!Terminated(name)) return true;
    const std::string text = name;
    if (text == "NUL" || text == ptyNames[0] || text == ptyNames[1]) return false;
    const std::string path = text[0] == '/' ? text : "/dev/" + text;
    return path != ptys[0].slavePath && path != ptys[1].slavePath;
}

bool SameLine(const LineSettings &a, const LineSettings &b) {
    return a.baud == b.baud && a.dataBits == b.dataBits && a.stopBits == b.stopBits && a.parity == b.parity;
}

// What the process holds open, for the report of a leak.
std::string OpenDescriptors() {
    std::string list;
    for (int fd = 0; fd < 1024; ++fd) {
        char link[64];
        char target[256] = {};
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        if (readlink(link, target, sizeof target - 1) > 0) list += " " + std::to_string(fd) + "=" + target;
    }
    return list;
}

// The context holds one port at most, and nothing else stays open; the
// driver keeps nothing in the context beyond its own fields (the rest of the
// block starts out 0 and stays so).
void CheckDescriptors(const DriverContext *context, const char *after) {
    const int open = OpenDescriptorCount() - baseDescriptors;
    FUZZ_CHECK(open == (context->portHandle != 0 ? 1 : 0), "after %s: %d descriptors open, handle %u:%s", after,
               open, context->portHandle, OpenDescriptors().c_str());
    const auto *block = reinterpret_cast<const unsigned char *>(context);
    bool untouched = context->reserved == 0;
    for (size_t i = sizeof(DriverContext); i < QOR_CONTEXT_SIZE; ++i) untouched = untouched && block[i] == 0;
    FUZZ_CHECK(untouched, "after %s: the driver wrote outside its fields of the context", after);
}

void CheckColdStart(DriverContext *context, const uint8_t *bytes) {
    StartParams *start = nullptr;
    auto block = Place(bytes, &start);
    const StartParams copy = *start;
    logged.clear();
    const int32_t result = QorCall(context, QOR_OP_COLD_START, start);
    FUZZ_CHECK(std::memcmp(start, &copy, sizeof copy) == 0, "ColdStart wrote into its record");
    FUZZ_CHECK(context->active == start->enabled, "active %d, enabled %d", context->active, start->enabled);
    FUZZ_CHECK(context->replyTimeout == (start->replyTimeout > 0 ? start->replyTimeout : kOpenReplyTimeout),
               "reply time-out %d from %d", context->replyTimeout, start->replyTimeout);
    CheckDescriptors(context, "ColdStart");
    if (start->enabled == 0) {
        FUZZ_CHECK(result == QOR_DONE && context->portHandle == 0 && logged.empty(), "start without a port: %d",
                   result);
        return;
    }
    FUZZ_CHECK(std::strncmp(context->portSettings.name, start->portName, QOR_PORT_NAME_SIZE) == 0,
               "the context keeps another name");
    FUZZ_CHECK(SameLine(context->portSettings.line, start->line), "the context keeps other line settings");
    FUZZ_CHECK(context->portSettings.controlFlags == QOR_CONTROL_FLAGS_DEFAULT, "control flags %#x",
               context->portSettings.controlFlags);
    if (result == QOR_DONE) {
        FUZZ_CHECK(context->portHandle != 0 && !CannotOpen(start->portName), "started without a port");
        FUZZ_CHECK((logged == std::vector<Logged>{{QOR_LOG_OPERATOR, kInstalled}}), "lines after a start");
    } else {
        FUZZ_CHECK(result == QOR_FAILED && context->portHandle == 0, "ColdStart: %d", result);
        FUZZ_CHECK(!IsNull(start->portName), "the null device did not open");
        FUZZ_CHECK((logged == std::vector<Logged>{{QOR_LOG_OPERATOR, kColdStartFailed}}), "lines after a failed start");
    }
}

void CheckChange(DriverContext *context, const uint8_t *bytes) {
    ChangeParams *change = nullptr;
    auto block = Place(bytes, &change);
    const ChangeParams copy = *change;
    const DriverContext before = *context;
    logged.clear();
    const int32_t result = QorCall(context, QOR_OP_CHANGE_QOR_PARAMS, change);
    FUZZ_CHECK(std::memcmp(change, &copy, sizeof copy) == 0, "ChangeQorParams wrote into its record");
    CheckDescriptors(context, "ChangeQorParams");
    FUZZ_CHECK(context->replyTimeout == (change->replyTimeout > 0 ? change->replyTimeout : before.replyTimeout),
               "reply time-out %d after %d with %d", context->replyTimeout, before.replyTimeout, change->replyTimeout);
    FUZZ_CHECK(std::memcmp(context->portSettings.name, change->portName, QOR_PORT_NAME_SIZE) == 0,
               "the new name is not kept");
    FUZZ_CHECK(SameLine(context->portSettings.line, change->line.baud != 0 ? change->line : before.portSettings.line),
               "line settings after a change");
    FUZZ_CHECK(context->portSettings.controlFlags == before.portSettings.controlFlags, "control flags changed");
    if (result == QOR_DONE) {
        FUZZ_CHECK(context->portHandle != 0 && !CannotOpen(change->portName), "changed without a port");
        FUZZ_CHECK(logged.empty(), "lines after a change: %zu", logged.size());
    } else {
        FUZZ_CHECK(result == QOR_FAILED, "ChangeQorParams: %d", result);
        FUZZ_CHECK((logged == std::vector<Logged>{{QOR_LOG_OPERATOR, kChangeFailed}}), "lines after a failed change");
        // Either the old port is kept (the same name) or none is open.
        FUZZ_CHECK(context->portHandle == 0 || context->portHandle == before.portHandle, "a failed change left handle %u",
                   context->portHandle);
    }
}

void CheckCloseCom(DriverContext *context) {
    const DriverContext before = *context;
    FUZZ_CHECK(QorCall(context, QOR_OP_CLOSE_COM, nullptr) == QOR_DONE, "CloseCom");
    FUZZ_CHECK(context->portHandle == 0, "CloseCom left a port");
    FUZZ_CHECK(context->active == (before.portHandle != 0 ? 0 : before.active), "active %d after CloseCom",
               context->active);
    CheckDescriptors(context, "CloseCom");
}

void CheckReOpenCom(DriverContext *context) {
    const DriverContext before = *context;
    logged.clear();
    const int32_t result = QorCall(context, QOR_OP_REOPEN_COM, nullptr);
    FUZZ_CHECK(logged.empty(), "ReOpenCom logged");
    CheckDescriptors(context, "ReOpenCom");
    if (result == QOR_DONE) {
        FUZZ_CHECK(before.portHandle == 0 && context->portHandle != 0 && context->active == 1, "ReOpenCom opened");
        FUZZ_CHECK(!CannotOpen(context->portSettings.name), "ReOpenCom opened a name that cannot open");
    } else {
        FUZZ_CHECK(result == QOR_FAILED && std::memcmp(&before, context, sizeof before) == 0,
                   "a failed ReOpenCom changed the context");
        FUZZ_CHECK(before.portHandle != 0 || !IsNull(context->portSettings.name), "the null device did not reopen");
    }
}

void CheckWarmStart(DriverContext *context) {
    const DriverContext before = *context;
    logged.clear();
    FUZZ_CHECK(QorCall(context, QOR_OP_WARM_START, nullptr) == QOR_DONE, "WarmStart");
    FUZZ_CHECK((logged == std::vector<Logged>{{QOR_LOG_DIAGNOSTIC, kWarmStart}}), "lines after WarmStart");
    FUZZ_CHECK(std::memcmp(&before, context, sizeof before) == 0, "WarmStart changed the context");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qorhost_set_log_handler(&Collect, nullptr);
    for (int i = 0; i < 2; ++i) {
        ptys[i] = OpenPtyPair();
        FUZZ_CHECK(ptys[i].master >= 0, "no pseudo-terminal");
        ptyNames[i] = ptys[i].slavePath.substr(std::strlen("/dev/"));
        FUZZ_CHECK(ptyNames[i].size() < QOR_PORT_NAME_SIZE, "pseudo-terminal name %s", ptyNames[i].c_str());
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < sizeof(StartParams)) return 0;
    alignas(8) static unsigned char contextBlock[QOR_CONTEXT_SIZE];
    std::memset(contextBlock, 0, sizeof contextBlock);
    auto *context = reinterpret_cast<DriverContext *>(contextBlock);
    // Counted afresh: between inputs the fuzzer itself may open some (its
    // symbolizer's pipes).
    baseDescriptors = OpenDescriptorCount();

    CheckColdStart(context, data);
    size_t at = sizeof(StartParams);
    for (int operation = 0; operation < kMostOperations && at < size; ++operation) {
        const uint8_t selector = data[at++] % 5;
        if (selector == 0) {
            CheckWarmStart(context);
        } else if (selector == 1) {
            CheckCloseCom(context);
        } else if (selector == 2) {
            CheckReOpenCom(context);
        } else if (selector == 3) {
            if (size - at < sizeof(ChangeParams)) break;
            CheckChange(context, data + at);
            at += sizeof(ChangeParams);
        } else {
            if (size - at < sizeof(StartParams)) break;
            CheckCloseCom(context);
            CheckColdStart(context, data + at);
            at += sizeof(StartParams);
        }
    }
    CheckCloseCom(context);
    return 0;
}
