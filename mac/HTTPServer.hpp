// The network front: a TCP listener on all IPv4 interfaces, one event loop, and per connection
// a read loop that answers one request and closes.
#pragma once

#include <cstdint>
#include <memory>

#include "Router.hpp"

namespace orvane {

class HTTPServer {
 public:
  // Listens on `listenPort` (0 lets the system choose) for `router`, which must outlive the
  // server. Throws std::system_error (std::errc::address_in_use when another listener holds
  // the port).
  HTTPServer(Router& router, std::uint16_t listenPort);
  // Stops the loop and drops every connection; the bridge itself never gets here.
  ~HTTPServer();

  HTTPServer(const HTTPServer&) = delete;
  HTTPServer& operator=(const HTTPServer&) = delete;

  // Accepts and serves on the calling thread until stop(). Call at most once.
  void run();
  // Makes run() return; from any thread.
  void stop();

  // The port actually bound (differs from the one asked for only when that was 0).
  std::uint16_t localPort() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvane
