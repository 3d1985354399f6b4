// Small socket helpers shared by the TCP classes.
#pragma once

#include <cstdint>

namespace VexoSource {

// Reads the calling thread's errno, logs the ones that mean the connection is
// unusable (reset, aborted, bad descriptor) at Exception level, and returns it.
// `file` and `line` identify the caller for debugging and are not printed.
int VexoNetworkCheckErrno(const char* file, int line);

// Makes writes to a vanished peer fail with EPIPE instead of ending the
// process. Safe to call from any thread, any number of times.
void VexoNetworkIgnoreSigpipe();

// Waits until `fd` is readable (or writable) for at most `timeoutMs`
// milliseconds; a negative time-out waits without limit. Returns 1 when
// ready, 0 on time-out, -1 on error. Interrupted waits are resumed.
int VexoNetworkWaitReadable(int fd, int timeoutMs);
int VexoNetworkWaitWritable(int fd, int timeoutMs);

// Monotonic milliseconds, for measuring send and receive limits.
uint64_t VexoNetworkNowMs();

}  // namespace VexoSource
