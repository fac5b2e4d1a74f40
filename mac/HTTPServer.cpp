// The listener and the read loop. Invariants:
// - A connection lives only through the one operation pending on it (a wait for input or the
//   final write), which holds a shared_ptr to it; there is no table of connections.
// - A connection's operations run strictly one after another, each issued from the completion
//   of the one before, so its buffer needs no lock even though the io_context runs on several
//   threads.
// - Idle connections wait for readability without a buffer of their own: bytes are read into
//   a per-thread scratch chunk once they have arrived (or on the first try, which finds a
//   request that came with the connection), then appended to the connection's
//   buffer, which is framed from its first byte after every read; the body is read once,
//   by the route that takes it.
// - After a complete request no further request byte is looked at; the connection ends after
//   the single write of the response.
// - Guesses at the code are counted per peer address by the one limiter of the server, which
//   outlives every connection.
#include "HTTPServer.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <asio/buffer.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <climits>
#include <csignal>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Request.hpp"
#include "Router.hpp"
#include "Settings.hpp"

namespace orvane {

namespace {

using asio::ip::tcp;

constexpr std::size_t readChunkBytes = 65536;
// Bytes that follow a request are thrown away before closing, up to this many.
constexpr std::size_t maxDiscardBytes = 1024 * 1024;
constexpr auto acceptRetryDelay = std::chrono::milliseconds(100);

using Chunk = std::array<char, readChunkBytes>;

Chunk& scratchChunk() {
  thread_local Chunk chunk;
  return chunk;
}

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, const tcp::endpoint& peer, GuessLimiter& limiter)
      : socket_(std::move(socket)), peer_(peer.address()), limiter_(limiter) {}

  void start() {
    // Reads happen only after readiness is reported; non-blocking mode turns a spurious
    // wake-up into would_block instead of a stalled worker thread.
    std::error_code ec;
    socket_.non_blocking(true, ec);
    if (ec)
      return close();
    // The request has often arrived by the time the connection is accepted: read at once,
    // and wait for readiness only when nothing is there yet.
    onReadable(ec);
  }

 private:
  void awaitInput() {
    socket_.async_wait(tcp::socket::wait_read,
                       [self = shared_from_this()](std::error_code ec) { self->onReadable(ec); });
  }

  void onReadable(std::error_code ec) {
    if (ec)
      return close();
    Chunk& chunk = scratchChunk();
    const std::size_t received = socket_.read_some(asio::buffer(chunk), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again)
      return awaitInput();
    if (ec || received == 0)
      return close();
    buffer_.append(chunk.data(), received);

    const FrameResult framed = frameRequest(buffer_);
    switch (framed.status) {
      case FrameStatus::needMore:
        // Room for the whole body at once, rather than copying it over as the buffer grows;
        // but only once a quarter of it is here, so that a head announcing a large body
        // cannot make us hold far more than the client has sent.
        if (framed.wholeBytes > buffer_.capacity() && buffer_.size() >= framed.wholeBytes / 4)
          buffer_.reserve(framed.wholeBytes);
        return awaitInput();
      case FrameStatus::tooLarge:
        return close();
      case FrameStatus::complete:
        return answer(*framed.request);
    }
  }

  // The request's body lies in buffer_, which is let go once the answer is ready.
  void answer(const FramedRequest& request) {
    response_ = serializeResponse(respond(request, limiter_, peer_.to_string()));
    std::string().swap(buffer_);
    asio::async_write(socket_, asio::buffer(response_),
                      [self = shared_from_this()](std::error_code, std::size_t) {
                        self->discardPendingInput();
                        self->close();
                      });
  }

  // Closing a socket with unread input makes the kernel reset the connection, and a reset can
  // destroy the response before the client has read it. Bytes that are already here (a
  // pipelined request, say) are therefore dropped first; they are never parsed.
  void discardPendingInput() {
    Chunk& chunk = scratchChunk();
    std::size_t discarded = 0;
    std::error_code ec;
    while (discarded < maxDiscardBytes) {
      const std::size_t received = socket_.read_some(asio::buffer(chunk), ec);
      if (ec || received == 0)
        return;
      discarded += received;
    }
  }

  // close() alone ends the connection with a FIN: the descriptor is ours only, so a shutdown
  // first would only add a system call.
  void close() {
    std::error_code ignored;
    socket_.close(ignored);
  }

  tcp::socket socket_;
  asio::ip::address peer_;
  GuessLimiter& limiter_;
  std::string buffer_;
  std::string response_;
};

unsigned workerCount() {
  return std::clamp(std::thread::hardware_concurrency(), 4U, 16U);
}

}  // namespace

struct HTTPServer::Impl {
  Impl(GuessLimits limits, GuessLimiter::Clock clock) : limiter(limits, std::move(clock)) {}

  // Declared first so that it outlives the connections the io_context still holds.
  GuessLimiter limiter;
  asio::io_context io;
  tcp::acceptor acceptor{io};
  tcp::endpoint acceptedPeer;  // filled by the one accept in flight
  asio::steady_timer acceptPause{io};
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::vector<std::thread> workers;

  void accept() {
    // The peer's address comes with the accepted socket, without a system call of its own.
    acceptor.async_accept(acceptedPeer, [this](std::error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted)
        return;
      if (ec)
        return pauseAccepting();
      auto connection = std::make_shared<Connection>(std::move(socket), acceptedPeer, limiter);
      // Accepting resumes first: starting the connection may answer it, and an answer can
      // wait for the disk.
      accept();
      connection->start();
    });
  }

  // Accept errors are mostly a lack of file descriptors or memory; retrying at once would
  // spin on the same error, so wait until some connections have had a chance to end.
  void pauseAccepting() {
    acceptPause.expires_after(acceptRetryDelay);
    acceptPause.async_wait([this](std::error_code ec) {
      if (!ec)
        accept();
    });
  }

  void run() {
    for (;;) {
      try {
        io.run();
        return;
      } catch (const std::exception&) {
        // The failed handler took only its own connection with it; keep serving the others.
      }
    }
  }
};

void raiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return;
  rlim_t wanted = limit.rlim_max;
#ifdef __APPLE__
  // macOS refuses an unlimited soft limit for open files.
  wanted = std::min<rlim_t>(wanted, OPEN_MAX);
#endif
  if (limit.rlim_cur >= wanted)
    return;
  limit.rlim_cur = wanted;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

HTTPServer::HTTPServer() : HTTPServer(port()) {}

HTTPServer::HTTPServer(std::uint16_t listenPort, GuessLimits limits, GuessLimiter::Clock clock)
    : impl_(std::make_unique<Impl>(limits, std::move(clock))) {
  raiseOpenFileLimit();
  // A peer that vanishes while its response is written must not end the process.
  std::signal(SIGPIPE, SIG_IGN);

  // SO_REUSEADDR does not let a second listener share the port (bind still fails with
  // "address in use" while another socket listens there, on Linux and on BSD-derived
  // systems); it only lets a restarted bridge bind while connections this port answered
  // earlier linger in TIME_WAIT, which every connection does because the server closes first.
  const tcp::endpoint endpoint(asio::ip::address_v4::any(), listenPort);
  std::error_code ec;
  impl_->acceptor.open(endpoint.protocol(), ec);
  if (!ec)
    impl_->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec)
    impl_->acceptor.bind(endpoint, ec);
  if (!ec)
    impl_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    // Asio reports errno values in a category of its own, which does not compare equal to
    // std::errc; the entry tells "address in use" apart by that comparison.
    if (ec.category() == asio::system_category())
      ec = std::error_code(ec.value(), std::system_category());
    throw std::system_error(ec, "cannot listen on port " + std::to_string(listenPort));
  }
}

HTTPServer::~HTTPServer() {
  impl_->io.stop();
  for (std::thread& worker : impl_->workers)
    worker.join();
}

void HTTPServer::start() {
  impl_->accept();
  const unsigned count = workerCount();
  for (unsigned i = 0; i < count; ++i)
    impl_->workers.emplace_back([impl = impl_.get()] { impl->run(); });
}

std::uint16_t HTTPServer::localPort() const {
  std::error_code ec;
  return impl_->acceptor.local_endpoint(ec).port();
}

}  // namespace orvane
