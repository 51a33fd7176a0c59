// What tests/win32/run-wine.sh hands a Windows test program: the COM port
// on which optolink-sim serves the stations of tests/win32/stations.txt,
// and the simulator's frame log.
#pragma once

#include <string>
#include <vector>

// The port's name as CreateFileA takes it, e.g. "\\.\COM5"; empty when the
// program was not started by the harness.
std::string SimulatorPort();

// The frames the simulator has received so far, oldest first.
std::vector<std::string> FramesReceived();

// True under Wine, which does not enforce a share mode of 0 on COM ports.
bool RunningUnderWine();

// Milliseconds since some fixed point, for bound checks.
unsigned long long NowMs();
