#include "tools/qorctl/driver.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "host/qorhost.h"

#ifndef QORCTL_RELATIVE_LIBDIR
#define QORCTL_RELATIVE_LIBDIR "../lib"
#endif

namespace qorctl {

DriverLog::DriverLog(bool verbose) : verbose_(verbose) {
    qorhost_set_log_handler(&DriverLog::Receive, this);
}

DriverLog::~DriverLog() {
    qorhost_set_log_handler(nullptr, nullptr);
    SetProgress("");
}

void DriverLog::Receive(int32_t level, const char *line, void *user) {
    auto *log = static_cast<DriverLog *>(user);
    log->captured_.push_back(DriverLine{level, line});
    log->Print(level, line);
}

void DriverLog::Print(int32_t level, const char *line) {
    if (level != QOR_LOG_OPERATOR && !verbose_) return;
    if (!progress_.empty()) std::fputs("\r\033[K", stderr);
    std::fprintf(stderr, "%s\n", line);
    ++printed_;
    if (!progress_.empty()) std::fputs(progress_.c_str(), stderr);
    std::fflush(stderr);
}

void DriverLog::SetProgress(const std::string &text) {
    if (text.empty() && progress_.empty()) return;
    std::fputs("\r\033[K", stderr);
    progress_ = text;
    std::fputs(progress_.c_str(), stderr);
    std::fflush(stderr);
}

std::unique_ptr<Driver> Driver::Load(const std::string &path, DriverLog &log, std::string *error) {
    // RTLD_LOCAL: the driver's symbols stay its own; it resolves err from
    // the host runtime this program already carries.
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *reason = dlerror();
        *error = reason != nullptr ? reason : "cannot be loaded";
        return nullptr;
    }
    void *entry = dlsym(handle, "QorMain");
    if (entry == nullptr) {
        *error = "exports no QorMain";
        dlclose(handle);
        return nullptr;
    }
    // The handle stays open for the life of the process: the driver's texts
    // (banner, short name) are used until the end.
    auto qorMain = reinterpret_cast<QorMainFunction>(entry);
    return std::unique_ptr<Driver>(new Driver(path, qorMain, log));
}

int32_t Driver::Call(uint32_t operation, void *context, void *data) {
    log_.ClearCaptured();
    QorRequest request{};
    request.context = context;
    request.operation = operation;
    request.data = data;
    return qorMain_(&request);
}

QorInfo Driver::Info() {
    QorInfo info{};
    Call(QOR_OP_GET_QOR_INFO, nullptr, &info);
    return info;
}

std::vector<std::string> DriverCandidates() {
    std::vector<std::string> candidates;
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return candidates;
    self[length] = '\0';
    std::filesystem::path folder = std::filesystem::path(self).parent_path();
    candidates.push_back((folder / "libdoved.so").string());
    candidates.push_back((folder / QORCTL_RELATIVE_LIBDIR / "libdoved.so").lexically_normal().string());
    return candidates;
}

PortSession::PortSession(Driver &driver, int32_t contextSize)
    : driver_(driver), context_((static_cast<size_t>(contextSize > 0 ? contextSize : 0) + 7) / 8, 0) {}

PortSession::~PortSession() {
    End();
}

int32_t PortSession::Start(const PortOptions &options) {
    StartParams start{};
    std::strncpy(start.portName, options.name.c_str(), sizeof start.portName - 1);
    start.enabled = 1;
    start.replyTimeout = options.replyTimeoutUnits;
    start.line = options.line;
    started_ = true;
    return driver_.Call(QOR_OP_COLD_START, Context(), &start);
}

int32_t PortSession::End() {
    if (!started_) return QOR_DONE;
    started_ = false;
    return driver_.Call(QOR_OP_END_QOR, Context(), nullptr);
}

}  // namespace qorctl
