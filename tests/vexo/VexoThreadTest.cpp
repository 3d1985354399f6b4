#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "LogCapture.h"
#include "VexoLog/VexoLog.h"
#include "VexoThread/VexoThread.h"
#include "VexoUtils/VexoUtils.h"

using namespace VexoSource;
using vexotest::Hex8;
using vexotest::LogCapture;
using Clock = std::chrono::steady_clock;
using vexotest::SecondsSince;

namespace {

// Checks its status every `checkMs`, and only after `ignoreMs` have passed and while
// m_hold is clear.
class PollingLoop : public VexoThread {
public:
    PollingLoop(u32 checkMs, u32 ignoreMs) : m_checkMs(checkMs), m_ignoreMs(ignoreMs) {}
    ~PollingLoop() override { StopThread(); }
    void ThreadFunc() override {
        m_entered = true;
        const u64 start = VexoGetElapsedTimeMillis();
        while (m_hold || VexoGetElapsedTimeMillis() - start < m_ignoreMs || !GetThreadStatus()) {
            ++m_passes;
            VexoSleep(m_checkMs);
        }
        m_left = true;
    }
    std::atomic<bool> m_hold{false};
    std::atomic<bool> m_entered{false};
    std::atomic<bool> m_left{false};
    std::atomic<int> m_passes{0};

private:
    u32 m_checkMs;
    u32 m_ignoreMs;
};

struct FunctionContext {
    std::atomic<int> calls{0};
    std::atomic<VexoThread*> seenThread{nullptr};
    std::atomic<bool> stopItself{false};
};

void CountingFunction(void* context, VexoThread* thread) {
    auto* ctx = static_cast<FunctionContext*>(context);
    ctx->seenThread = thread;
    if (ctx->stopItself) thread->StopThread();
    ++ctx->calls;
}

}  // namespace

TEST(VexoThreadTest, StatusTransitionsWithoutANativeThread) {
    LogCapture log(0);
    VexoThread thread;
    EXPECT_TRUE(thread.GetThreadStatus());
    EXPECT_EQ(thread.GetThreadStatusEx(), VexoEThreadStatus::Stopped);
    EXPECT_FALSE(thread.GetRunFlag());

    thread.ResumeThread();  // a stopped object stays stopped
    EXPECT_EQ(thread.GetThreadStatusEx(), VexoEThreadStatus::Stopped);

    thread.SetThreadState(VexoEThreadStatus::Running);
    thread.ResumeThread();  // a running object stays running
    EXPECT_EQ(thread.GetThreadStatusEx(), VexoEThreadStatus::Running);

    thread.PauseThread();
    EXPECT_EQ(thread.GetThreadStatusEx(), VexoEThreadStatus::Paused);
    EXPECT_FALSE(thread.GetRunFlag());
    EXPECT_FALSE(thread.GetThreadStatus());  // paused looks like running to a loop
    thread.ResumeThread();
    EXPECT_EQ(thread.GetThreadStatusEx(), VexoEThreadStatus::Running);
    EXPECT_TRUE(thread.GetRunFlag());

    // Never started: StopThread returns at once and says nothing.
    const auto start = Clock::now();
    thread.StopThread();
    EXPECT_LT(SecondsSince(start), 0.9);  // a real stop takes a second
    EXPECT_TRUE(thread.GetThreadStatus());
    EXPECT_TRUE(log.Lines().empty());
}

TEST(VexoThreadTest, StopWaitsForTheLoopJoinsItAndLogs) {
    LogCapture log(0);
    PollingLoop loop(200, 0);
    ASSERT_EQ(loop.StartThread(), 0);
    ASSERT_TRUE(LogCapture::WaitFor([&] { return loop.m_passes >= 2; }));
    EXPECT_EQ(loop.StartThread(), EBUSY);  // one loop per object
    EXPECT_FALSE(loop.GetThreadStatus());

    const auto start = Clock::now();
    loop.StopThread();
    const double took = SecondsSince(start);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 5.0);
    EXPECT_TRUE(loop.m_left);
    EXPECT_FALSE(loop.HasNativeThread());
    EXPECT_TRUE(loop.GetThreadStatus());

    const auto lines = log.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), L"Debug - Waiting the thread terminate signal");
    EXPECT_EQ(log.Count(L"Debug - Thread " + Hex8(&loop) + L" stopped"), 1u);
    EXPECT_EQ(lines.back(), L"Debug - Thread terminated");

    // A stopped object can be started again.
    log.Clear();
    loop.m_left = false;
    ASSERT_EQ(loop.StartThread(), 0);
    ASSERT_TRUE(LogCapture::WaitFor([&] { return loop.m_passes >= 4; }));
    loop.StopThread();
    EXPECT_TRUE(loop.m_left);
    EXPECT_TRUE(log.Contains(L"Debug - Thread terminated"));
}

TEST(VexoThreadTest, LoopThatIsLateIsWaitedForNotAbandoned) {
    LogCapture log(0);
    PollingLoop loop(20, 0);
    // The loop ignores the stopped status until the late-loop complaint is logged, however
    // slowly the machine runs.
    loop.m_hold = true;
    ASSERT_EQ(loop.StartThread(), 0);
    ASSERT_TRUE(LogCapture::WaitFor([&] { return loop.m_entered.load(); }));
    const std::wstring late = L"Exception - Unable to stop thread " + Hex8(&loop);
    const auto start = Clock::now();
    std::thread first([&] { loop.StopThread(); });
    std::thread releaser([&] {
        LogCapture::WaitFor([&] { return log.Contains(late); });
        VexoSleep(100);
        loop.m_hold = false;
    });
    // A second caller, arriving while the first one waits, must not return earlier either.
    EXPECT_TRUE(LogCapture::WaitFor([&] { return !loop.HasNativeThread(); }));
    loop.StopThread();
    EXPECT_TRUE(loop.m_left);  // StopThread never returns while the loop runs
    first.join();
    releaser.join();
    EXPECT_LT(SecondsSince(start), 6.0);
    EXPECT_TRUE(log.Contains(late));
    EXPECT_EQ(log.Count(L"Debug - Thread terminated"), 1u);
}

TEST(VexoThreadTest, ThreadFunctionGetsContextAndIsNotLoggedAsStopped) {
    LogCapture log(0);
    FunctionContext ctx;
    VexoThread thread(&CountingFunction, &ctx);
    EXPECT_EQ(thread.GetContext(), &ctx);
    ASSERT_EQ(thread.StartThread(), 0);
    ASSERT_TRUE(LogCapture::WaitFor([&] { return ctx.calls == 1; }));
    EXPECT_EQ(ctx.seenThread.load(), &thread);

    // The function returned on its own; starting again collects the old thread first.
    ASSERT_TRUE(LogCapture::WaitFor([&] { return thread.StartThread() == 0; }));
    ASSERT_TRUE(LogCapture::WaitFor([&] { return ctx.calls == 2; }));

    // A function that stops its own thread must not deadlock, and Reset collects it.
    ctx.stopItself = true;
    ASSERT_TRUE(LogCapture::WaitFor([&] { return thread.StartThread() == 0; }));
    ASSERT_TRUE(LogCapture::WaitFor([&] { return ctx.calls == 3; }));
    EXPECT_TRUE(thread.GetThreadStatus());
    thread.Reset();
    EXPECT_FALSE(thread.HasNativeThread());

    for (const auto& line : log.Lines()) {
        EXPECT_EQ(line.find(L"stopped"), std::wstring::npos);
    }
}

namespace {

// A run that says it is done (as a device thread clears its state) a while before it really
// returns, then a run that keeps going until told to stop.
struct LateFinish {
    std::atomic<int> runs{0};
    std::atomic<bool> saidDone{false};
    std::atomic<bool> release{false};
};

void LateFinishFunction(void* context, VexoThread* thread) {
    auto* ctx = static_cast<LateFinish*>(context);
    if (++ctx->runs == 1) {
        ctx->saidDone = true;
        while (!ctx->release) VexoSleep(5);
        return;
    }
    while (!thread->GetThreadStatus()) VexoSleep(10);
}

}  // namespace

// Restarting a run that said it was done: the old run's late return must not mark the new,
// live run as finished, whether the owner detached the old run or joined it first.
TEST(VexoThreadTest, RestartAfterALateFinishKeepsTheNewRunLive) {
    for (const bool detach : {true, false}) {
        SCOPED_TRACE(detach ? "detach" : "join");
        LogCapture log(0);
        LateFinish ctx;
        VexoThread thread(&LateFinishFunction, &ctx);
        ASSERT_EQ(thread.StartThread(), 0);
        ASSERT_TRUE(LogCapture::WaitFor([&] { return ctx.saidDone.load(); }));
        if (detach) {
            thread.Detach();
            ASSERT_EQ(thread.StartThread(), 0);
            ctx.release = true;
        } else {
            std::thread releaser([&] {
                VexoSleep(50);
                ctx.release = true;
            });
            thread.Join();  // returns only once the first run has really left
            releaser.join();
            ASSERT_FALSE(thread.HasNativeThread());
            ASSERT_EQ(thread.StartThread(), 0);
        }
        ASSERT_TRUE(LogCapture::WaitFor([&] { return ctx.runs == 2; }));
        VexoSleep(50);  // let a late finish mark land, if one were to
        // The second run is live: a further start is refused instead of joining a live thread.
        EXPECT_EQ(thread.StartThread(), EBUSY);
        thread.StopThread();
        EXPECT_FALSE(thread.HasNativeThread());
    }
}
