// An Xvfb server of a test's own, and an X client that records every input event the server
// processes (keys, buttons, pointer motion, from any client: XTest's included). Header-only;
// tests include it by path and link X11, Xtst and Xrandr.
#pragma once

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/record.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"

namespace ordalo_test {

// The Xvfb program on PATH, or "" when it is not installed.
inline std::string XvfbPath() {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t from = 0; from <= dirs.size();) {
        std::size_t to = dirs.find(':', from);
        if (to == std::string::npos) to = dirs.size();
        const std::string candidate = dirs.substr(from, to - from) + "/Xvfb";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        from = to + 1;
    }
    return "";
}

inline bool PollUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(20000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// Xvfb on a display number no other server holds, started with -noreset: without it the server
// resets (the pointer included) whenever its last client leaves.
class Xvfb {
public:
    Xvfb(const std::string& screen, const std::string& logFile) {
        const std::string program = XvfbPath();
        if (program.empty()) return;
        for (int number = 40 + int(getpid() % 200), tries = 0; tries < 20; ++tries, ++number) {
            const std::string name = ":" + std::to_string(number);
            if (PathExists("/tmp/.X" + std::to_string(number) + "-lock")) continue;
            process_ = std::make_unique<ChildProcess>(
                    std::vector<std::string>{program, name, "-noreset", "-nolisten", "tcp",
                                             "-screen", "0", screen},
                    logFile);
            // Up when a client gets in; gone when another server won the number meanwhile.
            const bool up = PollUntil([&] {
                if (Display* d = XOpenDisplay(name.c_str())) {
                    XCloseDisplay(d);
                    return true;
                }
                return process_->Wait(std::chrono::milliseconds(0)) != -1;
            }, std::chrono::milliseconds(30000));
            if (up && process_->Wait(std::chrono::milliseconds(0)) == -1) {
                display_ = name;
                return;
            }
            process_.reset();
        }
    }
    ~Xvfb() {
        if (process_) {
            process_->Signal(SIGTERM);
            process_->Wait(std::chrono::milliseconds(10000));
        }
    }
    // ":N", or "" when no server came up.
    const std::string& display() const { return display_; }

private:
    std::unique_ptr<ChildProcess> process_;
    std::string display_;
};

// One input event as the server processed it.
struct XInput {
    int type;          // KeyPress, KeyRelease, ButtonPress, ButtonRelease, MotionNotify
    unsigned detail;   // key code or button
    int x, y;          // root position of the pointer
    std::string key;   // keysym name of a key event
};

// "press 1 480,540", "release 4 2400,540", "key-down Control_L", "key-up Right", "motion 5,5"
inline std::string Describe(const XInput& e) {
    const std::string at = " " + std::to_string(e.x) + "," + std::to_string(e.y);
    switch (e.type) {
        case ButtonPress: return "press " + std::to_string(e.detail) + at;
        case ButtonRelease: return "release " + std::to_string(e.detail) + at;
        case KeyPress: return "key-down " + e.key;
        case KeyRelease: return "key-up " + e.key;
        default: return "motion" + at;
    }
}

// Records from the moment it is made; Poll() takes in what has arrived.
class XEventLog {
public:
    explicit XEventLog(const std::string& display)
        : control_(XOpenDisplay(display.c_str())), data_(XOpenDisplay(display.c_str())) {
        if (!control_ || !data_) return;
        XRecordRange* range = XRecordAllocRange();
        range->device_events.first = KeyPress;
        range->device_events.last = MotionNotify;
        XRecordClientSpec clients = XRecordAllClients;
        context_ = XRecordCreateContext(control_, 0, &clients, 1, &range, 1);
        XFree(range);
        XSync(control_, False);
        if (!context_ || !XRecordEnableContextAsync(data_, context_, &XEventLog::Intercept,
                                                    reinterpret_cast<XPointer>(this)))
            return;
        PollUntil([&] {
            XRecordProcessReplies(data_);
            return started_;
        });
    }
    ~XEventLog() {
        if (context_) {
            XRecordDisableContext(control_, context_);
            XRecordFreeContext(control_, context_);
            XSync(control_, False);
        }
        if (data_) XCloseDisplay(data_);
        if (control_) XCloseDisplay(control_);
    }
    bool ready() const { return started_; }
    Display* control() { return control_; }

    void Poll() { XRecordProcessReplies(data_); }
    const std::vector<XInput>& events() const { return events_; }
    void Clear() { events_.clear(); }

    // Every event the server processed before this call: a pointer move of this client to
    // (marker, marker) is made and waited for. Returns the events before it (motion left out
    // unless asked for) and forgets them.
    std::vector<std::string> Settle(bool withMotion = false, int marker = 3) {
        XTestFakeMotionEvent(control_, DefaultScreen(control_), marker, marker, CurrentTime);
        XSync(control_, False);
        std::size_t end = 0;
        PollUntil([&] {
            Poll();
            for (end = 0; end < events_.size(); ++end) {
                const XInput& e = events_[end];
                if (e.type == MotionNotify && e.x == marker && e.y == marker) return true;
            }
            return false;
        });
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < end; ++i)
            if (withMotion || events_[i].type != MotionNotify) lines.push_back(Describe(events_[i]));
        events_.erase(events_.begin(), events_.begin() + std::min(end + 1, events_.size()));
        return lines;
    }

private:
    static void Intercept(XPointer closure, XRecordInterceptData* data) {
        auto* self = reinterpret_cast<XEventLog*>(closure);
        if (data->category == XRecordStartOfData) self->started_ = true;
        if (data->category == XRecordFromServer && data->data_len * 4 >= sizeof(xEvent)) {
            const xEvent* e = reinterpret_cast<const xEvent*>(data->data);
            XInput input{e->u.u.type & 0x7f, e->u.u.detail, e->u.keyButtonPointer.rootX,
                         e->u.keyButtonPointer.rootY, ""};
            if (input.type == KeyPress || input.type == KeyRelease) {
                const KeySym sym = XkbKeycodeToKeysym(self->control_, KeyCode(input.detail), 0, 0);
                const char* name = XKeysymToString(sym);
                input.key = name ? name : std::to_string(input.detail);
            }
            self->events_.push_back(input);
        }
        XRecordFreeData(data);
    }

    Display* control_;
    Display* data_;
    XRecordContext context_ = 0;
    bool started_ = false;
    std::vector<XInput> events_;
};

// RandR monitors of the screen: the given ones replace those a test defined before.
struct XRect {
    const char* name;
    int x, y, width, height;
    bool primary;
};

inline void SetMonitors(Display* display, const std::vector<XRect>& monitors) {
    const Window root = DefaultRootWindow(display);
    int count = 0;
    if (XRRMonitorInfo* old = XRRGetMonitors(display, root, False, &count)) {
        for (int i = 0; i < count; ++i)
            if (!old[i].automatic) XRRDeleteMonitor(display, root, old[i].name);
        XRRFreeMonitors(old);
    }
    for (const XRect& r : monitors) {
        XRRMonitorInfo* m = XRRAllocateMonitor(display, 0);
        m->name = XInternAtom(display, r.name, False);
        m->x = r.x;
        m->y = r.y;
        m->width = r.width;
        m->height = r.height;
        m->mwidth = r.width / 4;
        m->mheight = r.height / 4;
        m->primary = r.primary;
        XRRSetMonitor(display, root, m);
        XRRFreeMonitors(m);
    }
    XSync(display, False);
}

}  // namespace ordalo_test
