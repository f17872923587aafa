#include <gtest/gtest.h>
#include <qpa/qwindowsysteminterface.h>

#include <QCoreApplication>
#include <QPushButton>
#include <QWindow>
#include <memory>
#include <thread>
#include <vector>

#include "app/qt/QtEventLoop.h"

namespace mx {
namespace {

using namespace std::chrono_literals;

TEST(QtEventLoopTest, EventsPostedFromAnotherThreadRunOnTheGuiThreadInOrder) {
  QtEventLoop loop;
  constexpr int kEvents = 2000;
  const auto guiThread = std::this_thread::get_id();
  std::vector<int> seen;
  bool allOnGuiThread = true;
  std::thread poster([&] {
    for (int i = 0; i < kEvents; ++i) {
      loop.Post([&, i] {
        seen.push_back(i);
        allOnGuiThread = allOnGuiThread && std::this_thread::get_id() == guiThread;
      });
    }
  });
  const auto deadline = Clock::now() + 20s;
  while (seen.size() < kEvents && Clock::now() < deadline) loop.WaitForEvents(deadline);
  poster.join();

  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kEvents));
  for (int i = 0; i < kEvents; ++i) ASSERT_EQ(seen[i], i);
  EXPECT_TRUE(allOnGuiThread);
}

TEST(QtEventLoopTest, PostNeverRunsTheEventInline) {
  QtEventLoop loop;
  bool ran = false;
  loop.Post([&] { ran = true; });
  EXPECT_FALSE(ran);
  loop.ProcessPendingEvents();
  EXPECT_TRUE(ran);
}

TEST(QtEventLoopTest, WaitWithoutEventsReturnsAtTheDeadline) {
  QtEventLoop loop;
  loop.ProcessPendingEvents();
  const auto deadline = Clock::now() + 150ms;
  loop.WaitForEvents(deadline);
  EXPECT_GE(Clock::now(), deadline);
}

TEST(QtEventLoopTest, WaitWithAPassedDeadlineRunsWhatIsPendingAndReturns) {
  QtEventLoop loop;
  bool ran = false;
  loop.Post([&] { ran = true; });
  loop.WaitForEvents(Clock::now() - 1s);
  EXPECT_TRUE(ran);
}

TEST(QtEventLoopTest, WaitReturnsEarlyWhenAnEventIsPosted) {
  QtEventLoop loop;
  bool ran = false;
  std::thread poster([&] { loop.Post([&] { ran = true; }); });
  const auto deadline = Clock::now() + 30s;
  while (!ran && Clock::now() < deadline) loop.WaitForEvents(deadline);
  poster.join();
  EXPECT_TRUE(ran);
  EXPECT_LT(Clock::now(), deadline);
}

TEST(QtEventLoopTest, RunUntilHandlesEventsUntilTheDeadline) {
  QtEventLoop loop;
  int ran = 0;
  loop.Post([&] { ++ran; });
  std::thread([&] { loop.Post([&] { ++ran; }); }).join();
  const auto deadline = Clock::now() + 100ms;
  loop.RunUntil(deadline);
  EXPECT_EQ(ran, 2);
  EXPECT_GE(Clock::now(), deadline);
}

TEST(QtEventLoopTest, EventsStillQueuedWhenTheLoopGoesAreDropped) {
  bool ran = false;
  {
    QtEventLoop loop;
    loop.Post([&] { ran = true; });
  }
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
}

// A close waits with the user's input held back: a click that the window
// system queued meanwhile reaches its button only once the hold has ended.
TEST(QtEventLoopTest, HeldInputReachesItsButtonAfterTheHold) {
  QtEventLoop loop;
  QPushButton button("Connect");
  button.resize(100, 30);
  button.show();
  int clicks = 0;
  QObject::connect(&button, &QPushButton::clicked, [&] { ++clicks; });
  loop.ProcessPendingEvents();
  QWindow* window = button.windowHandle();
  ASSERT_NE(window, nullptr);
  const QPointF inside(50, 15);
  QWindowSystemInterface::handleMouseEvent(window, inside, window->mapToGlobal(inside), Qt::LeftButton, Qt::LeftButton,
                                           QEvent::MouseButtonPress);
  QWindowSystemInterface::handleMouseEvent(window, inside, window->mapToGlobal(inside), Qt::NoButton, Qt::LeftButton,
                                           QEvent::MouseButtonRelease);
  bool noticeRan = false;
  loop.Post([&] { noticeRan = true; });
  loop.HoldInput();
  const auto deadline = Clock::now() + 10s;
  while (!noticeRan && Clock::now() < deadline) loop.WaitForEvents(deadline);
  EXPECT_TRUE(noticeRan);
  EXPECT_EQ(clicks, 0);
  loop.ReleaseInput();

  const auto later = Clock::now() + 10s;
  while (clicks == 0 && Clock::now() < later) loop.WaitForEvents(later);
  EXPECT_EQ(clicks, 1);
}

}  // namespace
}  // namespace mx
