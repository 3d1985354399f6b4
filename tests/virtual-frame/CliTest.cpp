// ordalo-virtual-frame as a program: listings, refused scenario files, and a scenario played to
// a host connected to its socket, after which the frame unplugs.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include "../common/ChildProcess.h"
#include "MTouch/MTProtocol.h"
#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/FramePlayer.h"

using namespace std::chrono;
using ordalo_test::ChildProcess;
using ordalo_test::PathExists;
using ordalo_test::ReadWholeFile;

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

// ordalo-virtual-frame with these arguments.
std::vector<std::string> virtualFrame(std::vector<std::string> args) {
    args.insert(args.begin(), ORDALO_VIRTUAL_FRAME_BIN);
    return args;
}

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
    ChildProcess models(virtualFrame({"--list-models"}), path("out"));
    ASSERT_EQ(models.Wait(), 0);
    std::string expected;
    for (const auto& m : VirtualFrame::frameModels()) expected += m.name + "\n";
    EXPECT_EQ(ReadWholeFile(path("out")), expected);

    ChildProcess scenarios(virtualFrame({"--list-scenarios"}), path("out"));
    ASSERT_EQ(scenarios.Wait(), 0);
    expected.clear();
    for (const auto& n : VirtualFrame::builtinScenarioNames()) expected += n + "\n";
    EXPECT_EQ(ReadWholeFile(path("out")), expected);
}

TEST_F(VirtualFrameProgram, RefusesAMalformedScenarioFileAndBadOptions) {
    std::ofstream(path("bad.txt")) << "# a drag\n0 1 0.2 0.5\n300 1 0.8 O.5\n400 1 up\n";
    ChildProcess frame(virtualFrame({"--dir", dir_, "--scenario", path("bad.txt")}), path("out"));
    EXPECT_EQ(frame.Wait(), 2);
    const std::string out = ReadWholeFile(path("out"));
    EXPECT_NE(out.find("line 3: y 'O.5'"), std::string::npos) << out;
    EXPECT_FALSE(PathExists(path("frame0.sock")));

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
        ChildProcess frame(virtualFrame(args), path("out"));
        EXPECT_EQ(frame.Wait(), 2) << r.second;
        EXPECT_NE(ReadWholeFile(path("out")).find(r.second), std::string::npos)
            << ReadWholeFile(path("out"));
    }
}

// Noise alone asks for a simulated frame: it plays the default model instead of answering with
// the generic description, whose fixed scan has no beams to flip.
TEST_F(VirtualFrameProgram, NoiseWithoutAModelUsesTheDefaultModel) {
    ChildProcess frame(virtualFrame({"--dir", dir_, "--noise", "0.01"}), path("out"));
    ASSERT_TRUE(waitFor([&] {
        return ReadWholeFile(path("out")).find("model ") != std::string::npos;
    })) << ReadWholeFile(path("out"));
    frame.Signal(SIGTERM);
    EXPECT_EQ(frame.Wait(), 0);
    EXPECT_NE(ReadWholeFile(path("out")).find("model 19in-72x58-7line"), std::string::npos)
        << ReadWholeFile(path("out"));
}

TEST_F(VirtualFrameProgram, ModelDescriptionAndFaultsReachTheHost) {
    ChildProcess frame(virtualFrame({"--dir", dir_, "--model", "17in-65x52-7line", "--unconfigured",
                                     "--no-answer", "0x18"}),
                       path("out"));
    ASSERT_TRUE(waitFor([&] { return PathExists(path("frame0.sock")); }))
        << ReadWholeFile(path("out"));
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
    frame.Signal(SIGTERM);
    EXPECT_EQ(frame.Wait(), 0);
    const std::string out = ReadWholeFile(path("out"));
    EXPECT_NE(out.find("model 17in-65x52-7line"), std::string::npos) << out;
}

// The host connects, switches to software mode and receives the scenario's scans; at the end
// the frame unplugs (the connection closes and the socket goes away).
TEST_F(VirtualFrameProgram, PlaysTheScenarioToTheHostThenUnplugs) {
    ChildProcess frame(virtualFrame({"--dir", dir_, "--model", "32in-144x80-7line", "--scenario",
                                     "tap", "--rate", "250", "--id", "0011223344556677"}),
                       path("out"));
    ASSERT_TRUE(waitFor([&] { return PathExists(path("frame0.sock")); }))
        << ReadWholeFile(path("out"));

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
    EXPECT_EQ(frame.Wait(), 0);
    EXPECT_NE(ReadWholeFile(path("out")).find("scenario played"), std::string::npos);
    EXPECT_FALSE(PathExists(path("frame0.sock")));
}

TEST_F(VirtualFrameProgram, UnplugsAfterTheGivenTimeEvenWhenLooping) {
    const auto start = steady_clock::now();
    ChildProcess frame(
        virtualFrame({"--dir", dir_, "--scenario", "circle", "--loop", "--unplug-after", "0.3"}),
        path("out"));
    EXPECT_EQ(frame.Wait(), 0);
    EXPECT_GE(steady_clock::now() - start, milliseconds(300));
    EXPECT_NE(ReadWholeFile(path("out")).find("unplugged as asked"), std::string::npos);
    EXPECT_FALSE(PathExists(path("frame0.sock")));
}
