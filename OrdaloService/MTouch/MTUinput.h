// Every bound frame as a kernel touchscreen made through uinput, fed by the device thread
// straight after each processed scan (no TUIO tick in between).
//
// The device is a direct multitouch screen (INPUT_PROP_DIRECT, BTN_TOUCH, no mouse buttons)
// with kMTUinputSlots slots. Its name, phys and uniq carry the frame's identity (16 hex
// digits), so one udev rule per frame can map it to a monitor.
//
// Where /dev/uinput cannot be opened the route stays off: that is said once per process at
// Information level and the frames go on over TUIO only.
#pragma once

#include <string>
#include <vector>

#include "MTouch/MTProtocol.h"
#include "MTouch/MTUinputEncoder.h"
#include "VexoCommon/VexoCommon.h"
#include "VexoTUIO/VexoTouch.h"

struct libevdev;
struct libevdev_uinput;

namespace VexoSource {
class VexoConfgBase;
}

// System.xml setting: 0 turns the route off; anything else or no entry leaves it on.
constexpr const char* MT_UINPUT_ENABLE_TAG = "INFO:UINPUT:ENABLE";
constexpr const char* MT_UINPUT_NODE = "/dev/uinput";
// Devices are named MT_UINPUT_NAME_PREFIX + identity.
constexpr const char* MT_UINPUT_NAME_PREFIX = "Ordalo Touch Frame ";

// What the kernel device is made from.
struct MTUinputIdentity {
    std::string deviceId;  // 16 upper-case hex digits
    double widthMm = 0;    // physical size of the touch area; 0 = unknown
    double heightMm = 0;
    bool operator==(const MTUinputIdentity& o) const {
        return deviceId == o.deviceId && widthMm == o.widthMm && heightMm == o.heightMm;
    }
};

// The frame's size from its configuration: LCD_SIZE is the diagonal in inches, spread over
// LED_X by LED_Y LED steps of equal pitch.
MTUinputIdentity MTUinputIdentityOf(const std::string& deviceId, const OrdoConfig& config);
MTUinputResolution MTUinputResolutionOf(const MTUinputIdentity& identity);
// Describes the touchscreen of that frame on `dev` (a fresh libevdev_new()); 0 on success,
// else a negative errno from libevdev.
int MTUinputDescribe(libevdev* dev, const MTUinputIdentity& identity);
bool MTUinputEnabled(VexoSource::VexoConfgBase* cfg);
// Writes the events as one batch of input_event records to a uinput (or any) descriptor;
// false when the write fails.
bool MTUinputWriteEvents(int fd, const std::vector<MTUinputEvent>& events);

// One kernel device. Not copyable; used by one thread.
class MTUinputDevice {
public:
    enum class OpenResult { Ok, NoAccess, Failed };

    MTUinputDevice() = default;
    ~MTUinputDevice() { Close(); }
    MTUinputDevice(const MTUinputDevice&) = delete;
    MTUinputDevice& operator=(const MTUinputDevice&) = delete;

    // NoAccess when `node` cannot be opened (missing, no permission); Failed when the kernel
    // refuses the device (logged at Exception level).
    OpenResult Open(const MTUinputIdentity& identity, const char* node = MT_UINPUT_NODE);
    // False when a write failed; the events after it are not sent.
    bool Write(const std::vector<MTUinputEvent>& events);
    void Close();
    bool IsOpen() const { return m_uinput != nullptr; }
    // The event node the kernel gave the device (/dev/input/eventN), or null.
    const char* DevNode() const;

private:
    libevdev_uinput* m_uinput = nullptr;
    int m_fd = -1;
};

// The device thread's route: opened after each bring-up, fed after each scan, lifted at the
// end of a run and destroyed with the route (the frame left).
class MTUinputRoute {
public:
    // Reads the setting once; cfg may be null (route on).
    explicit MTUinputRoute(VexoSource::VexoConfgBase* cfg, const char* node = MT_UINPUT_NODE);
    ~MTUinputRoute();
    MTUinputRoute(const MTUinputRoute&) = delete;
    MTUinputRoute& operator=(const MTUinputRoute&) = delete;

    // After a bring-up: keeps the device when the frame is the same, makes it anew otherwise.
    void Start(const std::string& deviceId, const OrdoConfig& config);
    // The touches of one processed scan.
    void Put(const VexoSource::VexoTouch_S* touches, VexoSource::u32 count);
    // Lifts every contact; the device stays for the next run.
    void Lift();

    bool Active() const { return m_device.IsOpen(); }

private:
    void Send();

    bool m_enabled;
    const char* m_node;
    MTUinputIdentity m_identity;
    MTUinputDevice m_device;
    MTUinputEncoder m_encoder;
    std::vector<MTUinputEvent> m_events;
    bool m_writeFailed = false;
};
