// The job queue with its real worker thread, reaching a real UiQueue that the
// test pumps. Bodies wait on gates the test opens, so every interleaving is
// chosen, never raced.
#include "tasks/job_queue.h"

#include "base/ui_queue.h"
#include "testing/log_capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <thread>
#include <vector>

namespace launcher {
namespace {

using namespace std::chrono_literals;

// The application's side, as far as the queue sees it.
class Host : public JobQueueHost {
 public:
  Host() : ui([] {}) {}
  void markStateDirty() override { pushes++; }
  void postToUi(std::function<void()> closure) override { (void)ui.post(std::move(closure)); }
  void toast(const std::string& text) override {
    (void)ui.post([this, text] { toasts.push_back(text); });
  }
  UiQueue ui;
  std::atomic<int> pushes{0};
  std::vector<std::string> toasts;  // UI thread (the test)
};

// A body the test controls: it records each start, then waits until opened
// (returning `result`) or until the queue's cancel flag is set ("Cancelled").
class Gate {
 public:
  std::function<std::string()> body(const JobQueue& queue, std::string result = {}) {
    return [this, &queue, result] {
      std::unique_lock lock(m_);
      ++runs_;
      cv_.notify_all();
      while (!open_) {
        if (queue.cancelRequested()) return std::string("Cancelled");
        cv_.wait_for(lock, 1ms);
      }
      return result;
    };
  }
  void open() {
    std::lock_guard lock(m_);
    open_ = true;
    cv_.notify_all();
  }
  bool waitForRuns(int n) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, 10s, [&] { return runs_ >= n; });
  }
  int runs() {
    std::lock_guard lock(m_);
    return runs_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
  int runs_ = 0;
};

class CoreThreadsJobQueueTest : public ::testing::Test {
 protected:
  CoreThreadsJobQueueTest() : queue(appMutex, host) { worker = std::thread([this] { queue.runWorker(); }); }
  ~CoreThreadsJobQueueTest() override {
    queue.stop();
    worker.join();
  }

  Job job(std::string kind, std::string target, std::function<std::string()> body,
          std::function<void()> onSuccess = {}) {
    Job j;
    j.kind = std::move(kind);
    j.target = std::move(target);
    j.label = j.kind + ":" + j.target;
    j.body = std::move(body);
    j.onSuccess = std::move(onSuccess);
    return j;
  }

  // Kinds and targets in queue order, with "*" for the running job and "(held)".
  std::vector<std::string> snapshot() {
    std::lock_guard lock(appMutex);
    std::vector<std::string> out;
    for (const Job& j : queue.jobsLocked()) {
      out.push_back(j.label + (j.id == queue.currentJobIdLocked() ? "*" : "") + (j.held ? "(held)" : ""));
    }
    return out;
  }
  std::string taskError() {
    std::lock_guard lock(appMutex);
    return queue.taskErrorLocked();
  }
  uint64_t currentId() {
    std::lock_guard lock(appMutex);
    return queue.currentJobIdLocked();
  }
  bool waitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
      host.ui.runPending();
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    host.ui.runPending();
    return true;
  }
  bool waitForIdle() {
    return waitUntil([&] {
      std::lock_guard lock(appMutex);
      return queue.jobsLocked().empty() && queue.currentJobIdLocked() == 0;
    });
  }

  std::mutex appMutex;
  Host host;
  JobQueue queue;
  std::thread worker;
};

TEST_F(CoreThreadsJobQueueTest, SameKindIsDroppedWhileQueuedHeldOrRunning) {
  Gate running, waiting;
  ASSERT_TRUE(queue.enqueue(job("game", "", running.body(queue)), QueuePosition::Front));
  ASSERT_TRUE(running.waitForRuns(1));
  EXPECT_FALSE(queue.enqueue(job("game", "", waiting.body(queue)), QueuePosition::Front)) << "running counts";
  EXPECT_TRUE(queue.enqueue(job("repair", "", waiting.body(queue)), QueuePosition::Front)) << "another kind";
  EXPECT_TRUE(queue.enqueue(job("addon", "a", waiting.body(queue)), QueuePosition::Back));
  EXPECT_FALSE(queue.enqueue(job("addon", "a", waiting.body(queue)), QueuePosition::Back)) << "equal target";
  EXPECT_TRUE(queue.enqueue(job("addon", "b", waiting.body(queue)), QueuePosition::Back)) << "other target";
  EXPECT_FALSE(queue.enqueue(job("addon", "", waiting.body(queue)), QueuePosition::Back)) << "empty target";
  // A held job still counts.
  uint64_t idB = 0;
  {
    std::lock_guard lock(appMutex);
    for (const Job& j : queue.jobsLocked())
      if (j.target == "b") idB = j.id;
    EXPECT_TRUE(queue.isQueuedLocked("addon", ""));
    EXPECT_TRUE(queue.isQueuedLocked("addon", "b"));
    EXPECT_FALSE(queue.isQueuedLocked("addon", "c"));
    EXPECT_FALSE(queue.isQueuedLocked("backup", ""));
  }
  queue.control(JobAction::Pause, idB);
  EXPECT_EQ(snapshot(), (std::vector<std::string>{"repair:", "game:*", "addon:a", "addon:b(held)"}));
  EXPECT_FALSE(queue.enqueue(job("addon", "b", waiting.body(queue)), QueuePosition::Back));
  EXPECT_EQ(waiting.runs(), 0);
  running.open();
  waiting.open();
  queue.control(JobAction::Cancel, idB);
  EXPECT_TRUE(waitForIdle());
}

TEST_F(CoreThreadsJobQueueTest, FrontJobsRunAfterTheRunningOneAndBeforeEarlierBackJobs) {
  std::vector<std::string> order;  // appended by bodies, one at a time on the worker
  Gate first;
  auto recorder = [&](std::string name) {
    return [&order, name] {
      order.push_back(name);
      return std::string();
    };
  };
  ASSERT_TRUE(queue.enqueue(job("addon", "first", [&, b = first.body(queue)] {
                              order.push_back("first");
                              return b();
                            }),
                            QueuePosition::Back));
  ASSERT_TRUE(first.waitForRuns(1));
  ASSERT_TRUE(queue.enqueue(job("addon", "x", recorder("x")), QueuePosition::Back));
  ASSERT_TRUE(queue.enqueue(job("addon", "y", recorder("y")), QueuePosition::Back));
  ASSERT_TRUE(queue.enqueue(job("game", "", recorder("game")), QueuePosition::Front));
  first.open();
  ASSERT_TRUE(waitForIdle());
  EXPECT_EQ(order, (std::vector<std::string>{"first", "game", "x", "y"}));
}

TEST_F(CoreThreadsJobQueueTest, PausedRunningJobIsHeldWithoutErrorAndRunsAgainBeforeLaterJobs) {
  Gate sync;
  std::vector<std::string> order;
  bool succeeded = false;
  ASSERT_TRUE(queue.enqueue(job("game", "",
                                [&, b = sync.body(queue)] {
                                  order.push_back("game");
                                  return b();
                                },
                                [&] { succeeded = true; }),
                            QueuePosition::Front));
  ASSERT_TRUE(sync.waitForRuns(1));
  const uint64_t gameId = currentId();
  Gate backup;
  ASSERT_TRUE(queue.enqueue(job("backup", "",
                                [&, b = backup.body(queue)] {
                                  order.push_back("backup");
                                  return b();
                                }),
                            QueuePosition::Back));

  queue.control(JobAction::Pause, 0);  // 0: the running job
  ASSERT_TRUE(backup.waitForRuns(1)) << "the next job starts";
  EXPECT_EQ(snapshot(), (std::vector<std::string>{"game:(held)", "backup:*"}));
  EXPECT_EQ(taskError(), "");
  // A job queued now, behind the held one.
  ASSERT_TRUE(queue.enqueue(job("addon", "later",
                                [&] {
                                  order.push_back("later");
                                  return std::string();
                                }),
                            QueuePosition::Back));
  backup.open();
  ASSERT_TRUE(waitUntil([&] { return snapshot() == std::vector<std::string>{"game:(held)"}; }));
  sync.open();
  queue.control(JobAction::Resume, gameId);
  ASSERT_TRUE(waitForIdle());
  EXPECT_EQ(order, (std::vector<std::string>{"game", "backup", "later", "game"}));
  EXPECT_EQ(sync.runs(), 2);
  EXPECT_TRUE(host.toasts.empty());
  EXPECT_TRUE(succeeded);
}

// A body that, on its first run, sees the stop and then waits for the test
// before it returns "Cancelled": a pause that is landing. Later runs succeed.
class LandingStop {
 public:
  std::function<std::string()> body(const JobQueue& queue) {
    return [this, &queue] {
      std::unique_lock lock(m_);
      ++runs_;
      cv_.notify_all();
      if (runs_ > 1) return std::string();
      while (!queue.cancelRequested()) cv_.wait_for(lock, 1ms);
      sawStop_ = true;
      cv_.notify_all();
      cv_.wait(lock, [&] { return released_; });
      return std::string("Cancelled");
    };
  }
  bool waitForStopSeen() {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, 10s, [&] { return sawStop_; });
  }
  void release() {
    std::lock_guard lock(m_);
    released_ = true;
    cv_.notify_all();
  }
  int runs() {
    std::lock_guard lock(m_);
    return runs_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int runs_ = 0;
  bool sawStop_ = false;
  bool released_ = false;
};

// What the job is after a pause is landing and the page sends these next:
// resume runs it on; pausing again, or cancelling, wins over the resume.
TEST_F(CoreThreadsJobQueueTest, ResumeWhileAPauseIsLandingRunsTheJobOn) {
  struct Case {
    std::vector<JobAction> after;  // sent after the body saw the stop, before it returns
    int runs;                      // body runs in all
    bool succeeded;
    std::vector<std::string> left;  // the queue once the body returned
  };
  const std::vector<Case> cases = {
      {{JobAction::Resume}, 2, true, {}},
      {{JobAction::Resume, JobAction::Pause}, 1, false, {"game:(held)"}},
      {{JobAction::Resume, JobAction::Cancel}, 1, false, {}},
      {{}, 1, false, {"game:(held)"}},
  };
  for (size_t n = 0; n < cases.size(); ++n) {
    SCOPED_TRACE(n);
    LandingStop body;
    bool succeeded = false;
    ASSERT_TRUE(queue.enqueue(job("game", "", body.body(queue), [&] { succeeded = true; }), QueuePosition::Front));
    ASSERT_TRUE(waitUntil([&] { return currentId() != 0; }));
    const uint64_t id = currentId();
    queue.control(JobAction::Pause, 0);
    ASSERT_TRUE(body.waitForStopSeen());
    for (JobAction action : cases[n].after) queue.control(action, id);
    body.release();
    ASSERT_TRUE(waitUntil([&] { return currentId() == 0 && (cases[n].runs == 1 || body.runs() == cases[n].runs); }));
    ASSERT_TRUE(waitUntil([&] { return snapshot() == cases[n].left; }));
    EXPECT_EQ(body.runs(), cases[n].runs);
    EXPECT_EQ(succeeded, cases[n].succeeded);
    EXPECT_EQ(taskError(), "");
    EXPECT_TRUE(host.toasts.empty());
    queue.control(JobAction::Cancel, id);  // a held one goes
    ASSERT_TRUE(waitForIdle());
  }
}

TEST_F(CoreThreadsJobQueueTest, CancelRemovesWaitingAndHeldJobsUnrun) {
  Gate running, never;
  ASSERT_TRUE(queue.enqueue(job("game", "", running.body(queue)), QueuePosition::Front));
  ASSERT_TRUE(running.waitForRuns(1));
  bool successRan = false;
  ASSERT_TRUE(queue.enqueue(job("addon", "w", never.body(queue), [&] { successRan = true; }), QueuePosition::Back));
  ASSERT_TRUE(queue.enqueue(job("addon", "h", never.body(queue)), QueuePosition::Back));
  uint64_t w = 0, h = 0;
  {
    std::lock_guard lock(appMutex);
    w = queue.jobsLocked()[1].id;
    h = queue.jobsLocked()[2].id;
  }
  queue.control(JobAction::Pause, h);
  const int before = host.pushes.load();
  queue.control(JobAction::Cancel, w);
  queue.control(JobAction::Cancel, h);
  queue.control(JobAction::Cancel, 9999);  // no such job: only a push
  EXPECT_EQ(host.pushes.load(), before + 3);
  EXPECT_EQ(snapshot(), std::vector<std::string>{"game:*"});
  running.open();
  ASSERT_TRUE(waitForIdle());
  EXPECT_EQ(never.runs(), 0);
  EXPECT_FALSE(successRan);
}

TEST_F(CoreThreadsJobQueueTest, CancelOfTheRunningJobDropsItQuietly) {
  Gate running;
  bool successRan = false;
  ASSERT_TRUE(queue.enqueue(job("game", "", running.body(queue), [&] { successRan = true; }), QueuePosition::Front));
  ASSERT_TRUE(running.waitForRuns(1));
  queue.control(JobAction::Cancel, 0);
  ASSERT_TRUE(waitForIdle());
  EXPECT_EQ(taskError(), "");
  EXPECT_TRUE(host.toasts.empty());
  EXPECT_FALSE(successRan);
}

TEST_F(CoreThreadsJobQueueTest, FailureTextStaysUntilTheNextRealEnqueue) {
  testing::LogCapture log;
  Gate first;
  ASSERT_TRUE(queue.enqueue(job("backup", "", first.body(queue)), QueuePosition::Front));
  ASSERT_TRUE(first.waitForRuns(1));
  ASSERT_TRUE(queue.enqueue(job("game", "", [] { return std::string("The disk is on fire"); }), QueuePosition::Back));
  Gate never;
  ASSERT_TRUE(queue.enqueue(job("addon", "h", never.body(queue)), QueuePosition::Back));
  uint64_t held = 0;
  {
    std::lock_guard lock(appMutex);
    held = queue.jobsLocked().back().id;
  }
  queue.control(JobAction::Pause, held);
  first.open();
  ASSERT_TRUE(waitUntil([&] { return snapshot() == std::vector<std::string>{"addon:h(held)"}; }));
  ASSERT_TRUE(waitUntil([&] { return !host.toasts.empty(); }));
  EXPECT_EQ(taskError(), "The disk is on fire");
  EXPECT_EQ(host.toasts, std::vector<std::string>{"The disk is on fire"});
  EXPECT_EQ(log.warnings(), std::vector<std::string>{"game: The disk is on fire"});

  // A request dropped as a duplicate (the held job counts) is no new job.
  EXPECT_FALSE(queue.enqueue(job("addon", "h", never.body(queue)), QueuePosition::Back));
  EXPECT_EQ(taskError(), "The disk is on fire");
  // A job really queued clears it at once, before it even runs.
  Gate next;
  ASSERT_TRUE(queue.enqueue(job("restore", "", next.body(queue)), QueuePosition::Front));
  EXPECT_EQ(taskError(), "");
  next.open();
  queue.control(JobAction::Cancel, held);
  ASSERT_TRUE(waitForIdle());
  EXPECT_EQ(never.runs(), 0);
}

TEST_F(CoreThreadsJobQueueTest, CancelledWithoutACancelIsAFailureWithItsOwnText) {
  // For example a document over its size cap, read by a transfer that
  // answers the way a cancel does.
  ASSERT_TRUE(queue.enqueue(job("launcher", "", [] { return std::string("Cancelled"); }), QueuePosition::Front));
  ASSERT_TRUE(waitUntil([&] { return !host.toasts.empty(); }));
  EXPECT_EQ(taskError(), unexpectedStopText);
  EXPECT_EQ(host.toasts, std::vector<std::string>{unexpectedStopText});
}

TEST_F(CoreThreadsJobQueueTest, SuccessActionRunsOnceOnTheUiThreadAndNeverAfterAFailure) {
  const auto testThread = std::this_thread::get_id();
  int ran = 0;
  std::thread::id ranOn;
  ASSERT_TRUE(queue.enqueue(job("game", "", [] { return std::string(); },
                                [&] {
                                  ++ran;
                                  ranOn = std::this_thread::get_id();
                                }),
                            QueuePosition::Front));
  ASSERT_TRUE(waitForIdle());
  ASSERT_TRUE(waitUntil([&] { return ran == 1; }));
  EXPECT_EQ(ranOn, testThread);
  int failedRan = 0;
  ASSERT_TRUE(queue.enqueue(job("game", "", [] { return std::string("No"); }, [&] { ++failedRan; }),
                            QueuePosition::Front));
  ASSERT_TRUE(waitForIdle());
  host.ui.runPending();
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(failedRan, 0);
}

TEST_F(CoreThreadsJobQueueTest, PauseIgnoredByTheBodyEndsTheJobNormally) {
  int ran = 0;
  std::atomic<bool> release{false};
  ASSERT_TRUE(queue.enqueue(job("game", "",
                                [&] {
                                  // Never looks at the cancel flag.
                                  while (!release.load()) std::this_thread::sleep_for(1ms);
                                  return std::string();
                                },
                                [&] { ++ran; }),
                            QueuePosition::Front));
  ASSERT_TRUE(waitUntil([&] { return currentId() != 0; }));
  queue.control(JobAction::Pause, 0);
  release = true;
  ASSERT_TRUE(waitForIdle());
  ASSERT_TRUE(waitUntil([&] { return ran == 1; }));
  EXPECT_EQ(taskError(), "");
}

TEST_F(CoreThreadsJobQueueTest, StopEndsTheRunningBodyAndDiscardsTheRest) {
  Gate running, waiting;
  int successes = 0;
  ASSERT_TRUE(queue.enqueue(job("game", "", running.body(queue), [&] { ++successes; }), QueuePosition::Front));
  ASSERT_TRUE(running.waitForRuns(1));
  ASSERT_TRUE(queue.enqueue(job("addon", "a", waiting.body(queue)), QueuePosition::Back));
  queue.stop();
  worker.join();
  EXPECT_EQ(waiting.runs(), 0);
  EXPECT_TRUE(snapshot().empty());
  host.ui.runPending();
  EXPECT_EQ(successes, 0);
  EXPECT_FALSE(queue.enqueue(job("backup", "", waiting.body(queue)), QueuePosition::Front));
  worker = std::thread([] {});  // the fixture joins one
}

TEST(JobQueueProgress, PushesAtMostOncePer66Milliseconds) {
  std::mutex appMutex;
  Host host;
  JobQueue queue(appMutex, host);
  const auto t0 = JobQueue::Clock::time_point{} + std::chrono::hours(1);
  struct Step {
    int ms;
    bool pushes;
  };
  // The first report only sets the reference; then more than 66 ms must pass.
  const Step steps[] = {{0, false}, {10, false}, {66, false}, {67, true}, {100, false}, {133, false},
                        {134, true}, {134, false}, {500, true}};
  int expected = 0;
  for (const Step& s : steps) {
    Progress p;
    p.bytesDone = static_cast<uint64_t>(s.ms);
    queue.reportProgressAt(p, t0 + std::chrono::milliseconds(s.ms));
    expected += s.pushes ? 1 : 0;
    EXPECT_EQ(host.pushes.load(), expected) << "at " << s.ms << " ms";
    std::lock_guard lock(appMutex);
    EXPECT_EQ(queue.progressLocked().bytesDone, static_cast<uint64_t>(s.ms)) << "every report is stored";
  }
}

}  // namespace
}  // namespace launcher
