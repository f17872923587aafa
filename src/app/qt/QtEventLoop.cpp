#include "app/qt/QtEventLoop.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <climits>

namespace mx {
namespace {

int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

}  // namespace

void QtEventLoop::Post(std::function<void()> event) {
  // Note: may run on any thread. Queued calls to one receiver keep their order.
  QMetaObject::invokeMethod(&receiver_, std::move(event), Qt::QueuedConnection);
}

void QtEventLoop::ProcessPendingEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void QtEventLoop::WaitForEvents(Clock::time_point deadline) {
  const int left = MillisecondsUntil(deadline);
  if (left == 0) {
    ProcessPendingEvents();
    return;
  }
  // The timer's own event ends the wait when nothing else comes first. A
  // precise timer never fires before its interval, so the wait does not end
  // early.
  QTimer wakeUp;
  wakeUp.setSingleShot(true);
  wakeUp.setTimerType(Qt::PreciseTimer);
  wakeUp.start(left);
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

}  // namespace mx
