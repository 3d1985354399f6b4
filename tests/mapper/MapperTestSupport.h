// Verbs for the mapper tests: a fake clock, fingers put down and moved frame by frame, the texts
// one recognizer writes and the events the whole mapper posts on a recording desktop.
#ifndef ORDALO_TESTS_MAPPER_SUPPORT_H
#define ORDALO_TESTS_MAPPER_SUPPORT_H

#include <cstdio>
#include <string>
#include <vector>

#include "Actions.h"
#include "Mapper.h"
#include "RecordingDesktop.h"

namespace mappertest {

using namespace ordalo::sdk::gesturelibrary;
using ordalo::sdk::desktop::RecordingDesktop;

constexpr std::uint64_t kStartMs = 1700000000000ull;
inline std::uint64_t g_nowMs = kStartMs;
inline std::uint64_t fakeClock() { return g_nowMs; }

// The default surface, 21.5 inches at 16:9.
constexpr double kWidthMm = 475.97, kHeightMm = 267.73;

struct Finger {
    std::uint64_t id;
    float x, y;
};

// One frame of the touch source, delivered atMs after the scenario starts.
struct Step {
    std::uint64_t atMs;
    std::vector<Finger> fingers;
};

inline std::vector<Contact<float>> contactsOf(const std::vector<Finger>& fingers) {
    std::vector<Contact<float>> contacts;
    for (const Finger& f : fingers) {
        Contact<float> c{};
        c.id = f.id;
        c.location = {f.x, f.y};
        contacts.push_back(c);
    }
    return contacts;
}

inline std::string fixed8(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.8f", v);
    return text;
}

inline std::string printf8f(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%8f", v);
    return text;
}

// Every scenario starts on a fresh clock and a fresh click history.
class ClockFixture {
protected:
    ClockFixture() {
        g_nowMs = kStartMs;
        setClock(fakeClock);
        TapAction::_lastX = TapAction::_lastY = 0.0f;
        TapAction::_comboCount = 0;
        TapAction::_lastOccurred = 0;
    }
    ~ClockFixture() { setClock(nullptr); }
};

// Feeds steps to a private mapper (or one recognizer of it) and its own accumulated frame.
class Feed {
public:
    explicit Feed(RecordingDesktop* desktop) : desktop_(desktop) {
        previous_ = ordalo::sdk::desktop::setDesktop(desktop_);
    }
    ~Feed() { ordalo::sdk::desktop::setDesktop(previous_); }

    // The texts `recognizer` writes, in order; nothing else of the mapper runs.
    std::vector<std::string> texts(IGesture& recognizer, const std::vector<Step>& steps) {
        std::vector<std::string> written;
        for (const Step& step : steps) {
            advance(step);
            for (const Contact<float>& c : frame_) {
                std::string message;
                if (recognizer.updatePoint(c, message) > 0) written.push_back(message);
            }
        }
        return written;
    }

    // The desktop events of the whole mapper.
    std::vector<std::string> events(const std::vector<Step>& steps) {
        for (const Step& step : steps) {
            advance(step);
            mapper.putFrame(frame_);
        }
        return desktop_->take();
    }

    ODOM::odOsxMapper mapper;

private:
    void advance(const Step& step) {
        g_nowMs = kStartMs + step.atMs;
        std::vector<Contact<float>> contacts = contactsOf(step.fingers);
        frame_ += Frame<float>(contacts.data(), contacts.size());
    }

    RecordingDesktop* desktop_;
    ordalo::sdk::desktop::Desktop* previous_ = nullptr;
    Frame<float> frame_;
};

}  // namespace mappertest

#endif
