// The gesture recognizers. Each watches the contacts of the accumulated frame one at a time and,
// when it sees its gesture, writes an event text into the shared message and returns > 0.
// Members are public: these classes are internal to the library and its tests read them.
#ifndef ORDALO_OSX_MAPPER_GESTURES_H
#define ORDALO_OSX_MAPPER_GESTURES_H

#include <cstdint>
#include <map>
#include <string>

#include "GestureSupport.h"

namespace ordalo {
namespace sdk {
namespace gesturelibrary {

class IGesture {
public:
    // > 0: an event text was written into message (appended or replacing it, per recognizer).
    virtual int updatePoint(const Contact<float>& contact, std::string& message) = 0;
    virtual void setAttribute(const std::string& name, const std::string& value) = 0;
    // Only for recognizers created with new; the mapper holds its own by value.
    virtual void release() { delete this; }
    virtual ~IGesture() = default;
};

// Members and attributes both bases share.
class GestureBase : public IGesture {
public:
    explicit GestureBase(std::string gestureName) : name(std::move(gestureName)) {}
    void setAttribute(const std::string& key, const std::string& value) override;

    std::string name;
    ScreenRuler ruler;
    ContactMap contacts;  // fingers down as this recognizer sees them, by id
    Point<float> center{0.0f, 0.0f};

protected:
    void updateCommonData(const Contact<float>& contact);
    float spreadMm() const { return maxDistanceMm(ruler, contacts); }
    std::size_t fingers() const { return contacts.size(); }
};

class StaticGesture : public GestureBase {
public:
    explicit StaticGesture(std::string gestureName);
    int updatePoint(const Contact<float>& contact, std::string& message) override;

    bool tracking = false;
    std::uint64_t timeMs;  // construction time; a deadline for some subclasses
};

enum class GestureStatus { Idle = 0, Begin = 1, Delta = 2, End = 3, Blocked = 4 };

class DynamicGesture : public GestureBase {
public:
    explicit DynamicGesture(std::string gestureName) : GestureBase(std::move(gestureName)) {}
    int updatePoint(const Contact<float>& contact, std::string& message) override;

    GestureStatus status = GestureStatus::Idle;

protected:
    bool running() const { return status == GestureStatus::Begin || status == GestureStatus::Delta; }
    // Blocked lasts until every finger is up; true when the caller stops here.
    bool stayBlocked();
};

class TapGesture : public StaticGesture {
public:
    static constexpr unsigned MinContactAmount = 1, MaxContactAmount = 48;
    static constexpr std::int64_t MinMaxTapTime = 100, MaxMaxTapTime = 9223372036854775807;
    static constexpr float MinMaxTapShift = 5.0f, MaxMaxTapShift = 10000.0f;
    static constexpr std::int64_t MinMaxCombo = 0, MaxMaxCombo = 9223372036854775807;
    static constexpr std::int64_t MinMaxComboInterval = 100,
                                  MaxMaxComboInterval = 9223372036854775807;
    static constexpr float MinMaxComboShift = 5.0f, MaxMaxComboShift = 10000.0f;

    TapGesture(std::string gestureName, unsigned fingerAmount, std::int64_t maxTapTime,
               float maxTapShift, std::int64_t maxCombo, std::int64_t maxComboInterval,
               float maxComboShift);
    int updatePoint(const Contact<float>& contact, std::string& message) override;
    void setAttribute(const std::string& key, const std::string& value) override;

    unsigned downCount = 0;
    std::int64_t combo = 0;
    Point<float> tapPoint{0.0f, 0.0f};
    Point<float> lastTapPoint{0.0f, 0.0f};
    std::uint64_t firstDownTime;
    std::uint64_t lastTapTime;
    unsigned fingerAmount;
    std::int64_t maxTapTime;
    float maxTapShift;
    std::int64_t maxCombo;
    std::int64_t maxComboInterval;
    float maxComboShift;
    int tapState = 0;  // 0 ready, 2 blocked until every finger is up

private:
    int reset();
};

class HoverGesture : public DynamicGesture {
public:
    static constexpr std::int64_t _minTriggerTime = 1000;

    explicit HoverGesture(std::string gestureName);
    int updatePoint(const Contact<float>& contact, std::string& message) override;
    bool initiallyTest();
    bool continuouslyTest();

    std::uint64_t beginTime;
    bool active = false;
    Point<float> reported{0.0f, 0.0f};

private:
    int write(const char* phase, std::string& message) const;
};

class DragGesture : public DynamicGesture {
public:
    DragGesture(std::string gestureName, unsigned fingers)
        : DynamicGesture(std::move(gestureName)), fingerAmount(fingers) {}
    int updatePoint(const Contact<float>& contact, std::string& message) override;

    unsigned fingerAmount;
    Point<float> lastCenter{0.0f, 0.0f};
    float dx = 0.0f, dy = 0.0f;

private:
    void append(std::string& message, const Point<float>& at, const char* phase) const;
};

// Scroll and pinch follow two fingers from a snapshot taken when the count became two.
class TwoFingerGesture : public DynamicGesture {
public:
    explicit TwoFingerGesture(std::string gestureName);

    Contact<float> first{};
    Contact<float> second{};

protected:
    void takeSnapshots();
    const Contact<float>& current(const Contact<float>& snapshot) const {
        return *contacts.at(snapshot.id);
    }
    void followCurrent() {
        first.location = current(first).location;
        second.location = current(second).location;
    }
    void append(std::string& message, float x, float y, const char* key, float value,
                const char* phase) const;
};

class Apple_TwoFingerScroll : public TwoFingerGesture {
public:
    explicit Apple_TwoFingerScroll(std::string gestureName)
        : TwoFingerGesture(std::move(gestureName)) {}
    int updatePoint(const Contact<float>& contact, std::string& message) override;

    float dy = 0.0f;
    Point<float> lastCenter{0.0f, 0.0f};

private:
    bool beginsVertically(const Contact<float>& snapshot, const Contact<float>& now) const;
};

class Apple_PinchZoom : public TwoFingerGesture {
public:
    explicit Apple_PinchZoom(std::string gestureName) : TwoFingerGesture(std::move(gestureName)) {}
    int updatePoint(const Contact<float>& contact, std::string& message) override;
    float getScaleFactory(const Point<float>& a1, const Point<float>& a2, const Point<float>& b1,
                          const Point<float>& b2) const;

    float scale = 1.0f;
    Point<float> lastCenter{0.0f, 0.0f};
};

enum class Direction { Up = 0, Right = 1, Down = 2, Left = 3 };

class MissionControlGesture : public StaticGesture {
public:
    MissionControlGesture(std::string gestureName, unsigned fingers, Direction toward);
    int updatePoint(const Contact<float>& contact, std::string& message) override;
    bool testEvent() const;

    unsigned fingerAmount;
    std::map<std::uint64_t, Point<float>> startPoints;
    Direction direction;
    Point<float> startCenter{0.0f, 0.0f};
    Point<float> endCenter{0.0f, 0.0f};
    std::uint64_t startTime;

private:
    void reset();
};

class Apple_LanchpadGesture : public StaticGesture {
public:
    Apple_LanchpadGesture(std::string gestureName, bool spreading)
        : StaticGesture(std::move(gestureName)), outward(spreading) {}
    int updatePoint(const Contact<float>& contact, std::string& message) override;
    bool allPointMoveToCenterLocation() const;
    bool allPointMoveOffCenterLocation() const;

    bool outward;
    Point<float> startCenter{0.0f, 0.0f};
    std::map<std::uint64_t, Point<float>> startPoints;

private:
    void reset();
    bool startTracking(const Contact<float>& contact);
    // gain(start, now): how much a finger moved the way the gesture wants, in mm.
    template <typename Gain>
    bool allFingersGain(Gain gain) const;
};

}  // namespace gesturelibrary
}  // namespace sdk
}  // namespace ordalo

#endif
