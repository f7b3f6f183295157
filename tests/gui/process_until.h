// Waiting in a window test while the event loop keeps running.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace ztv::test {

// Processes events until `pred` holds or `timeoutMs` has passed; whether it
// held.
template <typename Pred>
bool ProcessUntil(Pred pred, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!pred()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}

}  // namespace ztv::test
