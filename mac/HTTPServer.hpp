// The network front: a TCP listener on all IPv4 interfaces, one event loop, and per connection
// a read loop that answers one request and closes.
#pragma once

#include <cstdint>
#include <memory>

#include "GuessLimiter.hpp"

namespace orvane {

class HTTPServer {
 public:
  // Listens on port(). Throws std::system_error (std::errc::address_in_use when another
  // listener holds the port). Also raises the open-file limit and ignores SIGPIPE.
  HTTPServer();
  // Listens on `listenPort` (0 lets the system choose), with guesses at the code limited as
  // given; used by tests.
  explicit HTTPServer(std::uint16_t listenPort, GuessLimits limits = {},
                      GuessLimiter::Clock clock = std::chrono::steady_clock::now);
  // Stops the loop and drops every connection; the bridge itself never gets here.
  ~HTTPServer();

  HTTPServer(const HTTPServer&) = delete;
  HTTPServer& operator=(const HTTPServer&) = delete;

  // Starts accepting on the loop's thread and returns at once. Call at most once.
  void start();

  // The port actually bound (differs from the one asked for only when that was 0).
  std::uint16_t localPort() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Raises the soft limit on open files to the hard limit, so that many idle connections do not
// starve the listener. Failure leaves the limit as it was.
void raiseOpenFileLimit();

}  // namespace orvane
