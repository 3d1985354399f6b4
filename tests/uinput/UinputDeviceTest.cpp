// The real kernel device: made through /dev/uinput and read back through its event node with
// libevdev. Where /dev/uinput cannot be opened every test here is skipped (CTest reports the
// program as skipped, never as passed).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libevdev/libevdev.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MTouch/MTUinput.h"
#include "UinputTestSupport.h"

using namespace VexoSource;
using uinputtest::Touch;

namespace {

constexpr auto kDeadline = std::chrono::seconds(10);

struct FreeEvdev {
    void operator()(libevdev* dev) const { libevdev_free(dev); }
};

class UinputDevice : public ::testing::Test {
protected:
    void SetUp() override {
        const int probe = ::open(MT_UINPUT_NODE, O_RDWR | O_CLOEXEC);
        if (probe < 0) {
            GTEST_SKIP() << MT_UINPUT_NODE << " cannot be opened here: " << std::strerror(errno);
        }
        ::close(probe);
        m_identity = MTUinputIdentityOf("FEDCBA9876543210", Config());
        ASSERT_EQ(m_device.Open(m_identity), MTUinputDevice::OpenResult::Ok);
        ASSERT_NE(m_device.DevNode(), nullptr);
        // The node appears when the kernel (or udev) has made it: poll for it.
        const auto until = std::chrono::steady_clock::now() + kDeadline;
        while ((m_fd = ::open(m_device.DevNode(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) < 0 &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_GE(m_fd, 0) << m_device.DevNode() << ": " << std::strerror(errno);
        libevdev* dev = nullptr;
        ASSERT_EQ(libevdev_new_from_fd(m_fd, &dev), 0);
        m_reader.reset(dev);
    }
    void TearDown() override {
        m_reader.reset();
        if (m_fd >= 0) ::close(m_fd);
        m_device.Close();
    }

    static OrdoConfig Config() {
        OrdoConfig config{};
        config.LCD_SIZE = 19;
        config.LED_X = 72;
        config.LED_Y = 58;
        return config;
    }

    // Writes the events of one scan and reads until the device has reported all of it.
    void Play(MTUinputEncoder& encoder, const std::vector<VexoTouch_S>& touches) {
        std::vector<MTUinputEvent> events;
        encoder.Encode(touches.data(), u32(touches.size()), events);
        ASSERT_TRUE(m_device.Write(events));
        std::size_t reports = 0;
        for (const MTUinputEvent& e : events) reports += e.type == EV_SYN;
        const auto until = std::chrono::steady_clock::now() + kDeadline;
        while (reports > 0 && std::chrono::steady_clock::now() < until) {
            input_event ev{};
            const int rc = libevdev_next_event(m_reader.get(), LIBEVDEV_READ_FLAG_NORMAL, &ev);
            if (rc == LIBEVDEV_READ_STATUS_SUCCESS) {
                reports -= ev.type == EV_SYN && ev.code == SYN_REPORT;
            } else if (rc == LIBEVDEV_READ_STATUS_SYNC) {
                // Events were dropped; the sync brings the state up to date.
                while (libevdev_next_event(m_reader.get(), LIBEVDEV_READ_FLAG_SYNC, &ev) ==
                       LIBEVDEV_READ_STATUS_SYNC) {
                }
                reports = 0;
            } else if (rc == -EAGAIN) {
                pollfd pfd{m_fd, POLLIN, 0};
                ::poll(&pfd, 1, 100);
            } else {
                FAIL() << "reading the device: " << std::strerror(-rc);
            }
        }
        ASSERT_EQ(reports, 0u) << "the device did not report every scan in time";
    }

    int Slot(unsigned slot, unsigned code) {
        return libevdev_get_slot_value(m_reader.get(), slot, code);
    }

    MTUinputIdentity m_identity;
    MTUinputDevice m_device;
    int m_fd = -1;
    std::unique_ptr<libevdev, FreeEvdev> m_reader;
};

TEST_F(UinputDevice, KernelSeesTheDescribedTouchscreen) {
    libevdev* dev = m_reader.get();
    EXPECT_STREQ(libevdev_get_name(dev), "Ordalo Touch Frame FEDCBA9876543210");
    EXPECT_TRUE(libevdev_has_property(dev, INPUT_PROP_DIRECT));
    EXPECT_TRUE(libevdev_has_event_code(dev, EV_KEY, BTN_TOUCH));
    EXPECT_FALSE(libevdev_has_event_code(dev, EV_KEY, BTN_LEFT));
    EXPECT_EQ(libevdev_get_num_slots(dev), 32);
    EXPECT_EQ(libevdev_get_abs_maximum(dev, ABS_MT_POSITION_X), 32767);
    EXPECT_EQ(libevdev_get_abs_resolution(dev, ABS_MT_POSITION_X),
              MTUinputResolutionOf(m_identity).x);
    EXPECT_EQ(libevdev_get_abs_resolution(dev, ABS_MT_POSITION_Y),
              MTUinputResolutionOf(m_identity).y);
}

TEST_F(UinputDevice, ContactsReadBackAsWritten) {
    MTUinputEncoder encoder(MTUinputResolutionOf(m_identity));
    Play(encoder, {Touch(1, 0.25f, 0.25f), Touch(2, 0.75f, 0.5f)});
    EXPECT_EQ(libevdev_get_event_value(m_reader.get(), EV_KEY, BTN_TOUCH), 1);
    EXPECT_EQ(Slot(0, ABS_MT_POSITION_X), 8192);
    EXPECT_EQ(Slot(1, ABS_MT_POSITION_Y), 16384);
    const int second = Slot(1, ABS_MT_TRACKING_ID);
    EXPECT_GE(second, 0);

    // The first lifts while the second moves; a third arrives in another slot.
    Play(encoder, {Touch(2, 0.5f, 0.5f), Touch(3, 1.0f, 1.0f)});
    EXPECT_EQ(Slot(0, ABS_MT_TRACKING_ID), -1);
    EXPECT_EQ(Slot(1, ABS_MT_TRACKING_ID), second);
    EXPECT_EQ(Slot(1, ABS_MT_POSITION_X), 16384);
    EXPECT_EQ(Slot(2, ABS_MT_POSITION_X), 32767);
    EXPECT_NE(Slot(2, ABS_MT_TRACKING_ID), second);

    Play(encoder, {});
    for (unsigned s = 0; s < kMTUinputSlots; ++s) EXPECT_EQ(Slot(s, ABS_MT_TRACKING_ID), -1);
    EXPECT_EQ(libevdev_get_event_value(m_reader.get(), EV_KEY, BTN_TOUCH), 0);
}

}  // namespace
