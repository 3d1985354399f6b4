// A program run by a test in the background, its standard output and error sent to one file.
// Header-only; tests include it by path. A program still running when its ChildProcess goes
// away is killed and reaped, so a failing test leaves nothing behind.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace ordalo_test {

class ChildProcess {
public:
    // argv[0] is the program's path.
    ChildProcess(const std::vector<std::string>& argv, const std::string& outFile) {
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (args[0] == nullptr ||
            posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() {
        if (Running()) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }

    // Only ever the program's own pid: a failed start or a reaped (possibly reused) pid is never
    // signalled, and kill(-1, ...) would reach every process we may signal.
    void Signal(int sig) {
        if (Running()) kill(m_pid, sig);
    }

    // Exit status (128 + signal number for a killed program), or -1 when the program did not
    // start or has not ended within the time-out. Polls; never blocks past the time-out.
    int Wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(20000)) {
        if (!Started()) return -1;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int status = 0;
            if (!m_reaped && waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_reaped = true;
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (m_reaped) return m_status;
            if (std::chrono::steady_clock::now() >= deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

private:
    bool Running() const { return m_pid > 0 && !m_reaped; }

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = -1;
};

inline bool PathExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The whole file, or "" when it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
    std::string s;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

}  // namespace ordalo_test
