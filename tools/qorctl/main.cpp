// qorctl: a command-line host of the DOVED driver. It loads libdoved.so,
// asks everything of it through QorMain, and shows what comes back.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/qorctl/commands.h"
#include "tools/qorctl/driver.h"
#include "tools/qorctl/gates.h"

namespace {

using namespace qorctl;

constexpr long kDefaultTimeoutMs = 500;
constexpr long kScanTimeoutMs = 50;

// The platform's codes of the line settings, as the driver passes them on.
const std::map<std::string, int> kParityCodes = {{"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
const std::map<std::string, int> kStopBitsCodes = {{"1", 0}, {"1.5", 1}, {"2", 2}};

struct CommonOptions {
    std::string driverPath;
    std::string port;
    int baud = -1;
    int dataBits = -1;
    int parity = -1;
    int stopBits = -1;
    long timeoutMs = -1;
    bool verbose = false;
};

int UsageError(const std::string &message, const std::string &command = "") {
    std::string line = message;
    for (char &c : line) {
        if (c == '\n') c = ' ';
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::string help = command.empty() ? "qorctl --help" : "qorctl " + command + " --help";
    std::fprintf(stderr, "qorctl: %s (see %s)\n", line.c_str(), help.c_str());
    return kExitUsage;
}

std::unique_ptr<Driver> LoadDriver(const std::string &given, DriverLog &log) {
    std::string error;
    if (!given.empty()) {
        auto driver = Driver::Load(given, log, &error);
        if (!driver) std::fprintf(stderr, "qorctl: driver %s: %s\n", given.c_str(), error.c_str());
        return driver;
    }
    std::vector<std::string> candidates = DriverCandidates();
    for (const std::string &path : candidates) {
        if (access(path.c_str(), F_OK) != 0) continue;
        auto driver = Driver::Load(path, log, &error);
        if (!driver) std::fprintf(stderr, "qorctl: driver %s: %s\n", path.c_str(), error.c_str());
        return driver;
    }
    std::fprintf(stderr, "qorctl: libdoved.so not found beside qorctl%s%s; give it with --driver PATH\n",
                 candidates.size() > 1 ? " nor in " : "",
                 candidates.size() > 1 ? candidates[1].c_str() : "");
    return nullptr;
}

// The port and line settings: the driver's defaults, changed by the options.
PortOptions MakePortOptions(const CommonOptions &common, const QorInfo &info, long defaultTimeoutMs) {
    PortOptions port;
    port.name = common.port;
    port.line = info.defaultLine;
    if (common.baud >= 0) port.line.baud = static_cast<uint16_t>(common.baud);
    if (common.dataBits >= 0) port.line.dataBits = static_cast<uint16_t>(common.dataBits);
    if (common.parity >= 0) port.line.parity = static_cast<uint16_t>(common.parity);
    if (common.stopBits >= 0) port.line.stopBits = static_cast<uint16_t>(common.stopBits);
    long ms = common.timeoutMs >= 0 ? common.timeoutMs : defaultTimeoutMs;
    port.replyTimeoutUnits = static_cast<int32_t>(std::max(1L, (ms + 5) / 10));
    return port;
}

// Usage error text for a port name the driver's record cannot hold, or "".
std::string CheckPortName(const std::string &name) {
    if (name.empty()) return "no port: give --port NAME or set QORCTL_PORT";
    if (name.size() > QOR_PORT_NAME_SIZE - 1)
        return "port \"" + name + "\": longer than 11 characters, the most a port name may have";
    return "";
}

std::optional<std::vector<GateArgument>> SplitAll(const std::vector<std::string> &arguments, bool withValues,
                                                  std::string *error) {
    std::vector<GateArgument> gates;
    for (const std::string &argument : arguments) {
        std::optional<GateArgument> gate = SplitGateArgument(argument, withValues, error);
        if (!gate) return std::nullopt;
        gates.push_back(*gate);
    }
    return gates;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"qorctl: command-line host of the DOVED driver (DUPLINE fieldbus over OPTOLINK)"};
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(
        "Exit status: 0 every operation returned 0; 1 some were refused or rejected; 2 some failed\n"
        "(no reply, port will not open, driver not loaded); 64 usage error.");

    CommonOptions common;
    app.add_option("--driver", common.driverPath, "libdoved.so to load (default: beside qorctl, or the installed one)");
    app.add_option("--port", common.port,
                   "serial port: NUL, a device path, or a name under /dev/ (e.g. ttyUSB0); at most 11 characters")
        ->envname("QORCTL_PORT");
    app.add_option("--baud", common.baud, "bits per second (default: the driver's, 9600)")
        ->check(CLI::Range(1, 65535));
    app.add_option("--data-bits", common.dataBits, "data bits per character (default: the driver's)")
        ->check(CLI::Range(5, 8));
    std::string parity, stopBits;
    app.add_option("--parity", parity, "none, odd, even, mark or space (default: the driver's)")
        ->check(CLI::IsMember(kParityCodes, CLI::ignore_case));
    app.add_option("--stop-bits", stopBits, "1, 1.5 or 2, passed as the codes 0, 1, 2 (default: the driver's)")
        ->check(CLI::IsMember(kStopBitsCodes));
    app.add_option("--timeout", common.timeoutMs,
                   "reply time-out in ms, rounded to the driver's 10 ms units (default 500; scan 50)")
        ->check(CLI::Range(1L, 600000L));
    app.add_flag("-v,--verbose", common.verbose, "also show the driver's diagnostic lines (level 8)");

    CLI::App *info = app.add_subcommand("info", "the driver's information record and banner (needs no port)");

    std::vector<std::string> parseArgs;
    std::string parseType;
    int32_t parseBlock = -1;
    CLI::App *parse = app.add_subcommand("parse", "what the driver's parsers make of each address (needs no port)");
    parse->add_option("ADDRESS", parseArgs, "gate addresses, e.g. 12C3 05EC 01AA; a block as 01AA:16")->required();
    parse->add_option("--type", parseType, "data type: byte, bit or compound (default: from the suffix)")
        ->check(CLI::IsMember({"byte", "bit", "compound"}));
    parse->add_option("--block", parseBlock, "parse as blocks of N groups with the block parser")
        ->check(CLI::Range(0, 1000000));

    std::vector<std::string> readArgs;
    bool readJson = false;
    CLI::App *read = app.add_subcommand("read", "read gates: 01AA byte, 01A3 bit, 05EC compound, 01AA:16 block");
    read->add_option("GATE", readArgs, "gates to read")->required();
    read->add_flag("--json", readJson, "one JSON object per gate instead of the table");

    std::vector<std::string> writeArgs;
    bool writeJson = false;
    CLI::App *write = app.add_subcommand("write", "write gates: 01AA=17, 01A3=1, a block as 01AA:3=1,2,3");
    write->add_option("GATE=VALUE", writeArgs, "gates and their values")->required();
    write->add_flag("--json", writeJson, "one JSON object per gate instead of the table");

    CLI::App *scan = app.add_subcommand(
        "scan", "poll stations 1 to 63 once and list those that answer: groups A to P in hex, and in bits "
                "from the most significant (suffix 0) to the least (suffix 7)");

    std::vector<std::string> watchArgs;
    WatchOptions watchOptions;
    CLI::App *watch = app.add_subcommand("watch", "poll gates in a loop and show values and counts until Ctrl-C");
    watch->add_option("GATE", watchArgs, "gates to watch")->required();
    watch->add_option("--interval", watchOptions.intervalMs, "ms from the start of one cycle to the next (default 1000)")
        ->check(CLI::Range(0L, 86400000L));
    watch->add_option("--count", watchOptions.count, "stop after N cycles")->check(CLI::Range(1L, 1000000000L));

    for (CLI::App *sub : {info, parse, read, write, scan, watch})
        sub->footer("Port, line and driver options: see qorctl --help.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        // Point to the help that lists the option at fault: the port and
        // line options are the main program's.
        std::string message = e.what();
        std::string option = message.substr(0, message.find(':'));
        std::string command;
        for (CLI::App *sub : {info, parse, read, write, scan, watch}) {
            if (sub->parsed()) command = sub->get_name();
        }
        if (option.rfind("--", 0) == 0 && app.get_option_no_throw(option) != nullptr) command.clear();
        return UsageError(e.what(), command);
    }

    if (!parity.empty()) {
        for (char &c : parity) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        common.parity = kParityCodes.at(parity);
    }
    if (!stopBits.empty()) common.stopBits = kStopBitsCodes.at(stopBits);

    // Everything that can be checked without the driver is checked first,
    // so a usage error never touches the port.
    std::string error;
    std::vector<GateArgument> gates;
    const std::vector<std::string> *gateArgs = read->parsed()    ? &readArgs
                                               : write->parsed() ? &writeArgs
                                               : watch->parsed() ? &watchArgs
                                               : parse->parsed() ? &parseArgs
                                                                 : nullptr;
    if (gateArgs != nullptr) {
        auto split = SplitAll(*gateArgs, write->parsed(), &error);
        if (!split) return UsageError(error, app.get_subcommands().front()->get_name());
        gates = *split;
    }
    bool needsPort = read->parsed() || write->parsed() || scan->parsed() || watch->parsed();
    if (needsPort) {
        std::string portError = CheckPortName(common.port);
        if (!portError.empty()) return UsageError(portError);
    }

    DriverLog log(common.verbose);
    std::unique_ptr<Driver> driver = LoadDriver(common.driverPath, log);
    if (!driver) return QOR_FAILED;

    if (info->parsed()) return RunInfo(*driver);
    if (parse->parsed()) {
        ParseOptions options;
        if (!parseType.empty())
            options.dataType = parseType == "bit" ? QOR_TYPE_BIT : parseType == "compound" ? QOR_TYPE_COMPOUND : QOR_TYPE_BYTE;
        options.blockCount = parseBlock;
        return RunParse(*driver, gates, options);
    }

    QorInfo qorInfo = driver->Info();
    PortOptions port = MakePortOptions(common, qorInfo, scan->parsed() ? kScanTimeoutMs : kDefaultTimeoutMs);
    if (read->parsed()) return RunRead(*driver, port, gates, readJson);
    if (write->parsed()) return RunWrite(*driver, port, gates, writeJson);
    if (scan->parsed()) return RunScan(*driver, port);
    return RunWatch(*driver, port, gates, watchOptions);
}
