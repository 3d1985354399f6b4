// The event stream of the uinput route, the device description as libevdev sees it, and the
// route's decisions (setting, no /dev/uinput) without a kernel device.
#include <gtest/gtest.h>
#include <libevdev/libevdev.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "MTouch/MTUinput.h"
#include "UinputTestSupport.h"
#include "VexoXmlSettings/VexoConfig.h"

using namespace VexoSource;
using uinputtest::Scan;
using uinputtest::Touch;
using Events = std::vector<std::string>;

namespace {

// A finger of the default size: 0.01 of the axis is 328 units.
constexpr const char* kSize[] = {"ABS_MT_TOUCH_MAJOR 328", "ABS_MT_TOUCH_MINOR 328"};

TEST(UinputEncoder, OneFingerDownMovedUp) {
    MTUinputEncoder enc;
    EXPECT_EQ(Scan(enc, {Touch(7, 0.25f, 0.5f)}),
              (Events{"ABS_MT_SLOT 0", "ABS_MT_TRACKING_ID 0", "ABS_MT_TOOL_TYPE 0",
                      "ABS_MT_POSITION_X 8192", "ABS_MT_POSITION_Y 16384", kSize[0], kSize[1],
                      "BTN_TOUCH 1", "ABS_X 8192", "ABS_Y 16384", "SYN_REPORT"}));
    EXPECT_EQ(Scan(enc, {Touch(7, 0.75f, 0.5f)}),
              (Events{"ABS_MT_SLOT 0", "ABS_MT_POSITION_X 24575", "ABS_X 24575", "SYN_REPORT"}));
    EXPECT_EQ(Scan(enc, {Touch(7, 0.75f, 0.5f)}), Events{}) << "a scan that changed nothing";
    EXPECT_EQ(Scan(enc, {}),
              (Events{"ABS_MT_SLOT 0", "ABS_MT_TRACKING_ID -1", "BTN_TOUCH 0", "SYN_REPORT"}));
    EXPECT_EQ(Scan(enc, {}), Events{});
    EXPECT_EQ(enc.HeldContacts(), 0u);
}

TEST(UinputEncoder, FirstFingerLiftsWhileSecondMoves) {
    MTUinputEncoder enc;
    EXPECT_EQ(Scan(enc, {Touch(1, 0.25f, 0.25f), Touch(2, 0.75f, 0.75f)}),
              (Events{"ABS_MT_SLOT 0", "ABS_MT_TRACKING_ID 0", "ABS_MT_TOOL_TYPE 0",
                      "ABS_MT_POSITION_X 8192", "ABS_MT_POSITION_Y 8192", kSize[0], kSize[1],
                      "ABS_MT_SLOT 1", "ABS_MT_TRACKING_ID 1", "ABS_MT_TOOL_TYPE 0",
                      "ABS_MT_POSITION_X 24575", "ABS_MT_POSITION_Y 24575", kSize[0], kSize[1],
                      "BTN_TOUCH 1", "ABS_X 8192", "ABS_Y 8192", "SYN_REPORT"}));
    // The single-touch axes pass to the remaining finger; BTN_TOUCH stays down.
    EXPECT_EQ(Scan(enc, {Touch(2, 0.75f, 0.5f)}),
              (Events{"ABS_MT_SLOT 0", "ABS_MT_TRACKING_ID -1", "ABS_MT_SLOT 1",
                      "ABS_MT_POSITION_Y 16384", "ABS_X 24575", "ABS_Y 16384", "SYN_REPORT"}));
    EXPECT_EQ(Scan(enc, {Touch(2, 0.75f, 0.5f)}), Events{});
}

TEST(UinputEncoder, ContactReplacedInOneScanGetsNewTrackingIdAndOtherSlot) {
    MTUinputEncoder enc;
    Scan(enc, {Touch(1, 0.25f, 0.25f)});
    EXPECT_EQ(Scan(enc, {Touch(3, 0.5f, 0.5f)}),
              (Events{"ABS_MT_SLOT 0", "ABS_MT_TRACKING_ID -1", "ABS_MT_SLOT 1",
                      "ABS_MT_TRACKING_ID 1", "ABS_MT_TOOL_TYPE 0", "ABS_MT_POSITION_X 16384",
                      "ABS_MT_POSITION_Y 16384", kSize[0], kSize[1], "ABS_X 16384",
                      "ABS_Y 16384", "SYN_REPORT"}));
}

TEST(UinputEncoder, ThirtyTwoContactsFillEverySlotAndAFullDeviceReusesASlotOneReportLater) {
    MTUinputEncoder enc;
    std::vector<VexoTouch_S> touches;
    for (u32 id = 0; id < 33; ++id) touches.push_back(Touch(id, float(id) / 64.0f, 0.5f));
    std::vector<MTUinputEvent> events;
    enc.Encode(touches.data(), u32(touches.size()), events);
    std::vector<i32> slots, trackingIds;
    for (const MTUinputEvent& e : events) {
        if (e.code == ABS_MT_SLOT) slots.push_back(e.value);
        if (e.code == ABS_MT_TRACKING_ID) trackingIds.push_back(e.value);
    }
    ASSERT_EQ(slots.size(), kMTUinputSlots) << "the 33rd touch has no slot and is left out";
    for (u32 s = 0; s < kMTUinputSlots; ++s) {
        EXPECT_EQ(slots[s], i32(s));
        EXPECT_EQ(trackingIds[s], i32(s));
    }
    EXPECT_EQ(enc.HeldContacts(), kMTUinputSlots);

    // Touch 0 leaves as touch 32 arrives: the only free slot is the one just lifted, so the
    // newcomer takes it in a second report rather than as a second touch-down on a held slot.
    touches.erase(touches.begin());
    EXPECT_EQ(Scan(enc, touches),
              (Events{"ABS_MT_SLOT 0", "ABS_MT_TRACKING_ID -1", "ABS_X 512", "SYN_REPORT",
                      "ABS_MT_SLOT 0", "ABS_MT_TRACKING_ID 32", "ABS_MT_TOOL_TYPE 0",
                      "ABS_MT_POSITION_X 16384", "ABS_MT_POSITION_Y 16384", kSize[0], kSize[1],
                      "SYN_REPORT"}));
    EXPECT_EQ(Scan(enc, touches), Events{});
}

TEST(UinputEncoder, FrameLeavingMidTouchLiftsEverything) {
    MTUinputEncoder enc;
    Scan(enc, {Touch(1, 0.1f, 0.1f), Touch(2, 0.2f, 0.2f), Touch(3, 0.3f, 0.3f)});
    std::vector<MTUinputEvent> events;
    enc.LiftAll(events);
    EXPECT_EQ(uinputtest::Names(events),
              (Events{"ABS_MT_SLOT 0", "ABS_MT_TRACKING_ID -1", "ABS_MT_SLOT 1",
                      "ABS_MT_TRACKING_ID -1", "ABS_MT_SLOT 2", "ABS_MT_TRACKING_ID -1",
                      "BTN_TOUCH 0", "SYN_REPORT"}));
    events.clear();
    enc.LiftAll(events);
    EXPECT_TRUE(events.empty());
}

TEST(UinputEncoder, TrackingIdsWrapAroundAndSkipTheOneStillHeld) {
    MTUinputEncoder enc;
    const VexoTouch_S held = Touch(1, 0.1f, 0.1f);
    Scan(enc, {held});  // tracking id 0, held throughout
    std::vector<MTUinputEvent> events;
    std::vector<i32> ids;
    const VexoTouch_S both[] = {held, Touch(2, 0.9f, 0.9f)};
    for (u32 i = 0; i < u32(kMTUinputTrackingIdMax) + 2; ++i) {
        events.clear();
        enc.Encode(both, 2, events);
        for (const MTUinputEvent& e : events)
            if (e.code == ABS_MT_TRACKING_ID) ids.push_back(e.value);
        events.clear();
        enc.Encode(both, 1, events);
    }
    ASSERT_EQ(ids.size(), std::size_t(kMTUinputTrackingIdMax) + 2);
    EXPECT_EQ(ids.front(), 1);
    EXPECT_EQ(ids[kMTUinputTrackingIdMax - 1], kMTUinputTrackingIdMax);
    EXPECT_EQ(ids[kMTUinputTrackingIdMax], 1) << "0 is still held by the first finger";
}

TEST(UinputEncoder, TouchesWithoutAPositionAndRepeatedIdsAreLeftOut) {
    MTUinputEncoder enc;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(Scan(enc, {Touch(1, nan, 0.5f), Touch(2, 0.5f, inf)}), Events{});
    Scan(enc, {Touch(3, 0.5f, 0.5f), Touch(3, 0.9f, 0.9f)});
    EXPECT_EQ(enc.HeldContacts(), 1u);
    EXPECT_EQ(Scan(enc, {Touch(3, 0.5f, 0.5f), Touch(3, 0.1f, 0.1f)}), Events{})
        << "the first of a repeated id counts";
}

// Axes of one new contact: positions clamped to the screen, sizes in X units with the height
// converted through the two resolutions.
struct AxesRow {
    const char* name;
    VexoTouch_S touch;
    MTUinputResolution resolution;
    i32 x, y, major, minor;
};

void PrintTo(const AxesRow& row, std::ostream* os) { *os << row.name; }

class UinputEncoderAxes : public ::testing::TestWithParam<AxesRow> {};

TEST_P(UinputEncoderAxes, OfANewContact) {
    const AxesRow& row = GetParam();
    MTUinputEncoder enc(row.resolution);
    std::vector<MTUinputEvent> events;
    enc.Encode(&row.touch, 1, events);
    auto value = [&events](u16 code) {
        for (const MTUinputEvent& e : events)
            if (e.type == EV_ABS && e.code == code) return e.value;
        return -1;
    };
    EXPECT_EQ(value(ABS_MT_POSITION_X), row.x);
    EXPECT_EQ(value(ABS_MT_POSITION_Y), row.y);
    EXPECT_EQ(value(ABS_MT_TOUCH_MAJOR), row.major);
    EXPECT_EQ(value(ABS_MT_TOUCH_MINOR), row.minor);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UinputEncoderAxes,
    ::testing::Values(
        AxesRow{"corners", Touch(1, 0.0f, 1.0f, 0.0f, 0.0f), {}, 0, 32767, 0, 0},
        AxesRow{"beyond_the_edges", Touch(1, -0.25f, 1.5f, 0.0f, 0.0f), {}, 0, 32767, 0, 0},
        AxesRow{"just_beyond", Touch(1, 1.00001f, -0.00001f, 0.0f, 0.0f), {}, 32767, 0, 0, 0},
        AxesRow{"square_units", Touch(1, 0.5f, 0.5f, 0.02f, 0.1f), {}, 16384, 16384, 3277, 655},
        // 100 and 50 units per mm: a Y unit is two X units.
        AxesRow{"height_in_x_units", Touch(1, 0.5f, 0.5f, 0.1f, 0.1f), {100, 50}, 16384, 16384,
                6553, 3277},
        AxesRow{"wide_touch", Touch(1, 0.5f, 0.5f, 0.2f, 0.02f), {100, 50}, 16384, 16384, 6553,
                1311},
        AxesRow{"size_clamped", Touch(1, 0.5f, 0.5f, 0.1f, 0.75f), {100, 50}, 16384, 16384,
                32767, 3277},
        AxesRow{"size_not_finite", Touch(1, 0.5f, 0.5f, std::numeric_limits<float>::infinity(),
                                         -1.0f),
                {}, 16384, 16384, 0, 0}),
    [](const ::testing::TestParamInfo<AxesRow>& info) { return std::string(info.param.name); });

// ---- The device description ---------------------------------------------------------------

struct FreeEvdev {
    void operator()(libevdev* dev) const { libevdev_free(dev); }
};

OrdoConfig Config(u32 inches, u32 ledsX, u32 ledsY) {
    OrdoConfig config{};
    config.LCD_SIZE = u8(inches);
    config.LED_X = ledsX;
    config.LED_Y = ledsY;
    return config;
}

struct SizeRow {
    u32 inches, ledsX, ledsY;
    i32 resX, resY;  // 32767 over the width and height in mm, rounded
};

TEST(UinputDescription, DirectMultitouchScreenNamedAfterTheFrame) {
    // 19" over 72 x 58 LEDs is 375.8 x 302.7 mm (87.19 and 108.23 units per mm); 42" over
    // 160 x 90 is 929.8 x 523.0 mm (35.24 and 62.65).
    const SizeRow rows[] = {{19, 72, 58, 87, 108}, {42, 160, 90, 35, 63}, {19, 0, 58, 0, 0}};
    for (const SizeRow& row : rows) {
        SCOPED_TRACE(std::to_string(row.inches) + " in, " + std::to_string(row.ledsX) + " x " +
                     std::to_string(row.ledsY));
        std::unique_ptr<libevdev, FreeEvdev> dev(libevdev_new());
        const MTUinputIdentity identity =
            MTUinputIdentityOf("0123456789ABCDEF", Config(row.inches, row.ledsX, row.ledsY));
        ASSERT_EQ(MTUinputDescribe(dev.get(), identity), 0);

        EXPECT_STREQ(libevdev_get_name(dev.get()), "Ordalo Touch Frame 0123456789ABCDEF");
        EXPECT_STREQ(libevdev_get_phys(dev.get()), "ordalo-0123456789ABCDEF/input0");
        EXPECT_STREQ(libevdev_get_uniq(dev.get()), "0123456789ABCDEF");
        EXPECT_EQ(libevdev_get_id_vendor(dev.get()), 0x4B5D);
        EXPECT_EQ(libevdev_get_id_product(dev.get()), 0x1001);

        EXPECT_TRUE(libevdev_has_property(dev.get(), INPUT_PROP_DIRECT));
        EXPECT_FALSE(libevdev_has_property(dev.get(), INPUT_PROP_POINTER));
        EXPECT_TRUE(libevdev_has_event_code(dev.get(), EV_KEY, BTN_TOUCH));
        for (unsigned button = BTN_MOUSE; button < BTN_JOYSTICK; ++button)
            EXPECT_FALSE(libevdev_has_event_code(dev.get(), EV_KEY, button)) << button;
        EXPECT_FALSE(libevdev_has_event_type(dev.get(), EV_REL));
        EXPECT_EQ(libevdev_get_num_slots(dev.get()), 32);

        struct Axis {
            unsigned code;
            int max, resolution;
        };
        const Axis axes[] = {{ABS_X, 32767, row.resX},
                             {ABS_Y, 32767, row.resY},
                             {ABS_MT_POSITION_X, 32767, row.resX},
                             {ABS_MT_POSITION_Y, 32767, row.resY},
                             {ABS_MT_TOUCH_MAJOR, 32767, row.resX},
                             {ABS_MT_TOUCH_MINOR, 32767, row.resX},
                             {ABS_MT_SLOT, 31, 0},
                             {ABS_MT_TRACKING_ID, 65535, 0},
                             {ABS_MT_TOOL_TYPE, MT_TOOL_MAX, 0}};
        for (const Axis& axis : axes) {
            SCOPED_TRACE(libevdev_event_code_get_name(EV_ABS, axis.code));
            const input_absinfo* info = libevdev_get_abs_info(dev.get(), axis.code);
            ASSERT_NE(info, nullptr);
            EXPECT_EQ(info->minimum, 0);
            EXPECT_EQ(info->maximum, axis.max);
            EXPECT_EQ(info->resolution, axis.resolution);
        }
        EXPECT_FALSE(libevdev_has_event_code(dev.get(), EV_ABS, ABS_MT_PRESSURE));
    }
}

// ---- The route's decisions, without a kernel device ---------------------------------------

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/ordalo-uinput-XXXXXX";
        m_path = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + m_path + "'").c_str()); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

std::size_t CountStartingWith(const std::vector<std::wstring>& lines, const std::wstring& head) {
    std::size_t n = 0;
    for (const std::wstring& line : lines) n += line.compare(0, head.size(), head) == 0;
    return n;
}

TEST(UinputRoute, EventsGoOutAsOneBatchOfInputEventRecords) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::vector<MTUinputEvent> events = {
        {EV_ABS, ABS_MT_SLOT, 3}, {EV_ABS, ABS_MT_TRACKING_ID, -1}, {EV_SYN, SYN_REPORT, 0}};
    ASSERT_TRUE(MTUinputWriteEvents(fds[1], events));
    ::close(fds[1]);
    input_event read[4];
    const ssize_t n = ::read(fds[0], read, sizeof read);
    ::close(fds[0]);
    ASSERT_EQ(n, ssize_t(3 * sizeof(input_event)));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(uinputtest::Name(read[i].type, read[i].code, read[i].value),
                  uinputtest::Name(events[i].type, events[i].code, events[i].value));
    }
    EXPECT_FALSE(MTUinputWriteEvents(fds[1], events)) << "a closed descriptor fails";
}

TEST(UinputRoute, MissingNodeIsSaidOnceAtInformationLevelAndTheRouteStaysOff) {
    vexotest::LogCapture log;
    const char* node = "/nonexistent/ordalo/uinput";
    for (int frame = 0; frame < 2; ++frame) {
        MTUinputRoute route(nullptr, node);
        route.Start("00000000000000A" + std::to_string(frame), Config(19, 72, 58));
        route.Start("00000000000000A" + std::to_string(frame), Config(21, 72, 58));
        EXPECT_FALSE(route.Active());
        const VexoTouch_S touch = Touch(1, 0.5f, 0.5f);
        route.Put(&touch, 1);
        route.Lift();
    }
    EXPECT_EQ(CountStartingWith(log.Lines(),
                                L"Information - Unable to open /nonexistent/ordalo/uinput"),
              1u);
    EXPECT_EQ(CountStartingWith(log.Lines(), L"Exception - "), 0u);
}

TEST(UinputRoute, SettingTurnsTheRouteOff) {
    // A node that opens but is no uinput device: a route that tries it reports the refusal.
    TempDir dir;
    const std::string node = dir.Path() + "/not-uinput";
    std::fclose(std::fopen(node.c_str(), "w"));
    struct Row {
        const char* setting;  // null: no entry
        bool tries;
    };
    for (const Row row : {Row{nullptr, true}, Row{"1", true}, Row{"0", false}}) {
        SCOPED_TRACE(row.setting ? row.setting : "(no entry)");
        VexoConfigOnXML cfg(dir.Path() + "/System.xml");
        if (row.setting) cfg.SetValue(MT_UINPUT_ENABLE_TAG, std::atoi(row.setting));
        vexotest::LogCapture log;
        MTUinputRoute route(&cfg, node.c_str());
        route.Start("0123456789ABCDEF", Config(19, 72, 58));
        EXPECT_FALSE(route.Active());
        EXPECT_EQ(CountStartingWith(
                      log.Lines(),
                      L"Exception - Unable to create the touchscreen of frame 0123456789ABCDEF"),
                  row.tries ? 1u : 0u);
    }
}

}  // namespace
