// A figure computed over the heart-rate readings inside a time window, kept until that set of
// readings may have changed, so that reading the state does not recompute it every time.
#pragma once

#include <algorithm>
#include <limits>
#include <span>

#include "Reading.hpp"

namespace orvane {

// Why reuse is exact: a window takes the readings whose age (now - ts) passes `inWindow`,
// which only turns false as the age grows, and the age of a reading never falls while now
// does not. So while now has not gone back, no reading can enter the window, and none has
// left it as long as the oldest reading inside still passes. The caller forgets the figure
// whenever the readings themselves change.
template <typename Figure>
class WindowMemo {
 public:
  using InWindow = bool (*)(double age);
  using Compute = Figure (*)(std::span<const Reading> readings, double now);

  WindowMemo(InWindow inWindow, Compute compute) : inWindow_(inWindow), compute_(compute) {}

  void forget() { known_ = false; }

  const Figure& at(std::span<const Reading> readings, double now) {
    if (known_ && now >= computedAt_ && inWindow_(now - oldestInside_))
      return figure_;
    figure_ = compute_(readings, now);
    computedAt_ = now;
    // An empty window stays empty: the age of +infinity is -infinity, inside every window.
    oldestInside_ = std::numeric_limits<double>::infinity();
    for (const Reading& r : readings) {
      if (inWindow_(now - r.ts))
        oldestInside_ = std::min(oldestInside_, r.ts);
    }
    known_ = true;
    return figure_;
  }

 private:
  InWindow inWindow_;
  Compute compute_;
  bool known_ = false;
  double computedAt_ = 0;
  double oldestInside_ = 0;
  Figure figure_{};
};

}  // namespace orvane
