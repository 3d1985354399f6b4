// The real OrdaloService program against virtual frames served from this process. Each test
// program runs in a network namespace of its own (the service's ports are fixed).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../common/ChildProcess.h"
#include "../output/LoDecoder.h"
#include "MTouch/MTProtocol.h"
#include "VirtualFrame/FirmwareEmulator.h"
#include "VirtualFrame/FrameModel.h"
#include "VirtualFrame/FramePlayer.h"
#include "VirtualFrame/FrameSocketServer.h"
#include "VirtualFrame/ScenarioSource.h"

using namespace std::chrono;
using ordalo_test::ChildProcess;
using ordalo_test::ReadWholeFile;
using VirtualFrame::FrameDescription;

namespace {

using Clock = steady_clock;

bool WaitUntil(const std::function<bool()>& pred, milliseconds timeout = milliseconds(20000)) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return pred();
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/ordalo-e2e-XXXXXX";
        if (const char* made = mkdtemp(pattern)) m_path = made;
    }
    ~TempDir() {
        if (!m_path.empty() && std::system(("rm -rf '" + m_path + "'").c_str()) != 0) {
        }
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// One frame plugged in on DIR/NAME.sock; destroying it (or Unplug) pulls it out.
class Frame {
public:
    Frame(const std::string& dir, const std::string& name, const FrameDescription& description,
          const std::string& scenario = "")
        : m_emulator(description), m_path(dir + "/" + name + ".sock") {
        if (!scenario.empty()) {
            const VirtualFrame::FrameModel& model = VirtualFrame::defaultFrameModel();
            m_source = std::make_unique<VirtualFrame::ScenarioSource>(
                VirtualFrame::FramePlayer(model, VirtualFrame::Scenario::parseText(scenario)),
                true);
            m_emulator.SetScanRate(m_source->player().rateHz());
            m_emulator.SetScanSource(m_source->Callback());
        }
        Plug();
    }
    void Plug() {
        m_server = std::make_unique<VirtualFrame::FrameSocketServer>(m_emulator, m_path);
        EXPECT_TRUE(m_server->Start()) << m_server->Error();
    }
    void Unplug() { m_server.reset(); }
    VirtualFrame::FirmwareEmulator& emulator() { return m_emulator; }

private:
    VirtualFrame::FirmwareEmulator m_emulator;
    std::unique_ptr<VirtualFrame::ScenarioSource> m_source;
    std::string m_path;
    std::unique_ptr<VirtualFrame::FrameSocketServer> m_server;
};

FrameDescription Described(uint8_t lastIdentityByte) {
    FrameDescription d = VirtualFrame::defaultFrameModel().firmware;
    d.identity[7] = lastIdentityByte;
    return d;
}

std::string IdentityOf(const FrameDescription& d) { return OrdoIdentityHex(d.identity); }

// The service, working in its own folder, with its whole log in a file.
class Service {
public:
    explicit Service(const std::string& dir, const std::string& rebootDelayMs = "")
        : m_log(dir + "/service.log") {
        setenv("ORDALO_VIRTUAL_DIR", dir.c_str(), 1);
        setenv("ORDALO_LOG", "stderr", 1);
        setenv("ORDALO_LOG_LEVEL", "0", 1);
        if (rebootDelayMs.empty()) {
            unsetenv("ORDALO_TEST_REBOOT_DELAY_MS");
        } else {
            setenv("ORDALO_TEST_REBOOT_DELAY_MS", rebootDelayMs.c_str(), 1);
        }
        char previous[4096];
        const bool hadCwd = getcwd(previous, sizeof previous) != nullptr;
        if (chdir(dir.c_str()) != 0) ADD_FAILURE() << "chdir " << dir;
        m_process = std::make_unique<ChildProcess>(std::vector<std::string>{ORDALO_SERVICE_BIN},
                                                   m_log);
        if (hadCwd && chdir(previous) != 0) ADD_FAILURE() << "chdir back";
        EXPECT_TRUE(m_process->Started());
    }
    std::string Log() const { return ReadWholeFile(m_log); }
    size_t Count(const std::string& text) const { return CountOf(Log(), text); }
    bool WaitLog(const std::string& text, size_t count = 1,
                 milliseconds timeout = milliseconds(20000)) const {
        return WaitUntil([&] { return Count(text) >= count; }, timeout);
    }
    int Stop(int sig = SIGTERM) {
        m_process->Signal(sig);
        return m_process->Wait(milliseconds(20000));
    }

private:
    std::string m_log;
    std::unique_ptr<ChildProcess> m_process;
};

// ---- TUIO routes ----------------------------------------------------------------------------

struct Cursor {
    int id;
    float x, y;
};

// The XML route: a client of TCP port 3000 that splits the stream at NUL bytes.
class XmlClient {
public:
    // receiveBuffer > 0 shrinks the socket's buffer, so that a client that does not read
    // stalls its sender soon.
    explicit XmlClient(int receiveBuffer = 0) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0) {
            setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(3000);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = WaitUntil([&] {
            return connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        });
        timeval tv{0, 100 * 1000};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~XmlClient() { close(m_fd); }
    bool connected() const { return m_connected; }
    // Reads what has arrived (waiting up to 100 ms); appends each complete packet. False when
    // nothing came.
    bool Poll(std::vector<std::string>& packets) {
        char buf[65536];
        const ssize_t n = recv(m_fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        m_pending.append(buf, size_t(n));
        for (size_t nul; (nul = m_pending.find('\0')) != std::string::npos;) {
            packets.push_back(m_pending.substr(0, nul));
            m_pending.erase(0, nul + 1);
        }
        return true;
    }

private:
    int m_fd = -1;
    bool m_connected = false;
    std::string m_pending;
};

std::vector<Cursor> CursorsOfXml(const std::string& packet) {
    std::vector<Cursor> cursors;
    const std::string set = "VALUE=\"set\"/>";
    for (size_t at = packet.find(set); at != std::string::npos; at = packet.find(set, at + 1)) {
        Cursor c{};
        if (std::sscanf(packet.c_str() + at + set.size(),
                        "<ARGUMENT TYPE=\"i\" VALUE=\"%d\"/><ARGUMENT TYPE=\"f\" VALUE=\"%f\"/>"
                        "<ARGUMENT TYPE=\"f\" VALUE=\"%f\"/>",
                        &c.id, &c.x, &c.y) == 3) {
            cursors.push_back(c);
        }
    }
    return cursors;
}

int FseqOfXml(const std::string& packet) {
    const std::string key = "VALUE=\"fseq\"/><ARGUMENT TYPE=\"i\" VALUE=\"";
    const size_t at = packet.find(key);
    return at == std::string::npos ? -1 : std::atoi(packet.c_str() + at + key.size());
}

std::vector<Cursor> CursorsOfOsc(const outputtest::LoDecoder& decoder) {
    std::vector<Cursor> cursors;
    for (const auto& m : decoder.messages) {
        if (m.args.size() >= 4 && m.args[0].s == "set") {
            cursors.push_back({m.args[1].i, m.args[2].f, m.args[3].f});
        }
    }
    return cursors;
}

// A finger's position is within 3 mm on the default model.
bool Near(const Cursor& c, float x, float y) {
    const auto& g = VirtualFrame::defaultFrameModel().geometry;
    const double widthMm = g.ledsX * g.mmPerLed(), heightMm = g.ledsY * g.mmPerLed();
    return std::hypot((c.x - x) * widthMm, (c.y - y) * heightMm) <= 3.0;
}

// Waits until both routes carry a frame in which every expected finger shows up near its
// place with an id of its device's range [slot*48, slot*48+47] and nothing else shows up.
struct Expected {
    unsigned slot;
    float x, y;
};

bool Matches(const std::vector<Cursor>& cursors, const std::vector<Expected>& expected) {
    if (cursors.size() != expected.size()) return false;
    for (const Expected& e : expected) {
        bool found = false;
        for (const Cursor& c : cursors) {
            found = found || (c.id >= int(e.slot * 48) && c.id < int(e.slot * 48 + 48) &&
                              Near(c, e.x, e.y));
        }
        if (!found) return false;
    }
    return true;
}

bool BothRoutesShow(outputtest::LoDecoder& udp, XmlClient& tcp,
                    const std::vector<Expected>& expected) {
    bool udpSeen = false, tcpSeen = false;
    std::vector<std::string> packets;
    return WaitUntil([&] {
        // Everything queued is read, so that the check is on fresh frames.
        for (int i = 0; i < 10000 && udp.Receive(i == 0 ? 50 : 0); ++i) {
            udpSeen = udpSeen || Matches(CursorsOfOsc(udp), expected);
            udp.Clear();
        }
        packets.clear();
        for (int i = 0; i < 100 && tcp.Poll(packets); ++i) {
        }
        for (const auto& p : packets) tcpSeen = tcpSeen || Matches(CursorsOfXml(p), expected);
        return udpSeen && tcpSeen;
    });
}

// A finger resting on the screen from 1.5 s on (after the background has been taught).
std::string RestingFinger(float x, float y) {
    char text[128];
    std::snprintf(text, sizeof text, "1500 1 %.3f %.3f 10\n60000 1 %.3f %.3f\n", x, y, x, y);
    return text;
}

}  // namespace

// ---- Bring-up ---------------------------------------------------------------------------------

struct BringUpCase {
    const char* name;
    uint8_t initialMode;
    bool calibrated;
    std::vector<uint8_t> expected;  // requests from binding to the end of bring-up
    const char* calibrationLine;
};

class ServiceBringUp : public ::testing::TestWithParam<BringUpCase> {};

TEST_P(ServiceBringUp, RequestsInOrderAndCalibration) {
    const BringUpCase& c = GetParam();
    TempDir dir;
    FrameDescription d = Described(1);
    d.initialMode = c.initialMode;
    d.calibrationEnabled = c.calibrated;
    for (int k = 0; k < 16; ++k) d.calibrationPoints[k] = uint16_t(1000 * (k + 1));
    Frame frame(dir.path(), "frame0", d);
    Service service(dir.path());
    ASSERT_TRUE(service.WaitLog("Binding cfg-event to current device")) << service.Log();
    std::vector<uint8_t> log = frame.emulator().RequestLog();
    ASSERT_GE(log.size(), c.expected.size());
    log.resize(c.expected.size());
    EXPECT_EQ(log, c.expected);
    EXPECT_EQ(service.Count(c.calibrationLine), 1u) << service.Log();
    EXPECT_EQ(frame.emulator().Mode(), ORDO_MODE_SOFTWARE);
    EXPECT_EQ(service.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ServiceBringUp,
    ::testing::Values(
        // Hardware mode, uncalibrated: forced into software mode, identity calibration.
        BringUpCase{"HardwareMode",
                    1,
                    false,
                    {16, 16, 18, 21, 28, 24, 26, 49, 49, 52, 31},
                    "Calibration Default "},
        // Already in software mode: no mode switch; the stored corners are used (offsets 8,
        // 10, 32, 34, 4, 6, 28, 30 are points 2, 3, 14, 15, 0, 1, 12, 13).
        BringUpCase{"SoftwareModeCalibrated",
                    3,
                    true,
                    {16, 16, 18, 28, 24, 26, 49, 49, 52, 31},
                    "Calibration 3000:4000 - 15000:16000 - 1000:2000 - 13000:14000 "}),
    [](const ::testing::TestParamInfo<BringUpCase>& info) { return info.param.name; });

struct RebootCase {
    const char* name;
    std::function<void(FrameDescription&, VirtualFrame::FaultSettings&)> fault;
    const char* reason;
    const char* delayLine;
};

class ServiceReboot : public ::testing::TestWithParam<RebootCase> {};

TEST_P(ServiceReboot, FailedBringUpAsksForItsRestart) {
    const RebootCase& c = GetParam();
    TempDir dir;
    FrameDescription d = Described(2);
    VirtualFrame::FaultSettings faults;
    c.fault(d, faults);
    Frame frame(dir.path(), "frame0", d);
    frame.emulator().SetFaults(faults);
    Service service(dir.path());
    ASSERT_TRUE(service.WaitLog(c.delayLine)) << service.Log();
    EXPECT_EQ(service.Count(c.reason), 1u);
    // The restart waits out the delay: no second bring-up yet.
    EXPECT_EQ(service.Count("MTMain Entry"), 1u);
    EXPECT_EQ(service.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ServiceReboot,
    ::testing::Values(
        RebootCase{"Unconfigured",
                   [](FrameDescription&, VirtualFrame::FaultSettings& f) { f.unconfigured = true; },
                   "Device unconfigured!", "Device will reboot in 5000 ms "},
        RebootCase{"OldFirmware",
                   [](FrameDescription& d, VirtualFrame::FaultSettings&) {
                       d.firmwareVersion = 19;
                   },
                   "Only support version(s) which above 2.0", "Device will reboot in 5000 ms "},
        RebootCase{"ModeSwitchUnanswered",
                   [](FrameDescription& d, VirtualFrame::FaultSettings& f) {
                       d.initialMode = 1;
                       f.answerFaults[PACKET_IDEN_SET_MODE] = VirtualFrame::AnswerFault::NoAnswer;
                   },
                   "Set mode failed", "Device will reboot in 10000 ms "}),
    [](const ::testing::TestParamInfo<RebootCase>& info) { return info.param.name; });

TEST(ServiceDevices, QuickRebootsDropTheFrameOnTheEleventhAndOthersAreServedMeanwhile) {
    TempDir dir;
    VirtualFrame::FaultSettings faults;
    faults.unconfigured = true;
    Frame looping(dir.path(), "frame0", Described(3));
    looping.emulator().SetFaults(faults);
    Service service(dir.path(), "0");
    ASSERT_TRUE(service.WaitLog("We should drop this device for unnormal reboot over 10 times"))
        << service.Log();
    const std::string log = service.Log();
    const std::string before = log.substr(0, log.find("We should drop"));
    EXPECT_EQ(CountOf(before, "MTMain Entry"), 11u);
    EXPECT_EQ(CountOf(before, "Unnormal reboot exception for count"), 11u);
    EXPECT_EQ(CountOf(before, "Unnormal reboot exception for count 10"), 1u);
    EXPECT_EQ(service.Stop(), 0);
}

TEST(ServiceDevices, AFramePluggedInWhileAnotherWaitsForItsRebootIsBoundAtOnce) {
    TempDir dir;
    VirtualFrame::FaultSettings faults;
    faults.unconfigured = true;
    Frame waiting(dir.path(), "frame0", Described(4));
    waiting.emulator().SetFaults(faults);
    Service service(dir.path());
    ASSERT_TRUE(service.WaitLog("Device will reboot in 5000 ms ")) << service.Log();
    const FrameDescription second = Described(5);
    const auto plugged = Clock::now();
    Frame other(dir.path(), "frame1", second);
    ASSERT_TRUE(service.WaitLog("ID " + IdentityOf(second)));
    // The old main loop slept through the 5 s delay; one poll and a bind take well under 2 s.
    EXPECT_LT(duration_cast<milliseconds>(Clock::now() - plugged).count(), 2000);
    EXPECT_EQ(service.Stop(), 0);
}

TEST(ServiceDevices, ASixthFrameIsRefusedUntilItsPathFailedFiveTimes) {
    TempDir dir;
    std::vector<std::unique_ptr<Frame>> frames;
    for (int i = 0; i < 6; ++i) {
        frames.push_back(std::make_unique<Frame>(dir.path(), "frame" + std::to_string(i),
                                                 Described(uint8_t(10 + i))));
    }
    Service service(dir.path());
    ASSERT_TRUE(service.WaitLog("Over the max-ordalo number", 5)) << service.Log();
    ASSERT_TRUE(service.WaitLog("Enable multi-access", 5));
    // Skipped silently from then on while it stays attached.
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_EQ(service.Count("Over the max-ordalo number"), 5u);
    EXPECT_EQ(service.Count("Enable multi-access"), 5u);
    EXPECT_EQ(service.Stop(), 0);
}

// ---- Touches -----------------------------------------------------------------------------------

TEST(ServiceTouches, FingersReachBothRoutesWithTheirDevicesIdsAndUnplugRemovesOnlyOneFrame) {
    TempDir dir;
    outputtest::LoDecoder udp("3333");
    ASSERT_TRUE(udp.Valid());
    Frame left(dir.path(), "frame0", Described(20), RestingFinger(0.25f, 0.5f));
    Service service(dir.path());
    ASSERT_TRUE(service.WaitLog("Enable multi-access")) << service.Log();
    Frame right(dir.path(), "frame1", Described(21), RestingFinger(0.75f, 0.4f));
    XmlClient tcp;
    ASSERT_TRUE(tcp.connected());
    ASSERT_TRUE(BothRoutesShow(udp, tcp, {{0, 0.25f, 0.5f}, {1, 0.75f, 0.4f}})) << service.Log();

    left.Unplug();
    ASSERT_TRUE(service.WaitLog("Device has pulled out"));
    ASSERT_TRUE(service.WaitLog("Clean finished"));
    EXPECT_TRUE(BothRoutesShow(udp, tcp, {{1, 0.75f, 0.4f}}));

    // Plugged back: bound again, into the slot it left.
    left.Plug();
    ASSERT_TRUE(service.WaitLog("Enable multi-access", 3));
    EXPECT_TRUE(BothRoutesShow(udp, tcp, {{0, 0.25f, 0.5f}, {1, 0.75f, 0.4f}}));
    EXPECT_EQ(service.Count("Device Added"), 3u);

    // The watchdog is fed while touches stream, never more often than every 501 ms.
    const uint64_t feedsBefore = right.emulator().RequestCount(PACKET_IDEN_FEED_WATCHDOG);
    const auto from = Clock::now();
    std::this_thread::sleep_for(milliseconds(2600));
    const uint64_t feeds = right.emulator().RequestCount(PACKET_IDEN_FEED_WATCHDOG) - feedsBefore;
    const double seconds = duration<double>(Clock::now() - from).count();
    EXPECT_GE(feeds, 2u);
    EXPECT_LE(double(feeds), seconds / 0.501 + 1.0);

    // Stopped with two frames streaming: every thread ends, status 0, well within 10 s.
    const auto stopAt = Clock::now();
    EXPECT_EQ(service.Stop(), 0);
    EXPECT_LT(duration_cast<milliseconds>(Clock::now() - stopAt).count(), 10000);
    EXPECT_EQ(service.Count("MTReset was called"), 1u);
    EXPECT_EQ(service.Count("Unable to stop thread"), 0u) << service.Log();
    EXPECT_TRUE(ordalo_test::PathExists(dir.path() + "/Data/System.xml"));
}

TEST(ServiceTouches, AStalledTcpClientDoesNotHoldUpAReadingOne) {
    TempDir dir;
    Frame frame(dir.path(), "frame0", Described(30), RestingFinger(0.5f, 0.5f));
    Service service(dir.path());
    // Connected with a small buffer, and never read.
    XmlClient stalled(4096);
    ASSERT_TRUE(stalled.connected());
    XmlClient reader;
    ASSERT_TRUE(reader.connected());
    ASSERT_TRUE(service.WaitLog("Enable multi-access"));
    // Long enough for the stalled client's buffers to fill up.
    std::vector<std::string> packets;
    const auto from = Clock::now();
    while (Clock::now() - from < milliseconds(4000)) reader.Poll(packets);
    ASSERT_GT(packets.size(), 100u);
    // The last second: whole packets, consecutive frame numbers, close to one per 10 ms.
    const size_t tail = std::min<size_t>(packets.size(), 100);
    int previous = -1;
    for (size_t i = packets.size() - tail; i < packets.size(); ++i) {
        const std::string& p = packets[i];
        EXPECT_EQ(p.rfind("<OSCPACKET", 0), 0u);
        EXPECT_GE(p.size(), 12u);
        EXPECT_EQ(p.substr(p.size() - 12), "</OSCPACKET>");
        const int fseq = FseqOfXml(p);
        if (previous >= 0) {
            EXPECT_EQ(fseq, previous + 1);
        }
        previous = fseq;
    }
    // 4 s at one frame per 10 ms is 400; a loaded 2-core machine may lose a few ticks.
    EXPECT_GT(packets.size(), 300u);
    EXPECT_EQ(service.Stop(), 0);
}

TEST(ServiceDevices, AStopCutsShortARequestTheFrameNeverAnswers) {
    TempDir dir;
    Frame frame(dir.path(), "frame0", Described(40));
    VirtualFrame::FaultSettings faults;
    faults.answerFaults[PACKET_IDEN_QUERY_INFO] = VirtualFrame::AnswerFault::NoAnswer;
    frame.emulator().SetFaults(faults);
    Service service(dir.path());
    ASSERT_TRUE(WaitUntil([&] { return frame.emulator().RequestCount(PACKET_IDEN_QUERY_INFO) > 0; }));
    EXPECT_EQ(service.Stop(), 0);
    EXPECT_EQ(service.Count("Request cancelled"), 1u) << service.Log();
    EXPECT_EQ(service.Count("Request timed out"), 0u);
}

TEST(ServiceTouches, TheStandardTuioProfileNamedInSystemXmlReachesEveryUdpTarget) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir.path() + "/Data").c_str(), 0755), 0);
    std::ofstream(dir.path() + "/Data/System.xml")
        << "<INFO><TUIO><PROFILE>standard</PROFILE><UDP_TARGET>127.0.0.1:3333</UDP_TARGET>"
           "<UDP_TARGET>127.0.0.1:3334</UDP_TARGET></TUIO></INFO>";
    outputtest::LoDecoder first("3333"), second("3334");
    ASSERT_TRUE(first.Valid() && second.Valid());
    Frame frame(dir.path(), "frame0", Described(40), RestingFinger(0.25f, 0.5f));
    Service service(dir.path());
    for (outputtest::LoDecoder* udp : {&first, &second}) {
        // The finger as a TUIO 1.1 blob at its place, with a size.
        EXPECT_TRUE(WaitUntil([&] {
            bool seen = false;
            for (int i = 0; i < 10000 && udp->Receive(i == 0 ? 50 : 0); ++i) {
                for (const auto& m : udp->messages) {
                    seen = seen || (m.path == "/tuio/2Dblb" && m.types == "sifffffffffff" &&
                                    m.args[0].s == "set" &&
                                    Near({m.args[1].i, m.args[2].f, m.args[3].f}, 0.25f, 0.5f) &&
                                    m.args[5].f > 0.0f && m.args[6].f > 0.0f);
                }
                udp->Clear();
            }
            return seen;
        })) << service.Log();
    }
    EXPECT_EQ(service.Stop(), 0);
}
