// ordalo-monitor as a program: its line output for datagrams sent from here, its refusals, and
// a finger of a virtual frame seen through the real service. Runs in a network namespace of its
// own (the service's ports are fixed).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "../common/ChildProcess.h"
#include "ProductTestSupport.h"

using namespace std::chrono;
using ordalo_test::ChildProcess;
using ordalo_test::ReadWholeFile;
using producttest::TempDir;
using producttest::TuioBundle;
using producttest::WaitUntil;

namespace {

void SendTo(int port, const std::vector<uint8_t>& bytes) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              ssize_t(bytes.size()));
    close(fd);
}

bool HasLine(const std::string& text, const std::string& line) {
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        if (l == line) return true;
    }
    return false;
}

// A line of exactly one touch within `tolerance` of (x, y); its id in *id.
bool HasTouchNear(const std::string& text, double x, double y, double tolerance, int* id) {
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        int fseq = 0, touch = 0, used = 0;
        double tx = 0, ty = 0;
        if (std::sscanf(l.c_str(), "fseq %d: %d %lf %lf%n", &fseq, &touch, &tx, &ty, &used) == 4 &&
            used == int(l.size()) && std::fabs(tx - x) <= tolerance &&
            std::fabs(ty - y) <= tolerance) {
            *id = touch;
            return true;
        }
    }
    return false;
}

class Monitor {
public:
    Monitor(const TempDir& dir, std::vector<std::string> args) : m_out(dir.path() + "/monitor.out") {
        args.insert(args.begin(), ORDALO_MONITOR_BIN);
        m_process = std::make_unique<ChildProcess>(args, m_out);
        EXPECT_TRUE(m_process->Started());
    }
    std::string Output() const { return ReadWholeFile(m_out); }
    int Stop() {
        m_process->Signal(SIGTERM);
        return m_process->Wait();
    }
    int Wait() { return m_process->Wait(); }

private:
    std::string m_out;
    std::unique_ptr<ChildProcess> m_process;
};

}  // namespace

TEST(MonitorProgram, LinesOfDatagramsOnAChosenPort) {
    TempDir dir;
    Monitor monitor(dir, {"--lines", "--port", "3334"});
    const auto frame =
        TuioBundle().Set(3, 0.25f, 0.5f).Set(1, 0.75f, 0.4f).Alive({3, 1}).Fseq(7).Bytes();
    // The monitor may still be binding: resend until it answers, garbage first each time.
    ASSERT_TRUE(WaitUntil([&] {
        SendTo(3334, {0xde, 0xad, 0xbe, 0xef});
        SendTo(3334, {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xff, 0xff,
                      0xff, 0xf0});
        SendTo(3334, frame);
        return HasLine(monitor.Output(), "fseq 7: 1 0.750 0.400 3 0.250 0.500");
    })) << monitor.Output();
    SendTo(3333, TuioBundle().Alive({}).Fseq(50).Bytes());  // not its port
    SendTo(3334, TuioBundle().Alive({}).Fseq(51).Bytes());
    ASSERT_TRUE(WaitUntil([&] { return HasLine(monitor.Output(), "fseq 51:"); }));
    EXPECT_EQ(monitor.Stop(), 0);
    const std::string out = monitor.Output();
    EXPECT_EQ(out.find("fseq 50"), std::string::npos);
    // Every line is a frame: the garbage made none.
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) EXPECT_EQ(l.rfind("fseq ", 0), 0u) << l;
}

TEST(MonitorProgram, RefusesBadOptionsAndABusyPort) {
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    const int busy = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(3335);
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    const std::vector<Case> cases = {
        {{"--port", "0"}, 2, "--port needs a number from 1 to 65535, got '0'"},
        {{"--port", "65536"}, 2, "got '65536'"},
        {{"--port", "33x"}, 2, "got '33x'"},
        {{"--port"}, 2, "--port needs a value"},
        {{"--frames"}, 2, "unknown option '--frames'"},
        {{"--lines", "--port", "3335"}, 1, "cannot listen on UDP port 3335: Address already in use"},
    };
    for (const Case& c : cases) {
        Monitor monitor(dir, c.args);
        EXPECT_EQ(monitor.Wait(), c.status) << c.args[0];
        EXPECT_NE(monitor.Output().find(c.says), std::string::npos) << monitor.Output();
    }
    close(busy);
}

// The whole route: a finger resting at (0.25, 0.5) of a virtual frame, the real service, and the
// monitor on the service's default port.
TEST(MonitorProgram, ShowsAVirtualFingerWhereItIs) {
    TempDir dir;
    {
        std::ofstream scenario(dir.path() + "/finger.txt");
        // From 1.5 s on, once the service has taught the frame's background.
        scenario << "1500 1 0.25 0.5 10\n600000 1 0.25 0.5\n";
    }
    ChildProcess frame({ORDALO_VIRTUAL_FRAME_BIN, "--dir", dir.path(), "--scenario",
                        dir.path() + "/finger.txt"},
                       dir.path() + "/frame.log");
    ASSERT_TRUE(WaitUntil([&] { return ordalo_test::PathExists(dir.path() + "/frame0.sock"); }));
    Monitor monitor(dir, {"--lines"});
    setenv("ORDALO_VIRTUAL_DIR", dir.path().c_str(), 1);
    setenv("ORDALO_LOG", "stderr", 1);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    ChildProcess service({ORDALO_SERVICE_BIN}, dir.path() + "/service.log");
    int id = -1;
    // 3 mm on a frame some 400 mm wide.
    EXPECT_TRUE(WaitUntil([&] { return HasTouchNear(monitor.Output(), 0.25, 0.5, 0.008, &id); },
                          seconds(60)))
        << "service log:\n" << ReadWholeFile(dir.path() + "/service.log") << "\nmonitor:\n"
        << monitor.Output().substr(0, 2000);
    // The service's first slot gives ids 0..47.
    EXPECT_GE(id, 0);
    EXPECT_LT(id, 48);
    EXPECT_EQ(monitor.Stop(), 0);
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(), 0);
}
