// One touch frame's HID device: report-size checks, serialised transfers, removal detection.
//
// Transfers refuse (return 0, not counted) unless the object is initialised, the device is open
// and the buffer length equals the device's report size. Failed transfers, reads and writes
// together, are counted; a success does not clear the count. The sixth failure resets the
// object: the device is closed and the removed flag set, which the packet server reports as
// "pulled out".
//
// Locking: writes are serialised among themselves and reads among themselves, but a read and a
// write may run at once (the two directions of a HID device are independent), so that a reader
// waiting a few milliseconds for input never holds up a request. A transfer holds its own
// reference to the open device, so a reset never waits for one in flight (the device closes
// when that transfer ends) and a busy reader can never hold a reset off.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "VexoCommon/VexoCommon.h"
#include "VexoDevs/VexoHIDBackend.h"

namespace VexoSource {

// Appends the path of every attached device of that vendor and product (0 matches any) to
// `paths`, real devices first, then virtual frames. 1 when at least one was found.
u8 VexoHIDGetPaths(u16 vendorId, u16 productId, std::vector<std::string>& paths);

// Capability record of an open device or a path (opened, queried, closed); null when the device
// cannot be opened. Free with VexoHIDFreeCaps.
VexoHIDCaps_S* VexoHIDGetCaps(VexoHIDLink* device);
VexoHIDCaps_S* VexoHIDGetCapsByPath(const std::string& path);
void VexoHIDFreeCaps(VexoHIDCaps_S* caps);

class VexoIO {
public:
    virtual ~VexoIO() = default;
    virtual i32 Read(u8* buffer, u32 length) = 0;
    virtual i32 Write(const u8* buffer, u32 length) = 0;
};

class VexoHID : public VexoObj, public VexoIO {
public:
    // Failures in a row (reads and writes together) that close the device.
    static constexpr u32 kMaxErrors = 6;

    VexoHID();
    ~VexoHID() override;

    // Marks the object initialised; 1 (also when already initialised).
    virtual u32 Init();
    // Closes the device, frees the capabilities, clears prepared, initialised and the error
    // count, and sets the removed flag. Repeatable.
    virtual void Reset();
    // 1 once the device at `path` is open; otherwise tries to open it (serialised by the prepare
    // lock). A failed open logs "Unable to open device %hs" and is tried again next call.
    virtual u32 IsPrepared(const std::string& path);
    // Opens `path`, switches it to non-blocking reads and queries its capabilities.
    virtual u32 GetDevice(const std::string& path);
    // One report without waiting: its length, 0 when none was waiting or the call was refused.
    i32 Read(u8* buffer, u32 length) override;
    // Like Read, but waits up to timeoutMs for a report to arrive.
    virtual i32 ReadTimed(u8* buffer, u32 length, u32 timeoutMs);
    // One output report: the bytes written, -1 on a failed transfer, 0 when refused.
    i32 Write(const u8* buffer, u32 length) override;

    u32 IsInitialized() const { return m_initialized.load(); }
    u32 IsRemoved() const { return m_removed.load(); }
    // Reads and clears the removed flag (the talk thread's acknowledgement).
    u32 TakeRemoved() { return m_removed.exchange(0); }
    u32 ErrorCount() const { return m_errors.load(); }
    // Copy of the open device's capabilities; false when no device is open.
    bool GetCaps(VexoHIDCaps_S& caps) const;

protected:
    // Opens the transport for a path; tests replace it to script failures.
    virtual std::unique_ptr<VexoHIDLink> OpenLink(const std::string& path);

private:
    // One transfer under the lifetime lock and its direction's lock; 0 when refused, the
    // transport's result otherwise, failures counted.
    template <typename Op>
    i32 Transfer(const void* buffer, u32 length, bool input, Op op);
    void CountFailure();

    std::atomic<u32> m_initialized{0};
    std::atomic<u32> m_prepared{0};
    std::atomic<u32> m_removed{0};
    std::atomic<u32> m_errors{0};
    std::shared_ptr<VexoHIDLink> m_device;  // guarded by m_stateMutex, like m_caps
    VexoHIDCaps_S m_caps{};
    std::mutex m_prepareMutex;
    mutable std::mutex m_stateMutex;
    std::mutex m_readMutex;
    std::mutex m_writeMutex;
};

}  // namespace VexoSource
