#pragma once

namespace orvane {

// One stored sample: when it was measured (Unix time) and its value.
struct Reading {
  double ts = 0;
  double value = 0;
};

}  // namespace orvane
