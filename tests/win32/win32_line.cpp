#include "tests/win32/win32_line.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>
#include <fstream>

std::string SimulatorPort() {
    const char *port = std::getenv("DOVED_SIM_COM");
    return port != nullptr ? port : "";
}

// The simulator logs one frame a line, "HH:MM:SS.uuuuuu <- FRAME" for what
// it received, with " (note)" after a frame it did not take as it stands.
std::vector<std::string> FramesReceived() {
    std::vector<std::string> frames;
    const char *path = std::getenv("DOVED_SIM_LOG");
    if (path == nullptr) return frames;
    std::ifstream log(path);
    std::string line;
    while (std::getline(log, line)) {
        size_t arrow = line.find(" <- ");
        if (arrow == std::string::npos) continue;
        std::string frame = line.substr(arrow + 4);
        size_t note = frame.find(' ');
        if (note != std::string::npos) frame.resize(note);
        frames.push_back(frame);
    }
    return frames;
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

unsigned long long NowMs() { return GetTickCount64(); }
