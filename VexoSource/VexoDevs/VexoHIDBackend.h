// The hidapi-shaped layer under VexoHID: enumerate, open by path, timed read, write, close.
//
// Two backends sit behind it, chosen per path:
// - real devices through hidapi (hidraw on Linux), always enumerated first;
// - virtual frames: when the environment variable ORDALO_VIRTUAL_DIR names a folder, every
//   Unix socket "*.sock" in it (SOCK_SEQPACKET) is a frame with vendor 0x4B5D, product 0x1001
//   and the path "virtual:<folder>/<name>.sock", listed after the real devices in name order.
//   One 64-byte report travels per datagram in each direction; the peer closing the socket
//   is an unplug (reads and writes fail from then on).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "VexoCommon/VexoCommon.h"

namespace VexoSource {

// Capability record of a device.
struct VexoHIDCaps_S {
    u32 maxInputReportSize;
    u32 maxOutputReportSize;
    u16 usage;
    u16 usagePage;
};

constexpr u16 VEXO_FRAME_VENDOR_ID = 0x4B5D;
constexpr u16 VEXO_FRAME_PRODUCT_ID = 0x1001;
// Report size assumed when a device does not tell its own.
constexpr u32 VEXO_DEFAULT_REPORT_SIZE = 64;
constexpr const char* VEXO_VIRTUAL_PATH_PREFIX = "virtual:";
constexpr const char* VEXO_VIRTUAL_DIR_ENV = "ORDALO_VIRTUAL_DIR";

// One open device. Not thread-safe by itself: VexoHID serialises access.
class VexoHIDLink {
public:
    virtual ~VexoHIDLink() = default;
    // Waits up to timeoutMs (0 = do not wait) for one input report. Returns its length,
    // 0 when none arrived, -1 when the transfer failed (device gone).
    virtual int Read(u8* buffer, size_t length, int timeoutMs) = 0;
    // Sends buffer as one output report (byte 0 is the report id). Returns the bytes written
    // or -1.
    virtual int Write(const u8* buffer, size_t length) = 0;
    virtual bool GetCaps(VexoHIDCaps_S& caps) = 0;
};

// Paths of attached devices with that vendor and product (0 matches any), real ones first.
std::vector<std::string> VexoHIDEnumerate(u16 vendorId, u16 productId);
// Opens a real or virtual device; null when it cannot be opened.
std::unique_ptr<VexoHIDLink> VexoHIDOpenLink(const std::string& path);
bool VexoHIDIsVirtualPath(const std::string& path);

// Largest input and output report of a HID report descriptor in bytes, report id byte included
// when the device numbers its reports, and the top-level usage page and usage. False when the
// descriptor declares no input and no output report (the sizes are then left as they were).
bool VexoHIDParseReportDescriptor(const u8* descriptor, size_t length, VexoHIDCaps_S& caps);

}  // namespace VexoSource
