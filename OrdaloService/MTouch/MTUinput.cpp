#include "MTouch/MTUinput.h"

#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "VexoLog/VexoLog.h"
#include "VexoXmlSettings/VexoConfig.h"

using namespace VexoSource;

namespace {

// The frame's own USB ids, so that rules may also match on them; the bus says it is virtual.
constexpr int kFrameVendorId = 0x4B5D;
constexpr int kFrameProductId = 0x1001;
constexpr int kDeviceVersion = 1;

// Said once per process, not once per frame or bring-up.
std::atomic<bool> g_noAccessLogged{false};

i32 UnitsPerMm(double mm) {
    if (!(mm > 0) || !std::isfinite(mm)) return 0;
    return std::max<i32>(1, i32(std::lround(kMTUinputAxisMax / mm)));
}

}  // namespace

MTUinputIdentity MTUinputIdentityOf(const std::string& deviceId, const OrdoConfig& config) {
    MTUinputIdentity identity;
    identity.deviceId = deviceId;
    const double ledsX = u32(config.LED_X), ledsY = u32(config.LED_Y);
    const double diagonalLeds = std::sqrt(ledsX * ledsX + ledsY * ledsY);
    if (config.LCD_SIZE != 0 && ledsX > 0 && ledsY > 0) {
        const double mmPerLed = config.LCD_SIZE * 25.4 / diagonalLeds;
        identity.widthMm = ledsX * mmPerLed;
        identity.heightMm = ledsY * mmPerLed;
    }
    return identity;
}

MTUinputResolution MTUinputResolutionOf(const MTUinputIdentity& identity) {
    return MTUinputResolution{UnitsPerMm(identity.widthMm), UnitsPerMm(identity.heightMm)};
}

int MTUinputDescribe(libevdev* dev, const MTUinputIdentity& identity) {
    const std::string name = MT_UINPUT_NAME_PREFIX + identity.deviceId;
    const std::string phys = "ordalo-" + identity.deviceId + "/input0";
    libevdev_set_name(dev, name.c_str());
    libevdev_set_phys(dev, phys.c_str());
    libevdev_set_uniq(dev, identity.deviceId.c_str());
    libevdev_set_id_bustype(dev, BUS_VIRTUAL);
    libevdev_set_id_vendor(dev, kFrameVendorId);
    libevdev_set_id_product(dev, kFrameProductId);
    libevdev_set_id_version(dev, kDeviceVersion);

    const MTUinputResolution res = MTUinputResolutionOf(identity);
    struct Axis {
        unsigned code;
        int max;
        int resolution;
    };
    const Axis axes[] = {
        {ABS_X, kMTUinputAxisMax, res.x},
        {ABS_Y, kMTUinputAxisMax, res.y},
        {ABS_MT_SLOT, int(kMTUinputSlots) - 1, 0},
        {ABS_MT_TRACKING_ID, kMTUinputTrackingIdMax, 0},
        {ABS_MT_POSITION_X, kMTUinputAxisMax, res.x},
        {ABS_MT_POSITION_Y, kMTUinputAxisMax, res.y},
        {ABS_MT_TOUCH_MAJOR, kMTUinputAxisMax, res.x},
        {ABS_MT_TOUCH_MINOR, kMTUinputAxisMax, res.x},
        {ABS_MT_TOOL_TYPE, MT_TOOL_MAX, 0},
    };
    int err = libevdev_enable_property(dev, INPUT_PROP_DIRECT);
    for (const Axis& axis : axes) {
        const input_absinfo info{0, 0, axis.max, 0, 0, axis.resolution};
        if (err == 0) err = libevdev_enable_event_code(dev, EV_ABS, axis.code, &info);
    }
    if (err == 0) err = libevdev_enable_event_code(dev, EV_KEY, BTN_TOUCH, nullptr);
    return err < 0 ? err : (err > 0 ? -EINVAL : 0);
}

bool MTUinputWriteEvents(int fd, const std::vector<MTUinputEvent>& events) {
    // One write for the whole scan: a syscall per event would cost more than the encoding.
    // The kernel stamps the time itself.
    std::vector<input_event> batch(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        batch[i].type = events[i].type;
        batch[i].code = events[i].code;
        batch[i].value = events[i].value;
    }
    const char* bytes = reinterpret_cast<const char*>(batch.data());
    std::size_t left = batch.size() * sizeof(input_event);
    while (left > 0) {
        const ssize_t n = ::write(fd, bytes, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        left -= std::size_t(n);
    }
    return true;
}

bool MTUinputEnabled(VexoConfgBase* cfg) {
    return !cfg || cfg->GetValue(MT_UINPUT_ENABLE_TAG, 1) != 0;
}

// ---- MTUinputDevice -----------------------------------------------------------------------

MTUinputDevice::OpenResult MTUinputDevice::Open(const MTUinputIdentity& identity,
                                                const char* node) {
    Close();
    m_fd = ::open(node, O_RDWR | O_CLOEXEC);
    if (m_fd < 0) return OpenResult::NoAccess;
    libevdev* dev = libevdev_new();
    int err = dev ? MTUinputDescribe(dev, identity) : -ENOMEM;
    if (err == 0) err = libevdev_uinput_create_from_device(dev, m_fd, &m_uinput);
    // The uinput device keeps what it needs of the description.
    libevdev_free(dev);
    if (err != 0) {
        m_uinput = nullptr;
        VEXO_LOG_EXCEPTION(L"Unable to create the touchscreen of frame %hs: %hs",
                           identity.deviceId.c_str(), std::strerror(-err));
        Close();
        return OpenResult::Failed;
    }
    return OpenResult::Ok;
}

bool MTUinputDevice::Write(const std::vector<MTUinputEvent>& events) {
    return m_uinput && MTUinputWriteEvents(libevdev_uinput_get_fd(m_uinput), events);
}

void MTUinputDevice::Close() {
    if (m_uinput) libevdev_uinput_destroy(m_uinput);
    m_uinput = nullptr;
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

const char* MTUinputDevice::DevNode() const {
    return m_uinput ? libevdev_uinput_get_devnode(m_uinput) : nullptr;
}

// ---- MTUinputRoute ------------------------------------------------------------------------

MTUinputRoute::MTUinputRoute(VexoConfgBase* cfg, const char* node)
    : m_enabled(MTUinputEnabled(cfg)), m_node(node) {
    if (!m_enabled) VEXO_LOG_DEBUG(L"The uinput touchscreen is turned off in the settings");
}

MTUinputRoute::~MTUinputRoute() {
    Lift();
    m_device.Close();
}

void MTUinputRoute::Start(const std::string& deviceId, const OrdoConfig& config) {
    if (!m_enabled) return;
    const MTUinputIdentity identity = MTUinputIdentityOf(deviceId, config);
    if (m_device.IsOpen() && identity == m_identity) return;
    Lift();
    m_identity = identity;
    m_encoder = MTUinputEncoder(MTUinputResolutionOf(identity));
    m_writeFailed = false;
    const MTUinputDevice::OpenResult result = m_device.Open(identity, m_node);
    const int openErrno = errno;
    switch (result) {
        case MTUinputDevice::OpenResult::NoAccess:
            if (!g_noAccessLogged.exchange(true)) {
                VEXO_LOG_INFO(L"Unable to open %hs (%hs): touches go out over TUIO only",
                              m_node, std::strerror(openErrno));
            }
            break;
        case MTUinputDevice::OpenResult::Failed:
            break;
        case MTUinputDevice::OpenResult::Ok:
            VEXO_LOG_DEBUG(L"Touchscreen %hs%hs at %hs", MT_UINPUT_NAME_PREFIX,
                           identity.deviceId.c_str(), m_device.DevNode() ? m_device.DevNode() : "?");
            break;
    }
}

void MTUinputRoute::Put(const VexoTouch_S* touches, u32 count) {
    if (!m_device.IsOpen()) return;
    m_events.clear();
    m_encoder.Encode(touches, count, m_events);
    Send();
}

void MTUinputRoute::Lift() {
    if (!m_device.IsOpen()) return;
    m_events.clear();
    m_encoder.LiftAll(m_events);
    Send();
}

void MTUinputRoute::Send() {
    if (m_events.empty() || m_device.Write(m_events) || m_writeFailed) return;
    m_writeFailed = true;
    VEXO_LOG_EXCEPTION(L"Unable to write to the touchscreen of frame %hs",
                       m_identity.deviceId.c_str());
}
