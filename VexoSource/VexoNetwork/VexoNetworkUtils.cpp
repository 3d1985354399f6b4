#include "VexoNetwork/VexoNetworkUtils.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <mutex>

#include "VexoLog/VexoLog.h"

namespace VexoSource {

int VexoNetworkCheckErrno(const char* /*file*/, int /*line*/) {
    const int err = errno;
    switch (err) {
        case ECONNRESET:
            VEXO_LOG_EXCEPTION(L" ECONNRESET: connection closed by remote host");
            break;
        case ECONNABORTED:
            VEXO_LOG_EXCEPTION(L" ECONNABORTED: connection aborted");
            break;
        case EBADF:
            VEXO_LOG_EXCEPTION(L" EBADF: invalid socket");
            break;
        default:
            break;
    }
    // Callers look at errno after this; logging must not change it.
    errno = err;
    return err;
}

void VexoNetworkIgnoreSigpipe() {
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

namespace {

int WaitFor(int fd, short events, int timeoutMs) {
    if (fd < 0) return -1;
    const uint64_t deadline = VexoNetworkNowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int left = -1;
        if (timeoutMs >= 0) {
            const uint64_t now = VexoNetworkNowMs();
            left = now >= deadline ? 0 : static_cast<int>(deadline - now);
        }
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, left);
        if (rc > 0) return 1;
        if (rc == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

}  // namespace

int VexoNetworkWaitReadable(int fd, int timeoutMs) { return WaitFor(fd, POLLIN, timeoutMs); }

int VexoNetworkWaitWritable(int fd, int timeoutMs) { return WaitFor(fd, POLLOUT, timeoutMs); }

uint64_t VexoNetworkNowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace VexoSource
