// qorctl's sub-commands. Each returns the exit status: 0 every operation
// returned 0, 1 some were refused or rejected, 2 some failed.
#pragma once

#include <string>
#include <vector>

#include "tools/qorctl/driver.h"
#include "tools/qorctl/gates.h"

namespace qorctl {

constexpr int kExitUsage = 64;

int RunInfo(Driver &driver);

struct ParseOptions {
    int32_t dataType = -1;  // -1: from each address's suffix
    int32_t blockCount = -1;  // -1: single addresses (unless written ADDRESS:N)
};
int RunParse(Driver &driver, const std::vector<GateArgument> &addresses, const ParseOptions &options);

int RunRead(Driver &driver, const PortOptions &port, const std::vector<GateArgument> &gates, bool json);
int RunWrite(Driver &driver, const PortOptions &port, const std::vector<GateArgument> &gates, bool json);
int RunScan(Driver &driver, const PortOptions &port);

struct WatchOptions {
    long intervalMs = 1000;
    long count = 0;  // 0: until interrupted
};
int RunWatch(Driver &driver, const PortOptions &port, const std::vector<GateArgument> &gates,
             const WatchOptions &options);

}  // namespace qorctl
