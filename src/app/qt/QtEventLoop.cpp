#include "app/qt/QtEventLoop.h"

#include <qpa/qwindowsysteminterface.h>

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

QEventLoop::ProcessEventsFlags QtEventLoop::Flags() const {
  return holds_ > 0 ? QEventLoop::ExcludeUserInputEvents : QEventLoop::AllEvents;
}

void QtEventLoop::ProcessPendingEvents() { QCoreApplication::processEvents(Flags()); }

void QtEventLoop::ReleaseInput() {
  if (--holds_ > 0) return;
  QMetaObject::invokeMethod(
      &receiver_, [this] { DeliverHeldInput(); }, Qt::QueuedConnection);
}

// Qt's event dispatcher does not look at input it has once held back until
// new input arrives, so it is sent on here; a hold begun meanwhile ends with
// a delivery of its own.
void QtEventLoop::DeliverHeldInput() {
  if (holds_ == 0) QWindowSystemInterface::sendWindowSystemEvents(QEventLoop::AllEvents);
}

void QtEventLoop::WaitForEvents(Clock::time_point deadline) {
  const QEventLoop::ProcessEventsFlags flags = Flags();
  const int left = MillisecondsUntil(deadline);
  if (left == 0) {
    QCoreApplication::processEvents(flags);
    return;
  }
  // The timer's own event ends the wait when nothing else comes first. A
  // precise timer never fires before its interval, so the wait does not end
  // early.
  QTimer wakeUp;
  wakeUp.setSingleShot(true);
  wakeUp.setTimerType(Qt::PreciseTimer);
  wakeUp.start(left);
  QCoreApplication::processEvents(flags | QEventLoop::WaitForMoreEvents);
}

}  // namespace mx
