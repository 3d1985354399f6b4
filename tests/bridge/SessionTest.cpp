// The bridge's socket layer over a socket pair: message splitting, the full buffer, sending,
// and the loop that feeds the plugin.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Bridge.h"
#include "InetSocket.h"
#include "OrdaloOSXPlugin.h"
#include "RecordingDesktop.h"

using inet::SocketException;
using inet::tcp::Session;

namespace {

// The bridge's end is a Session, the test writes the service's end.
class SessionPair : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        session_ = std::make_unique<Session>(fds[0]);
        peer_ = fds[1];
    }
    void TearDown() override { ClosePeer(); }

    void Write(const std::string& bytes) {
        ASSERT_EQ(send(peer_, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    }
    void ClosePeer() {
        if (peer_ >= 0) close(peer_);
        peer_ = -1;
    }
    // One read of the session; "(none)" when it served no message.
    std::string Next() {
        std::string message = "(none)";
        *session_ >> message;
        return message;
    }

    std::unique_ptr<Session> session_;
    int peer_ = -1;
};

TEST_F(SessionPair, TwoPacketsInOneReadAreServedOneByOneTheSecondWithoutReading) {
    Write(std::string("first\0second\0", 13));
    EXPECT_EQ(Next(), "first");
    // A read now would meet the closed peer and throw.
    ClosePeer();
    EXPECT_EQ(Next(), "second");
    EXPECT_THROW(Next(), SocketException);
}

TEST_F(SessionPair, APacketOverTwoReadsWaitsForItsEnd) {
    Write("<OSCPACKET COMPANY=");
    EXPECT_EQ(Next(), "(none)");
    Write(std::string("\"Ostrel\">\0", 10));
    EXPECT_EQ(Next(), "<OSCPACKET COMPANY=\"Ostrel\">");
}

TEST_F(SessionPair, AMessageLongerThanTheBufferIsDroppedUpToItsEndAndTheNextOneServed) {
    // Sent from a thread: the whole run is more than a socket pair buffers.
    std::string overlong(Session::MaxBufferLength + 5000, 'x');
    const std::string stream = overlong + std::string("\0after\0", 7);
    std::thread writer([&] {
        for (std::size_t sent = 0; sent < stream.size();) {
            const ssize_t n = send(peer_, stream.data() + sent, stream.size() - sent, 0);
            if (n <= 0) return;
            sent += std::size_t(n);
        }
    });
    std::vector<std::string> served;
    for (int reads = 0; reads < 100 && (served.empty() || served.back() != "after"); ++reads) {
        const std::string m = Next();
        if (m != "(none)") served.push_back(m);
    }
    writer.join();
    EXPECT_EQ(served, std::vector<std::string>{"after"});
}

TEST_F(SessionPair, AMessageOfExactlyTheBufferLengthLessOneStillFits) {
    const std::string longest(Session::MaxBufferLength - 1, 'y');
    std::thread writer([&] { Write(longest + std::string("\0", 1)); });
    std::string got = "(none)";
    for (int reads = 0; reads < 100 && got == "(none)"; ++reads) got = Next();
    writer.join();
    EXPECT_EQ(got.size(), longest.size());
}

TEST_F(SessionPair, SendingWatchingAndClosing) {
    EXPECT_FALSE(session_->isClosed());
    EXPECT_FALSE(session_->watchingData(30));
    *session_ << "hello";
    char buf[16] = {};
    ASSERT_EQ(recv(peer_, buf, sizeof buf, 0), 5);
    EXPECT_STREQ(buf, "hello");
    Write("x");
    EXPECT_TRUE(session_->watchingData(1000));
    session_->set(Session::KeepAlive, true);
    int on = 0;
    socklen_t length = sizeof on;
    getsockopt(session_->getSocket(), SOL_SOCKET, SO_KEEPALIVE, &on, &length);
    EXPECT_EQ(on, 1);
    // A gone peer is an exception, not SIGPIPE.
    ClosePeer();
    EXPECT_THROW(*session_ << std::string(1 << 20, 'z'), SocketException);
}

TEST(Connector, NoServerIsAFailureToConnect) {
    // A port just released by this process: nothing listens there.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    for (const char* host : {"localhost", "no-such-host.invalid"}) {
        try {
            inet::tcp::Connector::connect(host, ntohs(address.sin_port));
            ADD_FAILURE() << "connected to " << host;
        } catch (const SocketException& e) {
            EXPECT_STREQ(e.what(), "failure to connect to server");
        }
    }
}

// ---- The reading loop, through the real plugin and mapper --------------------------------------

std::string Touch(int id, const char* x, const char* y) {
    return std::string("<MESSAGE NAME=\"/tuio/2Dcur\"><ARGUMENT TYPE=\"s\" VALUE=\"set\"/>") +
           "<ARGUMENT TYPE=\"i\" VALUE=\"" + std::to_string(id) + "\"/><ARGUMENT TYPE=\"f\" VALUE=\"" +
           x + "\"/><ARGUMENT TYPE=\"f\" VALUE=\"" + y +
           "\"/><ARGUMENT TYPE=\"f\" VALUE=\"0\"/><ARGUMENT TYPE=\"f\" VALUE=\"0\"/>"
           "<ARGUMENT TYPE=\"f\" VALUE=\"0\"/><ARGUMENT TYPE=\"f\" VALUE=\"0.01\"/>"
           "<ARGUMENT TYPE=\"f\" VALUE=\"0.01\"/></MESSAGE>";
}

std::string Frame(const std::string& head, const std::string& sets, const std::string& alive) {
    return head + sets +
           "<MESSAGE NAME=\"/tuio/2Dcur\"><ARGUMENT TYPE=\"s\" VALUE=\"alive\"/>" + alive +
           "</MESSAGE></OSCPACKET>" + std::string("\0", 1);
}

const std::string kHead = "<OSCPACKET COMPANY=\"Ostrel\" ADDRESS=\"127.0.0.1\" PORT=\"3000\" TIME=\"1\">";
const std::string kAlive5 = "<ARGUMENT TYPE=\"i\" VALUE=\"5\"/>";

struct LoopCase {
    const char* name;
    std::string stream;      // what the service sends before it closes the connection
    std::vector<std::string> events;
    const char* lastLine;  // the line on standard error
};

class ReadingLoop : public ::testing::TestWithParam<LoopCase> {};

TEST_P(ReadingLoop, FeedsThePluginUntilTheFirstExceptionAndEndsWithStatusOne) {
    const LoopCase& c = GetParam();
    ordalo::sdk::desktop::RecordingDesktop desktop({1920, 1080});
    ordalo::sdk::desktop::setDesktop(&desktop);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    // Every finger lifted and a tap elsewhere first, so that this row starts from a clean mapper
    // and no click of it counts as the second of a double click.
    for (const std::string& packet : {Frame(kHead, "", ""), Frame(kHead, Touch(99, "0.9", "0.9"),
                                                                  "<ARGUMENT TYPE=\"i\" VALUE=\"99\"/>"),
                                      Frame(kHead, "", "")})
        odosxplugin_put_tuio_frame(packet.c_str());
    desktop.clear();
    ASSERT_EQ(send(fds[1], c.stream.data(), c.stream.size(), 0), ssize_t(c.stream.size()));
    close(fds[1]);
    Session session(fds[0]);
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(ordalo::bridge::runLoop(session, err), 1);
    ordalo::sdk::desktop::setDesktop(nullptr);
    std::vector<std::string> events;
    for (const std::string& line : desktop.take())
        if (line.rfind("pause", 0) != 0) events.push_back(line);
    EXPECT_EQ(events, c.events);
    std::rewind(err);
    char line[256] = {};
    ASSERT_NE(std::fgets(line, sizeof line, err), nullptr);
    EXPECT_EQ(std::string(line), std::string("OrdaloOSXBridge: ") + c.lastLine + "\n");
    std::fclose(err);
}

const std::string kTapDown = Frame(kHead, Touch(5, "0.25", "0.5"), kAlive5);
const std::string kTapUp = Frame(kHead, "", "");

INSTANTIATE_TEST_SUITE_P(
    Streams, ReadingLoop,
    ::testing::Values(
        LoopCase{"ATapThenTheServiceCloses",
                 kTapDown + kTapUp,
                 {"mouse-moved 480,540", "left-down 480,540", "left-up 480,540"},
                 "failure to receive data from socket"},
        LoopCase{"AHeaderWithoutCompanyAndOtherTextAreIgnored",
                 Frame("<OSCPACKET ADDRESS=\"127.0.0.1\" PORT=\"3000\" TIME=\"1\">",
                       Touch(5, "0.25", "0.5"), kAlive5) +
                         std::string("hello\0\0", 7) + kTapUp,
                 {},
                 "failure to receive data from socket"},
        LoopCase{"ARejectedPacketEndsTheLoop",
                 kTapDown + Frame(kHead, "", kAlive5) + kTapUp,
                 {},
                 "invalid TUIO message"}),
    [](const ::testing::TestParamInfo<LoopCase>& info) { return info.param.name; });

volatile std::sig_atomic_t g_stop = 0;

TEST(ReadingLoopStop, AStopSignalEndsTheWaitingLoopWithStatusZero) {
    struct sigaction action {};
    action.sa_handler = [](int) { g_stop = 1; };
    sigaction(SIGUSR1, &action, nullptr);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    Session session(fds[0]);
    // A complete message waits in the socket: it is still read before the stop is seen.
    const std::string packet("hello\0", 6);
    ASSERT_EQ(send(fds[1], packet.data(), packet.size(), 0), 6);
    const pthread_t loopThread = pthread_self();
    std::thread requester([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pthread_kill(loopThread, SIGUSR1);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ordalo::bridge::runLoop(session, stderr, &g_stop), 0);
    requester.join();
    EXPECT_FALSE(session.hasMessage());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    close(fds[1]);
}

}  // namespace
