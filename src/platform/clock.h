// Fixed waits go through a Clock so that tests run them in no time while the
// program waits for real.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace ztv {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(int64_t milliseconds) = 0;
  // Monotonic milliseconds.
  virtual int64_t NowMs() = 0;
};

// The real clock.
Clock& SystemClock();

// A clock for tests: Sleep advances the time at once and records the wait.
class FakeClock : public Clock {
 public:
  void Sleep(int64_t milliseconds) override {
    std::lock_guard lock(mutex_);
    sleeps_.push_back(milliseconds);
    now_ += milliseconds;
  }
  int64_t NowMs() override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  void Advance(int64_t milliseconds) {
    std::lock_guard lock(mutex_);
    now_ += milliseconds;
  }
  std::vector<int64_t> Sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
  }
  int64_t TotalSlept() const {
    std::lock_guard lock(mutex_);
    int64_t total = 0;
    for (auto s : sleeps_) total += s;
    return total;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<int64_t> sleeps_;
  int64_t now_ = 0;
};

}  // namespace ztv
