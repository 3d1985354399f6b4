// The TCP classes against real loopback sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <deque>
#include <string>
#include <thread>

#include "OutputTestSupport.h"
#include "VexoNetwork/VexoNetworkUtils.h"
#include "VexoNetwork/VexoTCPClient.h"
#include "VexoNetwork/VexoTCPServer.h"

using namespace VexoSource;
using outputtest::Listener;
using outputtest::LogRecorder;
using outputtest::Peer;
using outputtest::WaitUntil;

namespace {

// A server with non-blocking clients on an ephemeral port, the way the TUIO
// output runs it.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Setup(0, false)); }
    void TearDown() override { server.Close(); }

    // Connects a peer and returns its client number once the server has it.
    int ConnectPeer(Peer& peer) {
        peer = Peer::Connect(server.GetPort());
        EXPECT_TRUE(peer.Valid());
        int id = -1;
        WaitUntil([&] { return (id = ClientOf(peer)) >= 0; });
        return id;
    }

    // The server's number for this peer, found by its port; -1 if not there.
    int ClientOf(const Peer& peer) {
        for (int id : server.GetClientIds()) {
            if (server.GetClientPort(id) == peer.LocalPort()) return id;
        }
        return -1;
    }

    LogRecorder log;
    VexoTCPServer server;
};

// An outgoing non-blocking client and the raw socket it connected to.
struct ClientPair {
    explicit ClientPair(int listenerRcvbuf = 0) : listener(listenerRcvbuf) {
        EXPECT_TRUE(client.Setup("127.0.0.1", listener.Port(), false));
        peer = listener.Accept();
        EXPECT_TRUE(peer.Valid());
    }

    // Polls Receive until it yields a message or the deadline passes.
    std::string NextMessage() {
        std::string message;
        WaitUntil([&] {
            message = client.Receive();
            return !message.empty();
        });
        return message;
    }

    Listener listener;
    VexoTCPClient client;
    Peer peer;
};

// A bare blocking socket connected to a raw peer.
struct ManagerPair {
    ManagerPair() {
        EXPECT_TRUE(manager.Create());
        EXPECT_TRUE(manager.Connect("127.0.0.1", listener.Port()));
        peer = listener.Accept();
        EXPECT_TRUE(peer.Valid());
    }

    Listener listener;
    VexoTCPManager manager;
    Peer peer;
};

// Blocks SIGPIPE on this thread while alive: a SIGPIPE raised meanwhile stays
// pending even though the process ignores it, so it can be seen.
class SigpipeWatch {
public:
    SigpipeWatch() {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous);
    }
    ~SigpipeWatch() {
        if (Raised()) {
            int sig = 0;
            sigwait(&m_pipe, &sig);
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }
    bool Raised() const {
        sigset_t pending;
        sigemptyset(&pending);
        return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }

private:
    sigset_t m_pipe;
    sigset_t m_previous;
};

}  // namespace

TEST_F(ServerTest, SendToAllPutsTextAndOneNulOnTheWire) {
    EXPECT_FALSE(server.SendToAll("abc")) << "no client yet";
    Peer peer;
    const int id = ConnectPeer(peer);
    ASSERT_GE(id, 0);
    EXPECT_TRUE(server.IsClientConnected(id));
    EXPECT_EQ(server.GetClientIP(id), "127.0.0.1");
    EXPECT_GT(server.GetClientPort(id), 0);
    const std::wstring connected = L"Debug - Client " + std::to_wstring(id) +
                                   L" connected on port " +
                                   std::to_wstring(server.GetClientPort(id));
    EXPECT_TRUE(WaitUntil([&] { return log.Contains(connected); }));

    ASSERT_TRUE(server.SendToAll("abc"));
    EXPECT_EQ(peer.ReadExactly(4), std::string("abc\0", 4));
    // Nothing extra follows: the next bytes belong to the next message.
    ASSERT_TRUE(server.Send(id, "d"));
    EXPECT_EQ(peer.ReadExactly(2), std::string("d\0", 2));
}

TEST_F(ServerTest, BroadcastReachesEveryClientInOrder) {
    Peer a, b;
    const int idA = ConnectPeer(a);
    const int idB = ConnectPeer(b);
    ASSERT_LT(idA, idB);
    ASSERT_TRUE(server.SendToAll("one"));
    ASSERT_TRUE(server.SendToAll("two"));
    const std::string expected("one\0two\0", 8);
    EXPECT_EQ(a.ReadExactly(expected.size()), expected);
    EXPECT_EQ(b.ReadExactly(expected.size()), expected);
}

TEST_F(ServerTest, UnknownClientNumbersAreReportedNotFatal) {
    EXPECT_EQ(server.Receive(7), "Client doesn't exist");
    EXPECT_TRUE(log.Contains(L"Debug - Client 7 doesn't exist"));
    EXPECT_FALSE(server.Send(7, "x"));
    EXPECT_FALSE(server.SendRawBytes(7, "x", 1));
    EXPECT_EQ(server.ReceiveRawBytes(7, nullptr, 0), 0);
    EXPECT_EQ(server.GetClientIP(7), "000.000.000.000");
    EXPECT_EQ(server.GetClientPort(7), 0);
    EXPECT_FALSE(server.IsClientSetup(7));
    EXPECT_FALSE(server.DisconnectClient(7));
    EXPECT_GE(log.Count(L"Debug - Client 7 doesn't exist"), 7u);
}

TEST_F(ServerTest, DepartedPeerIsClosedWithoutSigpipe) {
    struct sigaction current {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_IGN);

    Peer peer;
    const int id = ConnectPeer(peer);
    ASSERT_GE(id, 0);
    peer.Close();
    // The first write after the peer's FIN may still be taken by the kernel;
    // the peer answers it with a reset and a later one fails.
    EXPECT_TRUE(WaitUntil([&] {
        server.SendToAll("frame");
        return !server.IsClientConnected(id);
    }));
    EXPECT_EQ(log.Count(L"Exception - Other side disconnected"), 1u);
    EXPECT_TRUE(server.IsClientSetup(id)) << "entry stays until swept or disconnected";
    EXPECT_FALSE(server.Send(id, "late"));
    EXPECT_TRUE(log.Contains(L"Exception - Trying to Send while not connected"));
    EXPECT_TRUE(server.DisconnectClient(id));
    EXPECT_EQ(server.GetNumClients(), 0);
}

TEST_F(ServerTest, RawBytesBothWaysAndZeroByteReceiveClosesClient) {
    Peer peer;
    const int id = ConnectPeer(peer);
    ASSERT_GE(id, 0);
    const char payload[] = {'\x01', '\0', '\x02'};
    ASSERT_TRUE(server.SendRawBytes(id, payload, 3));
    EXPECT_EQ(peer.ReadExactly(3), std::string(payload, 3));
    EXPECT_FALSE(server.SendRawBytesToAll(payload, 0));

    peer.Write(std::string("\x05\x06", 2));
    char buf[16] = {};
    int n = -1;
    WaitUntil([&] { return (n = server.ReceiveRawBytes(id, buf, sizeof buf)) > 0; });
    ASSERT_EQ(n, 2);
    EXPECT_EQ(server.GetNumReceivedBytes(id), 2);
    EXPECT_EQ(std::string(buf, 2), std::string("\x05\x06", 2));

    peer.Close();
    WaitUntil([&] { return server.ReceiveRawBytes(id, buf, sizeof buf) == 0; });
    EXPECT_FALSE(server.IsClientConnected(id));
    EXPECT_TRUE(log.Contains(L"Exception - Client Closed for 0 byte was received"));
}

TEST_F(ServerTest, FullTableRefusesUntilAClientHasLeft) {
    std::vector<Peer> peers(VexoTCPServer::kMaxClients);
    std::vector<int> ids;
    for (auto& peer : peers) {
        ids.push_back(ConnectPeer(peer));
        ASSERT_GE(ids.back(), 0);
    }
    ASSERT_EQ(server.GetNumClients(), 32);
    const std::wstring full =
        L"Debug - Reached max connected clients! No more connections accepted";

    Peer refused = Peer::Connect(server.GetPort());
    ASSERT_TRUE(refused.Valid());
    EXPECT_TRUE(refused.WaitClosed()) << "the 33rd connection is refused";
    Peer refusedAgain = Peer::Connect(server.GetPort());
    ASSERT_TRUE(refusedAgain.Valid());
    EXPECT_TRUE(refusedAgain.WaitClosed());
    EXPECT_EQ(log.Count(full), 1u) << "logged once per full spell";
    EXPECT_EQ(server.GetNumClients(), 32);

    // One client leaves; the next broadcast notices, and accepting resumes.
    peers[5].Close();
    ASSERT_TRUE(WaitUntil([&] {
        server.SendToAll("f");
        return !server.IsClientConnected(ids[5]);
    }));
    Peer late;
    const int lateId = ConnectPeer(late);
    ASSERT_GE(lateId, 0);
    EXPECT_FALSE(server.IsClientSetup(ids[5])) << "the departed entry was swept";
    EXPECT_TRUE(server.IsClientConnected(lateId));
    EXPECT_EQ(server.GetNumClients(), 32);
    late.ReadAvailable();
    ASSERT_TRUE(server.Send(lateId, "welcome"));
    EXPECT_EQ(late.ReadExactly(8), std::string("welcome\0", 8));
}

TEST_F(ServerTest, ChurningClientsDuringBroadcasts) {
    std::atomic<bool> done{false};
    std::thread churn([&] {
        std::deque<Peer> open;
        for (int i = 0; i < 120; ++i) {
            open.push_back(Peer::Connect(server.GetPort()));
            if (open.size() > 6) {
                if (i % 3 == 0) {
                    open.front().Abort();
                } else {
                    open.front().Close();
                }
                open.pop_front();
            }
            // A burst beyond the listen backlog would only measure SYN retries.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        done = true;
    });
    int broadcasts = 0;
    while (!done) {
        server.SendToAll("tick");
        for (int id : server.GetClientIds()) server.IsClientConnected(id);
        ASSERT_LE(server.GetNumClients(), VexoTCPServer::kMaxClients);
        ++broadcasts;
        // Paced like a frame loop, so the accept thread gets the lock too.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    churn.join();
    EXPECT_GT(broadcasts, 0);
    // Departures are noticed by sends, so keep broadcasting while waiting.
    Peer last = Peer::Connect(server.GetPort());
    ASSERT_TRUE(last.Valid());
    int id = -1;
    ASSERT_TRUE(WaitUntil([&] {
        server.SendToAll("tick");
        id = ClientOf(last);
        return id >= 0;
    })) << "still accepting after the churn";
    ASSERT_TRUE(server.Send(id, "end"));
    std::string message;
    WaitUntil([&] {
        message = last.ReadUntilNul();
        return message != std::string("tick\0", 5);
    });
    EXPECT_EQ(message, std::string("end\0", 4));
}

TEST_F(ServerTest, CloseEndsEveryClientAndAllowsAFreshSetup) {
    Peer peer;
    ASSERT_GE(ConnectPeer(peer), 0);
    EXPECT_TRUE(server.Close());
    EXPECT_FALSE(server.IsConnected());
    EXPECT_EQ(server.GetNumClients(), 0);
    EXPECT_TRUE(peer.WaitClosed());
    EXPECT_TRUE(log.Contains(L"Debug - Listen thread ended"));
    ASSERT_TRUE(server.Setup(0, false));
    Peer again;
    EXPECT_GE(ConnectPeer(again), 0);
}

TEST(TcpServerSetup, BindFailureIsLoggedAndReported) {
    LogRecorder log;
    VexoTCPServer first;
    ASSERT_TRUE(first.Setup(0, false));
    VexoTCPServer second;
    // SO_REUSEADDR does not allow two listeners on one port.
    EXPECT_FALSE(second.Setup(first.GetPort(), false));
    EXPECT_FALSE(second.IsConnected());
    EXPECT_TRUE(
        log.Contains(L"Exception - Bind(port = " + std::to_wstring(first.GetPort()) + L") failed"));
}

TEST(TcpTextReceive, TwoMessagesInOneReadComeOutOneByOne) {
    ClientPair pair;
    pair.peer.Write("one[/TCP]two[/TCP]");
    EXPECT_EQ(pair.NextMessage(), "one");
    EXPECT_EQ(pair.client.Receive(), "two") << "second message needs no read";
    EXPECT_EQ(pair.client.Receive(), "") << "third call reads and finds nothing";
    pair.peer.Write("three[/TCP]");
    EXPECT_EQ(pair.NextMessage(), "three");
}

TEST(TcpTextReceive, NulBytesAreDroppedAndNothingAfterThemIsLost) {
    ClientPair pair;
    pair.peer.Write(std::string("o\0ne[/TCP]", 10));
    EXPECT_EQ(pair.NextMessage(), "one");
    pair.peer.Write(std::string("ab\0\0\0cd[/TCP]", 13));
    EXPECT_EQ(pair.NextMessage(), "abcd");
}

TEST(TcpTextReceive, UnterminatedTextIsKeptUntilItsTerminatorArrives) {
    ClientPair pair;
    pair.peer.Write("hel");
    ASSERT_TRUE(WaitUntil([&] {
        EXPECT_EQ(pair.client.Receive(), "");
        return pair.client.GetPartial() == "hel";
    }));
    pair.peer.Write("lo[/T");
    pair.peer.Write("CP]");
    EXPECT_EQ(pair.NextMessage(), "hello");
    EXPECT_TRUE(pair.client.IsConnected());
}

TEST(TcpTextReceive, OverlongUnterminatedTextIsDroppedAndFramingRecovers) {
    LogRecorder log;
    ClientPair pair;
    std::string flood(VexoTCPClient::kMaxPartialBytes + 4096, 'a');
    std::thread writer([&] { pair.peer.Write(flood + "tail[/TCP]ok[/TCP]"); });
    std::vector<std::string> got;
    WaitUntil([&] {
        const std::string m = pair.client.Receive();
        if (!m.empty()) got.push_back(m);
        return !got.empty();
    });
    writer.join();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], "ok") << "the rest of the dropped text must not pose as a message";
    EXPECT_EQ(log.Count(L"Exception - Text message longer than 65536 bytes without terminator "
                        L"dropped"),
              1u);
}

TEST(TcpTextReceive, PeerCloseClosesTheClient) {
    ClientPair pair;
    pair.peer.Write("last[/TCP]");
    EXPECT_EQ(pair.NextMessage(), "last");
    pair.peer.Close();
    EXPECT_TRUE(WaitUntil([&] {
        pair.client.Receive();
        return !pair.client.IsConnected();
    }));
}

TEST(TcpTextReceive, ResetByPeerIsLoggedAndClosesTheClient) {
    LogRecorder log;
    ClientPair pair;
    pair.peer.Abort();
    EXPECT_TRUE(WaitUntil([&] {
        EXPECT_EQ(pair.client.Receive(), "");
        return !pair.client.IsConnected();
    }));
    EXPECT_TRUE(log.Contains(L"Exception -  ECONNRESET: connection closed by remote host"));
    EXPECT_EQ(pair.client.ReceiveRaw(), "") << "closed clients read nothing";
}

TEST(TcpErrno, OnlyFatalSocketErrorsAreLoggedAndErrnoSurvives) {
    LogRecorder log;
    errno = EBADF;
    EXPECT_EQ(VexoNetworkCheckErrno(__FILE__, __LINE__), EBADF);
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(log.Contains(L"Exception -  EBADF: invalid socket"));
    errno = EAGAIN;
    EXPECT_EQ(VexoNetworkCheckErrno(__FILE__, __LINE__), EAGAIN);
    EXPECT_EQ(log.Count(L"Exception -  EBADF: invalid socket"), 1u);
    EXPECT_FALSE(log.Contains(L"Exception -  ECONNRESET: connection closed by remote host"));
}

TEST(TcpTextSend, PartialSendsKeepEveryMessageWholeAndInOrder) {
    // Small buffers on both sides so a large message cannot go out at once.
    ClientPair pair(4096);
    ASSERT_TRUE(pair.client.SetSendBufferSize(4096));
    std::string big(512 * 1024, 'x');
    for (std::size_t i = 0; i < big.size(); i += 97) big[i] = static_cast<char>('a' + i % 26);

    ASSERT_TRUE(pair.client.Send(big));
    const std::string& pending = pair.client.GetPending();
    ASSERT_FALSE(pending.empty()) << "the socket took the whole message; buffers too large";
    const std::string whole = big + '\0';
    ASSERT_LT(pending.size(), whole.size());
    EXPECT_EQ(pending, whole.substr(whole.size() - pending.size()))
        << "pending is the unsent tail, NUL included";

    // The peer drains slowly; texts that could not be queued are reported.
    std::string expected = whole;
    std::string received;
    int next = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            received += pair.peer.ReadAvailable();
            const std::string text = "m" + std::to_string(next++);
            if (pair.client.Send(text)) expected += text + '\0';
            return pair.client.GetPending().empty() && received.size() >= big.size();
        },
        std::chrono::seconds(20)));
    received += pair.peer.ReadExactly(expected.size() - received.size());
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "stream differs from the accepted messages";
}

TEST(TcpRawSend, IncompleteRawSendIsReported) {
    ClientPair pair(4096);
    ASSERT_TRUE(pair.client.SetSendBufferSize(4096));
    EXPECT_FALSE(pair.client.SendRaw(std::string()));
    EXPECT_FALSE(pair.client.SendRaw(std::string(512 * 1024, 'r')))
        << "a send the socket could not take whole is not a success";
    EXPECT_TRUE(pair.client.IsConnected());
}

TEST(TcpManager, WholeBufferTransfersAndLimits) {
    Listener listener;
    VexoTCPManager manager;
    EXPECT_EQ(manager.Send("x", 1), -1) << "no socket";
    EXPECT_EQ(manager.SendAll("x", 1), -1);
    EXPECT_TRUE(manager.Close()) << "nothing to close";
    ASSERT_TRUE(manager.Create());
    EXPECT_FALSE(manager.Create()) << "already open";
    ASSERT_TRUE(manager.Connect("127.0.0.1", listener.Port()));
    Peer peer = listener.Accept();
    ASSERT_TRUE(peer.Valid());

    const std::string block(100000, 'q');
    std::string drained;
    std::thread reader([&] { drained = peer.ReadExactly(block.size()); });
    EXPECT_EQ(manager.Write(block.data(), static_cast<int>(block.size())),
              static_cast<int>(block.size()));
    reader.join();
    EXPECT_TRUE(drained == block);

    peer.Write("12345678");
    char buf[8];
    EXPECT_EQ(manager.ReceiveAll(buf, 8), 8);
    EXPECT_EQ(std::string(buf, 8), "12345678");

    manager.SetTimeoutReceive(1);
    EXPECT_EQ(manager.Receive(buf, 8), -2) << "nothing arrives within the limit";
    EXPECT_EQ(manager.GetTimeoutReceive(), 1u);

    peer.Abort();
    WaitUntil([&] { return manager.SendAll("zz", 2) == 0; });
    EXPECT_FALSE(manager.HasSocket()) << "a vanished peer closes the socket";
}

TEST(TcpClientSetup, ConnectFailureIsLoggedAndLeavesNoSocket) {
    LogRecorder log;
    int port = 0;
    {
        Listener closed;
        port = closed.Port();
    }
    VexoTCPClient client;
    EXPECT_FALSE(client.Setup("127.0.0.1", port, true));
    EXPECT_FALSE(client.IsConnected());
    EXPECT_FALSE(client.HasSocket());
    EXPECT_TRUE(
        log.Contains(L"Exception - Connect(127.0.0.1, " + std::to_wstring(port) + L") failed"));
    EXPECT_FALSE(client.Send("x"));
    EXPECT_TRUE(log.Contains(L"Exception - Trying to Send while not connected"));
}

TEST(TcpTextSend, ASlowReaderNeverGrowsTheBacklogBeyondOneMessage) {
    ClientPair pair(4096);
    ASSERT_TRUE(pair.client.SetSendBufferSize(4096));
    const std::string first(64 * 1024, 'f');
    ASSERT_TRUE(pair.client.Send(first));
    const std::size_t bound = first.size() + 1;
    ASSERT_FALSE(pair.client.GetPending().empty()) << "buffers too large for this check";

    // The reader takes less per frame than a frame brings; queuing every new
    // frame behind the unsent rest would grow the backlog without end.
    std::string expected = first + '\0';
    std::string received;
    const std::string frame(16 * 1024, 'y');
    for (int i = 0; i < 40; ++i) {
        received += pair.peer.ReadExactly(8192, std::chrono::milliseconds(20));
        if (pair.client.Send(frame)) expected += frame + '\0';
        ASSERT_LE(pair.client.GetPending().size(), bound) << "after frame " << i;
    }

    // Whatever was accepted arrives whole and in order.
    int next = 0;
    ASSERT_TRUE(WaitUntil([&] {
        received += pair.peer.ReadAvailable();
        if (pair.client.GetPending().empty()) return true;
        const std::string text = "end" + std::to_string(next++);
        if (pair.client.Send(text)) expected += text + '\0';
        return false;
    }));
    received += pair.peer.ReadExactly(expected.size() - received.size());
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "stream differs from the accepted messages";
}

TEST(TcpSignals, WritesToAVanishedPeerRaiseNoSigpipe) {
    SigpipeWatch watch;
    ManagerPair pair;
    VexoTCPManager& manager = pair.manager;
    Peer& peer = pair.peer;
    peer.Abort();
    // The reset is reported once; every later write meets a broken pipe.
    ASSERT_TRUE(WaitUntil([&] { return manager.Send("x", 1) < 0; }));
    EXPECT_EQ(manager.Send("x", 1), -1);
    EXPECT_EQ(manager.Write("xy", 2), -1);
    EXPECT_EQ(manager.SendAll("xy", 2), 0) << "a broken pipe means the peer is gone";
    EXPECT_FALSE(manager.HasSocket());
    EXPECT_FALSE(watch.Raised());
}

TEST(TcpManager, AcceptLimitResolutionAndSocketlessCalls) {
    VexoTCPManager none;
    char buf[4];
    EXPECT_EQ(none.Receive(buf, 4), -1);
    EXPECT_EQ(none.ReceiveAll(buf, 4), -1);
    EXPECT_EQ(none.Write("x", 1), -1);
    EXPECT_FALSE(none.Listen(4));
    EXPECT_FALSE(none.Connect("127.0.0.1", 1)) << "no socket";
    EXPECT_EQ(none.GetSendBufferSize(), 0);
    EXPECT_EQ(none.GetReceiveBufferSize(), 0);
    VexoTCPManager target;
    EXPECT_FALSE(none.Accept(target));

    VexoTCPManager unresolved;
    ASSERT_TRUE(unresolved.Create());
    EXPECT_FALSE(unresolved.Connect("no-such-host.invalid", 80));
    EXPECT_TRUE(unresolved.HasSocket()) << "a failed connect keeps the socket for the caller";

    EXPECT_TRUE(VexoTCPManager::CheckHost("127.0.0.1"));
    EXPECT_FALSE(VexoTCPManager::CheckHost("not.a.dotted.address"));
    EXPECT_FALSE(VexoTCPManager::CheckHost(nullptr));

    VexoTCPManager listener;
    ASSERT_TRUE(listener.Create());
    ASSERT_TRUE(listener.Bind(0));
    ASSERT_TRUE(listener.Listen(5));
    EXPECT_EQ(listener.GetMaxConnections(), 5);
    sockaddr_in local{};
    ASSERT_TRUE(listener.GetInetAddr(local));
    const int port = ntohs(local.sin_port);
    listener.SetTimeoutAccept(1);
    VexoTCPManager accepted;
    EXPECT_FALSE(listener.Accept(accepted)) << "nobody connects within the limit";
    EXPECT_FALSE(accepted.HasSocket());

    Peer peer = Peer::Connect(port);
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(listener.Accept(accepted));
    sockaddr_in remote{};
    ASSERT_TRUE(accepted.GetRemoteAddr(remote));
    EXPECT_EQ(ntohs(remote.sin_port), peer.LocalPort());
}

TEST(TcpManager, ReceiveAllFailsWhenThePeerClosesEarly) {
    ManagerPair pair;
    VexoTCPManager& manager = pair.manager;
    Peer& peer = pair.peer;
    peer.Write("abc");
    peer.Close();
    char buf[8];
    EXPECT_EQ(manager.ReceiveAll(buf, 8), -1) << "three of eight bytes, then the end";
}

TEST(TcpRawReceive, ReceiveRawEndsAtTheFirstZeroByte) {
    ClientPair pair;
    pair.peer.Write(std::string("ab\0cd", 5));
    std::string raw;
    ASSERT_TRUE(WaitUntil([&] { return !(raw = pair.client.ReceiveRaw()).empty(); }));
    EXPECT_EQ(raw, "ab");
    EXPECT_EQ(pair.client.GetNumReceivedBytes(), 5);
}

TEST(TcpRawSend, RawSendToAVanishedPeerClosesTheClient) {
    ClientPair pair;
    pair.peer.Abort();
    EXPECT_TRUE(WaitUntil([&] {
        pair.client.SendRaw("raw");
        return !pair.client.IsConnected();
    }));
    EXPECT_FALSE(pair.client.SendRawBytes("x", 1));
    EXPECT_FALSE(pair.client.SendRawBytes("x", 0));
}

TEST_F(ServerTest, TextAndRawToAllThroughTheServer) {
    EXPECT_FALSE(server.SendRawBytesToAll("x", 1)) << "no client yet";
    Peer peer;
    const int id = ConnectPeer(peer);
    ASSERT_GE(id, 0);
    peer.Write("hello[/TCP]");
    std::string message;
    ASSERT_TRUE(WaitUntil([&] { return !(message = server.Receive(id)).empty(); }));
    EXPECT_EQ(message, "hello");
    ASSERT_TRUE(server.SendRawBytesToAll("raw", 3));
    EXPECT_EQ(peer.ReadExactly(3), "raw") << "raw bytes carry no terminator";
}

TEST(TcpManager, SendLimitsRunOutOnAFullSocket) {
    ClientPair pair(4096);
    ASSERT_TRUE(pair.client.SetSendBufferSize(4096));
    VexoTCPManager& socket = pair.client;
    const std::string chunk(4096, 'z');
    // The peer never reads, so once a send would block the socket stays full.
    ASSERT_TRUE(WaitUntil([&] { return socket.Send(chunk.data(), 4096) < 0; }));
    socket.SetTimeoutSend(1);
    EXPECT_EQ(socket.Send("x", 1), -2);
    EXPECT_EQ(socket.SendAll("x", 1), -2);
    EXPECT_EQ(socket.Write("x", 1), -2);
    EXPECT_TRUE(socket.HasSocket()) << "a time-out is no reason to close";
}
