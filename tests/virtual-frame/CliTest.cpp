// ordalo-virtual-frame as a program: listings, refused scenario files, and a scenario played to
// a host connected to its socket, after which the frame unplugs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "MTouch/MTProtocol.h"
#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/FramePlayer.h"

extern char** environ;

using namespace std::chrono;

namespace {

template <class F>
bool waitFor(F condition, milliseconds timeout = milliseconds(10000)) {
    const auto deadline = steady_clock::now() + timeout;
    while (steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return condition();
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class Program {
public:
    Program(std::vector<std::string> args, const std::string& outFile) {
        args.insert(args.begin(), ORDALO_VIRTUAL_FRAME_BIN);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Program() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void stop() { kill(pid_, SIGTERM); }
    // Exit status, or -1 when the program has not ended in time.
    int wait(milliseconds timeout = milliseconds(15000)) {
        waitFor(
            [&] {
                int status = 0;
                if (!reaped_ && waitpid(pid_, &status, WNOHANG) == pid_) {
                    reaped_ = true;
                    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                }
                return reaped_;
            },
            timeout);
        return reaped_ ? status_ : -1;
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};

// A host connected to the frame's socket.
int connectTo(const std::string& socketPath) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendRequest(int fd, uint8_t id, uint8_t payload = 0) {
    uint8_t report[ORDO_REPORT_SIZE] = {ORDO_REQUEST_REPORT_ID, id};
    report[ORDO_HEADER_SIZE] = payload;
    return send(fd, report, sizeof report, 0) == static_cast<ssize_t>(sizeof report);
}

// The first block of the next answer of this type, polling up to a deadline.
bool answer(int fd, uint8_t type, uint8_t (&report)[ORDO_REPORT_SIZE],
            std::set<uint8_t>* seen = nullptr) {
    const auto deadline = steady_clock::now() + seconds(10);
    while (steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        if (recv(fd, report, ORDO_REPORT_SIZE, 0) <= 0) return false;
        if (seen) seen->insert(report[1]);
        if (report[1] == type && report[2] >> 4 == 0) return true;
    }
    return false;
}

class VirtualFrameProgram : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vf-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const char* f : {"out", "bad.txt", "frame0.sock"}) unlink(path(f).c_str());
        rmdir(dir_.c_str());
    }
    std::string path(const char* name) const { return dir_ + "/" + name; }

    std::string dir_;
};

}  // namespace

TEST_F(VirtualFrameProgram, ListsModelsAndScenariosOnePerLine) {
    Program models({"--list-models"}, path("out"));
    ASSERT_EQ(models.wait(), 0);
    std::string expected;
    for (const auto& m : VirtualFrame::frameModels()) expected += m.name + "\n";
    EXPECT_EQ(readFile(path("out")), expected);

    Program scenarios({"--list-scenarios"}, path("out"));
    ASSERT_EQ(scenarios.wait(), 0);
    expected.clear();
    for (const auto& n : VirtualFrame::builtinScenarioNames()) expected += n + "\n";
    EXPECT_EQ(readFile(path("out")), expected);
}

TEST_F(VirtualFrameProgram, RefusesAMalformedScenarioFileAndBadOptions) {
    std::ofstream(path("bad.txt")) << "# a drag\n0 1 0.2 0.5\n300 1 0.8 O.5\n400 1 up\n";
    Program frame({"--dir", dir_, "--scenario", path("bad.txt")}, path("out"));
    EXPECT_EQ(frame.wait(), 2);
    const std::string out = readFile(path("out"));
    EXPECT_NE(out.find("line 3: y 'O.5'"), std::string::npos) << out;
    EXPECT_FALSE(exists(path("frame0.sock")));

    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{"--model", "nine-inch"}, "unknown model 'nine-inch'"},
        {{"--dirt", "x:0:-1"}, "--dirt x:0:-1: model 19in-72x58-7line has no such beam"},
        {{"--dirt", "x:1"}, "--dirt needs x|y:LED:LINE"},
        {{"--no-answer", "256"}, "--no-answer needs a packet identifier"},
        {{"--reboot-every", "0"}, "--reboot-every needs a whole number from 1"},
        {{"--noise", "1.5"}, "--noise needs a probability"},
        {{"--unplug-after", "soon"}, "--unplug-after needs a number of seconds"},
        // Slower than the player can time its scans: the scenario would play at the wrong speed.
        {{"--rate", "0.05"}, "--rate needs a number of scans per second"},
        {{"--rate", "2001"}, "--rate needs a number of scans per second"},
    };
    for (const auto& r : refused) {
        std::vector<std::string> args = {"--dir", dir_};
        args.insert(args.end(), r.first.begin(), r.first.end());
        Program frame(args, path("out"));
        EXPECT_EQ(frame.wait(), 2) << r.second;
        EXPECT_NE(readFile(path("out")).find(r.second), std::string::npos) << readFile(path("out"));
    }
}

TEST_F(VirtualFrameProgram, ModelDescriptionAndFaultsReachTheHost) {
    Program frame(
        {"--dir", dir_, "--model", "17in-65x52-7line", "--unconfigured", "--no-answer", "0x18"},
        path("out"));
    ASSERT_TRUE(waitFor([&] { return exists(path("frame0.sock")); })) << readFile(path("out"));
    const int fd = connectTo(path("frame0.sock"));
    ASSERT_GE(fd, 0);
    uint8_t report[ORDO_REPORT_SIZE];
    ASSERT_TRUE(sendRequest(fd, PACKET_IDEN_READ_CONFIG));
    ASSERT_TRUE(answer(fd, PACKET_IDEN_READ_CONFIG, report));
    OrdoConfig cfg;
    std::memcpy(&cfg, report + ORDO_HEADER_SIZE, sizeof cfg);
    EXPECT_EQ(uint32_t(cfg.LED_X), 65u);
    EXPECT_EQ(uint32_t(cfg.LED_Y), 52u);
    EXPECT_EQ(uint32_t(cfg.LEDGAPX), 5u);
    EXPECT_EQ(cfg.LCD_SIZE, 0);  // --unconfigured
    // Calibration (0x18) is never answered; effects still are.
    ASSERT_TRUE(sendRequest(fd, PACKET_IDEN_GET_CALIBRATION));
    ASSERT_TRUE(sendRequest(fd, PACKET_IDEN_GET_EFFECTS));
    std::set<uint8_t> seen;
    ASSERT_TRUE(answer(fd, PACKET_IDEN_GET_EFFECTS, report, &seen));
    EXPECT_EQ(seen.count(PACKET_IDEN_GET_CALIBRATION), 0u);
    close(fd);
    frame.stop();
    EXPECT_EQ(frame.wait(), 0);
    const std::string out = readFile(path("out"));
    EXPECT_NE(out.find("model 17in-65x52-7line"), std::string::npos) << out;
}

// The host connects, switches to software mode and receives the scenario's scans; at the end
// the frame unplugs (the connection closes and the socket goes away).
TEST_F(VirtualFrameProgram, PlaysTheScenarioToTheHostThenUnplugs) {
    Program frame({"--dir", dir_, "--model", "32in-144x80-7line", "--scenario", "tap", "--rate",
                   "250", "--id", "0011223344556677"},
                  path("out"));
    ASSERT_TRUE(waitFor([&] { return exists(path("frame0.sock")); })) << readFile(path("out"));

    const int fd = connectTo(path("frame0.sock"));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendRequest(fd, PACKET_IDEN_READ_CONFIG));
    ASSERT_TRUE(sendRequest(fd, PACKET_IDEN_SET_MODE, ORDO_MODE_SOFTWARE));

    const auto& model = *VirtualFrame::findFrameModel("32in-144x80-7line");
    VirtualFrame::FramePlayer reference(model, VirtualFrame::builtinScenario("tap"), 250.0);
    std::set<std::vector<uint8_t>> scans;  // every scan the scenario can produce
    for (size_t i = 0; i < reference.scanCount(); ++i) scans.insert(reference.rawScan(i));
    const auto untouched = reference.rawScan(0);
    bool configSeen = false, closed = false;
    int touchPackets = 0, touchedPackets = 0;
    std::vector<uint8_t> packet;
    const auto deadline = steady_clock::now() + seconds(20);
    while (!closed && steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        uint8_t in[ORDO_REPORT_SIZE];
        const ssize_t n = recv(fd, in, sizeof in, 0);
        if (n <= 0) {
            closed = true;
            break;
        }
        if (in[1] == PACKET_IDEN_READ_CONFIG && in[2] >> 4 == 0) {
            OrdoConfig cfg;
            std::memcpy(&cfg, in + ORDO_HEADER_SIZE, sizeof cfg);
            configSeen =
                uint32_t(cfg.LED_X) == 144 && cfg.LCD_SIZE == 32 && cfg.identity[7] == 0x77;
        }
        if (in[1] != PACKET_IDEN_TOUCH_DATA) continue;
        if (in[2] >> 4 == 0) packet.clear();
        packet.insert(packet.end(), in + ORDO_HEADER_SIZE, in + n);
        if ((in[2] >> 4) == (in[2] & 0x0F) - 1) {
            ++touchPackets;
            ASSERT_GE(packet.size(), untouched.size());
            const std::vector<uint8_t> content(packet.begin(), packet.begin() + untouched.size());
            EXPECT_EQ(scans.count(content), 1u) << "packet " << touchPackets;
            touchedPackets += content != untouched;
        }
    }
    close(fd);
    EXPECT_TRUE(closed) << "the frame did not unplug at the scenario's end";
    EXPECT_TRUE(configSeen);
    EXPECT_GE(touchPackets, 20);  // the 400 ms of the scenario at 250 Hz, give or take the load
    EXPECT_GE(touchedPackets, 1);
    EXPECT_EQ(frame.wait(), 0);
    EXPECT_NE(readFile(path("out")).find("scenario played"), std::string::npos);
    EXPECT_FALSE(exists(path("frame0.sock")));
}

TEST_F(VirtualFrameProgram, UnplugsAfterTheGivenTimeEvenWhenLooping) {
    const auto start = steady_clock::now();
    Program frame({"--dir", dir_, "--scenario", "circle", "--loop", "--unplug-after", "0.3"},
                  path("out"));
    EXPECT_EQ(frame.wait(), 0);
    EXPECT_GE(steady_clock::now() - start, milliseconds(300));
    EXPECT_NE(readFile(path("out")).find("unplugged as asked"), std::string::npos);
    EXPECT_FALSE(exists(path("frame0.sock")));
}
