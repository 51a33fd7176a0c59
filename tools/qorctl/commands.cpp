#include "tools/qorctl/commands.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <thread>

#include "tools/qorctl/cp437.h"
#include "tools/qorctl/output.h"

namespace qorctl {

namespace {

const char *ParityName(uint16_t code) {
    switch (code) {
    case 0: return "none";
    case 1: return "odd";
    case 2: return "even";
    case 3: return "mark";
    case 4: return "space";
    default: return "?";
    }
}

const char *StopBitsName(uint16_t code) {
    switch (code) {
    case 0: return "1";
    case 1: return "1.5";
    case 2: return "2";
    default: return "?";
    }
}

// The device a port name opens, by the driver's naming rule.
std::string DeviceOf(const std::string &name) {
    if (name == "NUL") return "/dev/null";
    if (!name.empty() && name[0] == '/') return name;
    return "/dev/" + name;
}

int Worse(int status, int32_t result) {
    return std::max(status, static_cast<int>(result));
}

// ColdStart, with a one-line error when the port will not open.
bool StartPort(PortSession &session, const PortOptions &port) {
    int32_t result = session.Start(port);
    if (result == QOR_DONE) return true;
    std::fprintf(stderr, "qorctl: port %s (%s) will not open\n", port.name.c_str(), DeviceOf(port.name).c_str());
    return false;
}

ParsedGate ParseForUse(Driver &driver, const GateArgument &gate) {
    bool block = gate.kind == GateKind::Block;
    return ParseGate(driver, gate, DataTypeOf(gate.kind), block);
}

std::string GroupLetter(uint32_t group) {
    return group < 16 ? std::string(1, static_cast<char>('A' + group)) : "?";
}

std::string Meaning(const ParsedGate &gate) {
    const uint32_t *w = gate.words;
    std::string station = "station " + std::to_string(w[QOR_WORD_STATION]);
    if (gate.block) {
        int32_t count = gate.gate.count;
        if (count <= 0) return station + ", no groups";
        if (count == 1) return station + ", group A";
        return station + ", groups A to " + GroupLetter(static_cast<uint32_t>(std::min(count, 16) - 1));
    }
    std::string group = GroupLetter(w[QOR_WORD_GROUP]);
    if (w[QOR_WORD_COMPOUND] == QOR_COMPOUND_FLAG)
        return station + ", groups " + group + " and " + GroupLetter(w[QOR_WORD_GROUP] + 1) + ", signed BCD";
    if (w[QOR_WORD_BIT] != QOR_NO_BIT)
        return station + ", group " + group + ", bit " + std::to_string(w[QOR_WORD_BIT]);
    return station + ", group " + group;
}

std::string KindOf(const ParsedGate &gate) {
    if (gate.block) return "block";
    if (gate.gate.kind != GateKind::Unknown) return KindName(gate.gate.kind);
    return "?";
}

std::vector<long> Widen(const std::vector<int16_t> &values) {
    return std::vector<long>(values.begin(), values.end());
}

std::string ResultCell(int32_t result, const std::string &reason) {
    std::string cell = std::to_string(result);
    if (result == QOR_DONE) return cell + " ok";
    return cell + " " + reason;
}

// One gate's line of --json: address, kind, count of a block, value or
// values (null when none was delivered), result, and the reason.
std::string GateJson(const ParsedGate &gate, const std::vector<long> *values, int32_t result,
                     const std::string &reason) {
    JsonObject object;
    object.String("address", gate.gate.address).String("kind", KindOf(gate));
    if (gate.block) {
        object.Number("count", gate.gate.count);
        if (values != nullptr)
            object.Numbers("values", *values);
        else
            object.Raw("values", "null");
    } else {
        if (values != nullptr && !values->empty())
            object.Number("value", values->front());
        else
            object.Raw("value", "null");
    }
    object.Number("result", result);
    if (result != QOR_DONE) object.String("error", reason);
    return object.Text();
}

std::string Hex(int value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

std::string Bits(int value) {
    std::string text;
    for (int bit = 7; bit >= 0; --bit) text += ((value >> bit) & 1) ? '1' : '0';
    return text;
}

volatile std::sig_atomic_t stopRequested = 0;

void OnInterrupt(int) {
    stopRequested = 1;
}

// Ctrl-C ends the watch after the read in progress; a second one ends the
// program at once.
void CatchInterrupt() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

std::string ClockTime(std::chrono::system_clock::time_point at) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    std::tm local{};
    localtime_r(&seconds, &local);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis));
    return text;
}

}  // namespace

int RunInfo(Driver &driver) {
    QorInfo info = driver.Info();
    const LineSettings &line = info.defaultLine;
    std::printf("driver        %s\n", driver.Path().c_str());
    std::printf("short name    %s\n", info.shortName != nullptr ? info.shortName : "");
    std::printf("context size  %d bytes\n", static_cast<int>(info.contextSize));
    std::printf("default line  %u baud, %u data bits, parity %s (code %u), %s stop bits (code %u)\n",
                line.baud, line.dataBits, ParityName(line.parity), line.parity, StopBitsName(line.stopBits),
                line.stopBits);
    std::printf("host numbers  %d, %d, %d\n", static_cast<int>(info.hostNumber1),
                static_cast<int>(info.hostNumber2), static_cast<int>(info.hostNumber3));
    std::printf("banner\n%s", Cp437ToUtf8(info.banner != nullptr ? info.banner : "").c_str());
    return 0;
}

int RunParse(Driver &driver, const std::vector<GateArgument> &addresses, const ParseOptions &options) {
    int status = 0;
    Table table({"ADDRESS", "KIND", "RESULT", "WORDS", "MEANING"});
    for (GateArgument gate : addresses) {
        bool block = gate.kind == GateKind::Block;
        if (!block && options.blockCount >= 0) {
            block = true;
            gate.kind = GateKind::Block;
            gate.count = options.blockCount;
        }
        int32_t dataType = options.dataType >= 0 ? options.dataType : DataTypeOf(gate.kind);
        ParsedGate parsed = ParseGate(driver, gate, dataType, block);
        status = Worse(status, parsed.result);
        std::string name = block ? gate.address + ":" + std::to_string(gate.count) : gate.address;
        if (parsed.result == QOR_DONE) {
            std::string words;
            for (uint32_t word : parsed.words) words += (words.empty() ? "" : " ") + std::to_string(word);
            table.Add({name, KindOf(parsed), "0", words, Meaning(parsed)});
        } else {
            table.Add({name, KindOf(parsed), std::to_string(parsed.result), "refused: " + parsed.reason});
        }
    }
    table.Print(stdout);
    return status;
}

namespace {

enum class GateAction { kRead, kWrite };

// read and write: each gate parsed and, when accepted, read or written on
// one port session; a table row or a JSON object per gate. A read shows
// the values it delivered, a write the values it was given.
int RunGates(Driver &driver, const PortOptions &port, const std::vector<GateArgument> &gates, bool json,
             GateAction action) {
    PortSession session(driver, driver.Info().contextSize);
    if (!StartPort(session, port)) return QOR_FAILED;
    int status = 0;
    Table table({"GATE", "KIND", "VALUE", "RESULT"});
    for (const GateArgument &gate : gates) {
        ParsedGate parsed = ParseForUse(driver, gate);
        int32_t result = parsed.result;
        std::string reason = "refused: " + parsed.reason;
        GateOutcome outcome;
        if (result == QOR_DONE) {
            outcome = action == GateAction::kRead ? ReadGate(driver, session.Context(), parsed)
                                                  : WriteGate(driver, session.Context(), parsed);
            result = outcome.result;
            reason = outcome.reason;
        }
        status = Worse(status, result);
        if (action == GateAction::kRead) {
            std::vector<long> values = Widen(outcome.values);
            if (json) {
                std::printf("%s\n", GateJson(parsed, result == QOR_DONE ? &values : nullptr, result, reason).c_str());
            } else {
                std::string value = result == QOR_DONE ? FormatValues(outcome.values, parsed.block) : "-";
                table.Add({gate.given, KindOf(parsed), value, ResultCell(result, reason)});
            }
        } else if (json) {
            std::printf("%s\n", GateJson(parsed, &gate.values, result, reason).c_str());
        } else {
            std::string value;
            for (long v : gate.values) value += (value.empty() ? "" : ",") + std::to_string(v);
            table.Add({gate.given, KindOf(parsed), value, ResultCell(result, reason)});
        }
    }
    if (!json) table.Print(stdout);
    status = Worse(status, session.End());
    return status;
}

}  // namespace

int RunRead(Driver &driver, const PortOptions &port, const std::vector<GateArgument> &gates, bool json) {
    return RunGates(driver, port, gates, json, GateAction::kRead);
}

int RunWrite(Driver &driver, const PortOptions &port, const std::vector<GateArgument> &gates, bool json) {
    return RunGates(driver, port, gates, json, GateAction::kWrite);
}

int RunScan(Driver &driver, const PortOptions &port) {
    PortSession session(driver, driver.Info().contextSize);
    if (!StartPort(session, port)) return QOR_FAILED;
    bool progress = isatty(STDERR_FILENO) == 1;
    struct Answer {
        int station;
        int32_t result;
        std::vector<int16_t> groups;
        std::string reason;
    };
    std::vector<Answer> answers;
    int found = 0;
    for (int station = 1; station <= 63; ++station) {
        if (progress) {
            driver.Log().SetProgress("scanning station " + std::to_string(station) + " of 63, " +
                                     std::to_string(found) + " answered");
        }
        char address[8];
        std::snprintf(address, sizeof address, "%02dAA", station);
        GateArgument gate;
        gate.given = gate.address = address;
        gate.kind = GateKind::Block;
        gate.count = 16;
        ParsedGate parsed = ParseGate(driver, gate, QOR_TYPE_BYTE, true);
        if (parsed.result != QOR_DONE) {
            answers.push_back({station, parsed.result, {}, "refused: " + parsed.reason});
            continue;
        }
        GateOutcome outcome = ReadGate(driver, session.Context(), parsed);
        if (outcome.result == QOR_FAILED) continue;
        if (outcome.result == QOR_DONE) ++found;
        answers.push_back({station, outcome.result, outcome.values, outcome.reason});
    }
    if (progress) driver.Log().SetProgress("");

    int status = 0;
    std::string list;
    for (const Answer &answer : answers) {
        char station[4];
        std::snprintf(station, sizeof station, "%02d", answer.station);
        status = Worse(status, answer.result);
        if (answer.result != QOR_DONE) {
            std::printf("station %s  %s\n", station, answer.reason.c_str());
            continue;
        }
        list += std::string(list.empty() ? "" : " ") + station;
        std::string hex, bits[2];
        for (size_t g = 0; g < answer.groups.size(); ++g) {
            hex += (g == 0 ? "" : " ") + Hex(answer.groups[g]);
            std::string &half = bits[g / 8];
            half += std::string(half.empty() ? "" : " ") + static_cast<char>('A' + g) + " " + Bits(answer.groups[g]);
        }
        std::printf("station %s  hex  %s\n", station, hex.c_str());
        std::printf("            bits %s\n", bits[0].c_str());
        std::printf("                 %s\n", bits[1].c_str());
    }
    std::printf("%d station%s answered%s%s\n", found, found == 1 ? "" : "s", list.empty() ? "" : ": ",
                list.c_str());
    if (answers.empty()) status = QOR_FAILED;
    status = Worse(status, session.End());
    return status;
}

int RunWatch(Driver &driver, const PortOptions &port, const std::vector<GateArgument> &gates,
             const WatchOptions &options) {
    PortSession session(driver, driver.Info().contextSize);
    if (!StartPort(session, port)) return QOR_FAILED;

    struct Watched {
        ParsedGate gate;
        std::string value = "-";
        bool changedOnce = false;
        std::chrono::system_clock::time_point changedAt{};
        long good = 0, missing = 0, rejected = 0;
        std::string note;  // why the latest read was not good
    };
    int status = 0;
    std::vector<Watched> watched;
    for (const GateArgument &gate : gates) {
        ParsedGate parsed = ParseForUse(driver, gate);
        if (parsed.result != QOR_DONE) {
            std::fprintf(stderr, "qorctl: %s: address refused: %s\n", gate.given.c_str(), parsed.reason.c_str());
            status = Worse(status, parsed.result);
            continue;
        }
        Watched entry;
        entry.gate = parsed;
        watched.push_back(entry);
    }
    if (watched.empty()) {
        session.End();
        return status;
    }

    bool terminal = isatty(STDOUT_FILENO) == 1;
    bool stderrTerminal = isatty(STDERR_FILENO) == 1;
    long drawnLines = 0;
    long printedAtDraw = 0;
    stopRequested = 0;
    CatchInterrupt();
    using Clock = std::chrono::steady_clock;
    auto nextStart = Clock::now();
    for (long cycle = 1; stopRequested == 0; ++cycle) {
        auto started = Clock::now();
        for (Watched &w : watched) {
            if (stopRequested != 0) break;
            GateOutcome outcome = ReadGate(driver, session.Context(), w.gate);
            status = Worse(status, outcome.result);
            w.note = outcome.reason;
            if (outcome.result == QOR_DONE) {
                ++w.good;
                std::string value = FormatValues(outcome.values, w.gate.block);
                if (!w.changedOnce || value != w.value) {
                    w.changedOnce = true;
                    w.changedAt = std::chrono::system_clock::now();
                }
                w.value = value;
            } else if (outcome.result == QOR_REFUSED) {
                ++w.rejected;
            } else {
                ++w.missing;
            }
        }
        auto cycleMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();

        if (terminal) {
            Table table({"GATE", "KIND", "VALUE", "CHANGED", "GOOD", "MISSING", "REJECTED", "NOTE"});
            for (const Watched &w : watched) {
                table.Add({w.gate.gate.given, KindOf(w.gate), w.value, w.changedOnce ? ClockTime(w.changedAt) : "-",
                           std::to_string(w.good), std::to_string(w.missing), std::to_string(w.rejected), w.note});
            }
            char heading[160];
            std::snprintf(heading, sizeof heading, "qorctl watch  port %s  cycle %ld  cycle time %lld ms  every %ld ms%s\n\n",
                          port.name.c_str(), cycle, static_cast<long long>(cycleMs), options.intervalMs,
                          options.count > 0 ? "" : "  (Ctrl-C ends)");
            std::string screen = std::string(heading) + table.Render();
            // Back over the previous table, and over the driver's lines
            // printed below it when stderr is the same terminal; the output
            // above the table stays.
            long back = drawnLines + (stderrTerminal ? driver.Log().PrintedLines() - printedAtDraw : 0);
            if (back > 0) std::printf("\033[%ldA\r\033[J", back);
            std::fputs(screen.c_str(), stdout);
            drawnLines = static_cast<long>(std::count(screen.begin(), screen.end(), '\n'));
            printedAtDraw = driver.Log().PrintedLines();
        } else {
            std::string line = "cycle " + std::to_string(cycle) + " (" + std::to_string(cycleMs) + " ms)";
            for (const Watched &w : watched) {
                line += " " + w.gate.gate.given + "=" + w.value + " [good " + std::to_string(w.good) + ", missing " +
                        std::to_string(w.missing) + ", rejected " + std::to_string(w.rejected) + "]";
            }
            std::printf("%s\n", line.c_str());
        }
        std::fflush(stdout);

        if (options.count > 0 && cycle >= options.count) break;
        nextStart += std::chrono::milliseconds(options.intervalMs);
        while (stopRequested == 0 && Clock::now() < nextStart)
            std::this_thread::sleep_for(std::min<Clock::duration>(nextStart - Clock::now(), std::chrono::milliseconds(50)));
        if (Clock::now() > nextStart) nextStart = Clock::now();
    }
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    status = Worse(status, session.End());
    return status;
}

}  // namespace qorctl
