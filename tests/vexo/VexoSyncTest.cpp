#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "LogCapture.h"
#include "VexoSync/VexoSyncobj.h"
#include "VexoUtils/VexoUtils.h"

using namespace VexoSource;
using vexotest::Hex8;
using vexotest::LogCapture;
using Clock = std::chrono::steady_clock;
using vexotest::SecondsSince;

namespace {

// Closing takes about a second (the relay thread is stopped), so each test makes few events.
struct Events {
    explicit Events(int n) {
        for (int i = 0; i < n; ++i) handles.push_back(VexoEvtCreate(0, nullptr, 0));
    }
    ~Events() {
        for (VexoHandle h : handles) VexoCloseHandle(h);
    }
    std::vector<VexoHandle> handles;
};

}  // namespace

TEST(VexoSyncTest, SignalStaysUntilResetAndShortTimeoutsDoNotWait) {
    LogCapture log(0);
    Events ev(1);
    VexoHandle h = ev.handles[0];
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(VexoReference(h));
    EXPECT_TRUE(log.Contains(L"Debug - Insert syncobj reference " + Hex8(h)));

    auto start = Clock::now();
    EXPECT_EQ(VexoWaitObjectWithTimed(h, 5), 0u);
    EXPECT_LT(SecondsSince(start), 1.0);

    start = Clock::now();
    EXPECT_EQ(VexoWaitObjectWithTimed(h, 40), 0u);
    EXPECT_GE(SecondsSince(start), 0.035);  // 5 slices of 8 ms

    // Notified with nobody waiting: the signal is kept, not lost.
    VexoEvtNotify(h);
    EXPECT_EQ(VexoWaitObjectWithTimed(h, 0), 1u);
    EXPECT_EQ(VexoWaitObjectWithTimed(h, 100), 1u);
    EXPECT_EQ(VexoWaitObject(h), 1u);
    VexoEvtReset(h);
    EXPECT_EQ(VexoWaitObjectWithTimed(h, 16), 0u);
}

TEST(VexoSyncTest, NotifyWakesWaitersInOtherThreads) {
    LogCapture log(0);
    Events ev(1);
    VexoHandle h = ev.handles[0];
    ASSERT_NE(h, nullptr);

    std::atomic<int> started{0};
    std::atomic<int> timedResult{-1};
    std::atomic<int> untimedResult{-1};
    std::thread timed([&] {
        ++started;
        timedResult = static_cast<int>(VexoWaitObjectWithTimed(h, 20000));
    });
    std::thread untimed([&] {
        ++started;
        untimedResult = static_cast<int>(VexoWaitObject(h));
    });
    ASSERT_TRUE(LogCapture::WaitFor([&] { return started == 2; }));
    const auto start = Clock::now();
    VexoEvtNotify(h);
    timed.join();
    untimed.join();
    EXPECT_LT(SecondsSince(start), 10.0);
    EXPECT_EQ(timedResult, 1);
    EXPECT_EQ(untimedResult, 1);
}

TEST(VexoSyncTest, WaitOnSeveralEventsReportsWhichOne) {
    LogCapture log(0);
    Events ev(3);
    for (VexoHandle h : ev.handles) ASSERT_NE(h, nullptr);
    const u32 timeouts[3] = {0, 8, 8};

    EXPECT_EQ(VexoWaitObjectsWithTimed(ev.handles.data(), timeouts, 3, 6), 0u);

    VexoEvtNotify(ev.handles[1]);
    EXPECT_EQ(VexoWaitObjectsWithTimed(ev.handles.data(), timeouts, 3, 200), 257u);
    VexoEvtReset(ev.handles[1]);

    VexoEvtNotify(ev.handles[2]);
    EXPECT_EQ(VexoWaitObjectsWithTimed(ev.handles.data(), timeouts, 3, 200), 513u);
    // The first handle wins when both are signalled, even with a 0 ms time-out.
    VexoEvtNotify(ev.handles[0]);
    EXPECT_EQ(VexoWaitObjectsWithTimed(ev.handles.data(), timeouts, 3, 200), 1u);

    // A notification that arrives while the caller is inside its passes is seen.
    VexoEvtReset(ev.handles[0]);
    VexoEvtReset(ev.handles[2]);
    std::thread notifier([&] {
        VexoSleep(50);
        VexoEvtNotify(ev.handles[1]);
    });
    EXPECT_EQ(VexoWaitObjectsWithTimed(ev.handles.data(), timeouts, 2, 100000), 257u);
    notifier.join();

    EXPECT_EQ(VexoWaitObjectsWithTimed(nullptr, timeouts, 3, 10), 0u);
    EXPECT_EQ(VexoWaitObjectsWithTimed(ev.handles.data(), timeouts, 0, 10), 0u);
}

TEST(VexoSyncTest, ClosedHandlesAreHarmless) {
    LogCapture log(0);
    VexoHandle h = VexoEvtCreate(0, nullptr, 0);
    ASSERT_NE(h, nullptr);

    // A thread blocked without a time-out is released when the handle is closed.
    std::atomic<bool> waiting{false};
    std::atomic<int> result{-1};
    std::thread waiter([&] {
        waiting = true;
        result = static_cast<int>(VexoWaitObject(h));
    });
    ASSERT_TRUE(LogCapture::WaitFor([&] { return waiting.load(); }));
    VexoCloseHandle(h);
    waiter.join();
    EXPECT_NE(result, 1);

    EXPECT_FALSE(VexoReference(h));
    EXPECT_TRUE(log.Contains(L"Debug - Delete syncobj reference " + Hex8(h)));
    EXPECT_TRUE(log.Contains(L"Debug -  " + Hex8(h) + L" syn-object thread exited"));

    auto start = Clock::now();
    EXPECT_EQ(VexoWaitObjectWithTimed(h, 5000), 1u);
    EXPECT_LT(SecondsSince(start), 2.0);
    VexoEvtNotify(h);
    VexoEvtReset(h);
    EXPECT_EQ(VexoWaitObject(h), 0u);
    VexoCloseHandle(h);  // closing twice does nothing
    VexoCloseHandle(nullptr);
    EXPECT_FALSE(VexoReference(nullptr));

    // A stale handle in a multi-wait neither fires nor spins.
    VexoHandle stale[1] = {h};
    const u32 timeouts[1] = {8};
    start = Clock::now();
    EXPECT_EQ(VexoWaitObjectsWithTimed(stale, timeouts, 1, 5), 0u);
    EXPECT_GE(SecondsSince(start), 0.035);

    EXPECT_TRUE(VexoDeleteNamedCond("ordalo-test-no-such-object"));
    EXPECT_TRUE(VexoDeleteNamedCond(nullptr));
}

TEST(VexoSyncTest, DeleteNamedCondRemovesTheSharedMemoryObject) {
    const std::string name = "ordalo-test-cond-" + std::to_string(getpid());
    const std::string path = "/" + name;
    const int fd = shm_open(path.c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(VexoDeleteNamedCond(name.c_str()));
    EXPECT_LT(shm_open(path.c_str(), O_RDWR, 0600), 0);
    EXPECT_EQ(errno, ENOENT);
    // Gone already: still a success, as on a platform without such objects.
    EXPECT_TRUE(VexoDeleteNamedCond(path.c_str()));
}

TEST(VexoSyncTest, NotificationsAreNotLostUnderContention) {
    LogCapture log(1);
    Events ev(2);
    VexoHandle request = ev.handles[0];
    VexoHandle answer = ev.handles[1];
    ASSERT_NE(request, nullptr);
    ASSERT_NE(answer, nullptr);
    constexpr int kRounds = 300;
    std::atomic<int> served{0};
    std::thread server([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (VexoWaitObjectWithTimed(request, 10000) != 1) return;
            VexoEvtReset(request);
            ++served;
            VexoEvtNotify(answer);
        }
    });
    int answered = 0;
    for (int i = 0; i < kRounds; ++i) {
        VexoEvtNotify(request);
        if (VexoWaitObjectWithTimed(answer, 10000) != 1) break;
        VexoEvtReset(answer);
        ++answered;
    }
    server.join();
    EXPECT_EQ(answered, kRounds);
    EXPECT_EQ(served, kRounds);
}
