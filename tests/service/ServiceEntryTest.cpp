// Runs the built OrdaloService program with command lines and checks the pid file, the log
// lines of the option scan and the exit on SIGTERM / SIGINT.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/ordalo-entry-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made) m_path = made;
    }
    ~TempDir() {
        if (!m_path.empty()) {
            std::string cmd = "rm -rf '" + m_path + "'";
            if (std::system(cmd.c_str()) != 0) {
            }
        }
    }
    const std::string& path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// One run of the service with its log on a pipe (level Debug, standard error).
class ServiceRun {
public:
    ServiceRun(const std::string& cwd, const std::vector<std::string>& args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        m_logFd = fds[0];

        std::vector<std::string> envs = {"ORDALO_LOG=stderr", "ORDALO_LOG_LEVEL=0"};
        for (char** e = environ; *e; ++e) {
            if (std::strncmp(*e, "ORDALO_LOG", 10) != 0) envs.emplace_back(*e);
        }
        std::vector<char*> envp;
        for (auto& e : envs) envp.push_back(&e[0]);
        envp.push_back(nullptr);

        std::vector<std::string> argStore = {ORDALO_SERVICE_BIN};
        argStore.insert(argStore.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argStore) argv.push_back(&a[0]);
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        if (posix_spawn(&m_pid, ORDALO_SERVICE_BIN, &actions, nullptr, argv.data(), envp.data()) !=
            0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
    }
    ~ServiceRun() {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_logFd >= 0) close(m_logFd);
    }
    pid_t pid() const { return m_pid; }

    // Reads log output until `text` shows up or the deadline passes.
    bool WaitForLog(const std::string& text,
                    std::chrono::seconds deadline = std::chrono::seconds(10)) {
        const auto end = Clock::now() + deadline;
        while (m_log.find(text) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0 || !ReadSome(static_cast<int>(left))) break;
        }
        return m_log.find(text) != std::string::npos;
    }

    // Sends the signal and waits (with a deadline) for the exit; returns the wait status.
    int StopWith(int sig, std::chrono::seconds deadline = std::chrono::seconds(20)) {
        kill(m_pid, sig);
        const auto end = Clock::now() + deadline;
        int status = -1;
        while (Clock::now() < end) {
            pid_t r = waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid) {
                m_reaped = true;
                break;
            }
            ReadSome(20);
        }
        while (ReadSome(0)) {
        }
        return m_reaped ? status : -1;
    }
    const std::string& log() const { return m_log; }

private:
    bool ReadSome(int timeoutMs) {
        struct pollfd pfd {};
        pfd.fd = m_logFd;
        pfd.events = POLLIN;
        if (poll(&pfd, 1, timeoutMs) <= 0) {
            if (timeoutMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return timeoutMs > 0;
        }
        char buf[4096];
        ssize_t n = read(m_logFd, buf, sizeof buf);
        if (n <= 0) return false;
        m_log.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t m_pid = -1;
    int m_logFd = -1;
    bool m_reaped = false;
    std::string m_log;
};

bool WaitForFile(const std::string& path,
                 std::chrono::seconds deadline = std::chrono::seconds(10)) {
    const auto end = Clock::now() + deadline;
    while (!Exists(path) || ReadAll(path).empty()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool ExitedCleanly(int status) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(ServiceEntryTest, PidFileIsWrittenTruncatedAndWithoutNewline) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string pidFile = dir.File("x.pid");
    {
        std::ofstream old(pidFile);
        old << "123456789012345678901234567890\nold content\n";
    }
    ServiceRun run(dir.path(), {"--pfile", pidFile, "--background"});
    ASSERT_GT(run.pid(), 0);
    ASSERT_TRUE(run.WaitForLog("Run with --background"));
    EXPECT_EQ(ReadAll(pidFile), std::to_string(run.pid()));
    EXPECT_TRUE(run.log().find("Run with --pfile with pid " + std::to_string(run.pid())) !=
                std::string::npos);
    EXPECT_TRUE(run.log().find("Service Debug - Current direcotry " + dir.path()) !=
                std::string::npos);
    EXPECT_TRUE(ExitedCleanly(run.StopWith(SIGTERM)));
}

TEST(ServiceEntryTest, BackgroundSkipsTheElementAfterIt) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string skipped = dir.File("skipped.pid");
    const std::string written = dir.File("written.pid");
    // The scan jumps from "--background" to the first path and passes over it; the second
    // "--pfile" is then seen, and since the scan runs in order, its file proves the scan has
    // passed the first one.
    ServiceRun run(dir.path(), {"--background", "--pfile", skipped, "--pfile", written});
    ASSERT_GT(run.pid(), 0);
    ASSERT_TRUE(WaitForFile(written));
    EXPECT_EQ(ReadAll(written), std::to_string(run.pid()));
    EXPECT_FALSE(Exists(skipped));
    EXPECT_TRUE(ExitedCleanly(run.StopWith(SIGINT)));
    EXPECT_FALSE(Exists(skipped));
}

TEST(ServiceEntryTest, UnknownArgumentsDispAndMissingOrBadPathsAreIgnored) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string written = dir.File("p.pid");
    ServiceRun run(dir.path(), {"junk", "--disp", "--pfile", dir.File("no/such/dir/x.pid"),
                                "--PFILE", "x", "--pfile", written, "--pfile"});
    ASSERT_GT(run.pid(), 0);
    ASSERT_TRUE(WaitForFile(written));
    EXPECT_EQ(ReadAll(written), std::to_string(run.pid()));
    EXPECT_TRUE(ExitedCleanly(run.StopWith(SIGTERM)));
    EXPECT_FALSE(Exists(dir.File("x")));
    EXPECT_FALSE(Exists(dir.File("no")));
    // Two paths were given with "--pfile", the last "--pfile" had none.
    std::size_t count = 0;
    for (std::size_t at = run.log().find("Run with --pfile"); at != std::string::npos;
         at = run.log().find("Run with --pfile", at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(run.log().find("Exception"), std::string::npos);
}

TEST(ServiceEntryTest, StaysUpUntilSignalled) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    ServiceRun run(dir.path(), {});
    ASSERT_GT(run.pid(), 0);
    ASSERT_TRUE(run.WaitForLog("Current direcotry"));
    kill(run.pid(), SIGPIPE);  // a vanished network peer does not end the service
    EXPECT_EQ(waitpid(run.pid(), nullptr, WNOHANG), 0);  // still running
    EXPECT_TRUE(ExitedCleanly(run.StopWith(SIGINT)));
}
