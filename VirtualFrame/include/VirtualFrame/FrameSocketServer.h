// Serves one FirmwareEmulator to other processes the way the host's virtual HID backend expects:
// a SOCK_SEQPACKET Unix socket at a path (DIR/NAME.sock), one 64-byte report per datagram in each
// direction.
//
// Several hosts may be connected at once, as several programs may open one HID device: each
// client's output reports go to the frame, and every input report goes to every client. A client
// that does not read loses reports, as a HID device's reader does. Closing the server closes every
// connection and removes the socket file, which hosts see as an unplug; a reboot of the frame
// closes the connections but keeps the socket, which hosts see as a brief unplug.
#ifndef VIRTUALFRAME_FRAMESOCKETSERVER_H
#define VIRTUALFRAME_FRAMESOCKETSERVER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VirtualFrame/FirmwareEmulator.h"

namespace VirtualFrame {

class FrameSocketServer {
public:
    // The emulator must outlive the server.
    FrameSocketServer(FirmwareEmulator& emulator, std::string socketPath);
    ~FrameSocketServer();  // calls Stop()
    FrameSocketServer(const FrameSocketServer&) = delete;
    FrameSocketServer& operator=(const FrameSocketServer&) = delete;

    // Creates the socket (replacing a stale one nobody serves) and starts serving. False with
    // Error() set when the path is too long, already served, or cannot be bound.
    bool Start();
    // Closes every connection, removes the socket file and joins the threads. Idempotent.
    void Stop();

    // True once serving has ended by itself: the frame unplugged, or the socket file was removed
    // or replaced by someone else. The owner then calls Stop().
    bool Finished() const { return m_finished.load(); }
    // Polls Finished() until it is true or the time is up.
    bool WaitFinished(std::chrono::milliseconds timeout) const;

    size_t ClientCount() const;
    const std::string& Path() const { return m_path; }
    const std::string& Error() const { return m_error; }

private:
    void ReceiveLoop();
    void SendLoop();
    void CloseClients();
    bool SocketFileIsOurs() const;

    FirmwareEmulator& m_emu;
    std::string m_path;
    std::string m_error;
    int m_listenFd = -1;
    int m_wakePipe[2] = {-1, -1};
    unsigned long m_inode = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_finished{false};
    mutable std::mutex m_clientsMutex;
    std::vector<int> m_clients;
    std::mutex m_idleMutex;
    std::condition_variable m_idleCv;
    std::thread m_receiver;
    std::thread m_sender;
};

}  // namespace VirtualFrame

#endif  // VIRTUALFRAME_FRAMESOCKETSERVER_H
