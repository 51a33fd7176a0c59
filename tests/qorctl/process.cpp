#include "tests/qorctl/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char **environ;

namespace {

struct Pipe {
    int read = -1;
    int write = -1;
};

Pipe MakePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    return {fds[0], fds[1]};
}

std::vector<std::string> Environment(const std::vector<std::string> &extra, const std::vector<std::string> &unset) {
    std::vector<std::string> env;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('='));
        bool drop = false;
        for (const std::string &u : unset) drop = drop || name == u;
        for (const std::string &e : extra) drop = drop || name == e.substr(0, e.find('='));
        if (!drop) env.push_back(text);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char *> Pointers(std::vector<std::string> &texts) {
    std::vector<char *> pointers;
    for (std::string &text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

pid_t Spawn(const std::vector<std::string> &argv, std::vector<std::string> env, int stdinFd, int stdoutFd,
            int stderrFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    posix_spawn_file_actions_adddup2(&actions, stderrFd, 2);
    std::vector<std::string> args = argv;
    std::vector<char *> argp = Pointers(args);
    std::vector<char *> envp = Pointers(env);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int DecodeStatus(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string> &argv, const std::vector<std::string> &extraEnv,
                         const std::vector<std::string> &unsetEnv, std::chrono::seconds timeout,
                         bool stdoutTerminal) {
    ProcessResult result;
    Pipe out = MakePipe();
    if (stdoutTerminal) {
        close(out.read);
        close(out.write);
        out = {};
        if (openpty(&out.read, &out.write, nullptr, nullptr, nullptr) != 0) {
            result.err = "openpty failed";
            return result;
        }
        fcntl(out.read, F_SETFD, FD_CLOEXEC);
        fcntl(out.write, F_SETFD, FD_CLOEXEC);
    }
    Pipe err = MakePipe();
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t pid = Spawn(argv, Environment(extraEnv, unsetEnv), devnull, out.write, err.write);
    close(devnull);
    close(out.write);
    close(err.write);
    if (pid < 0) {
        close(out.read);
        close(err.read);
        result.err = "cannot start " + argv[0];
        return result;
    }

    auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = {{out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        int ready = poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd &fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    result.status = DecodeStatus(raw);
    return result;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

BackgroundProcess::~BackgroundProcess() {
    Stop();
}

bool BackgroundProcess::Start(const std::vector<std::string> &argv, const std::string &stderrPath) {
    Pipe out = MakePipe();
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int errFd = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_ = Spawn(argv, Environment({}, {}), devnull, out.write, errFd >= 0 ? errFd : 2);
    close(devnull);
    if (errFd >= 0) close(errFd);
    close(out.write);
    if (pid_ < 0) {
        close(out.read);
        return false;
    }
    stdoutFd_ = out.read;
    return true;
}

bool BackgroundProcess::ReadLine(std::string *line, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            *line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return true;
        }
        if (stdoutFd_ < 0) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd fd{stdoutFd_, POLLIN, 0};
        int ready = poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buffer[1024];
        ssize_t n = read(stdoutFd_, buffer, sizeof buffer);
        if (n <= 0) {
            close(stdoutFd_);
            stdoutFd_ = -1;
            continue;
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

int BackgroundProcess::Stop() {
    if (stdoutFd_ >= 0) {
        close(stdoutFd_);
        stdoutFd_ = -1;
    }
    if (pid_ < 0) return -1;
    kill(pid_, SIGTERM);
    int raw = 0;
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
            pid_ = -1;
            return DecodeStatus(raw);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &raw, 0);
    pid_ = -1;
    return DecodeStatus(raw);
}
