// The listener and the read loop. Invariants:
// - One event loop serves every connection: one thread, one io_context, one listening socket.
//   A connection is accepted, read and answered there, so serving a request hands nothing to
//   another thread and wakes no other. (Threads sharing an io_context hand work to each other
//   through futex wake-ups, a real sleep and wake each when the scheduler groups the server
//   apart from its clients. Loops per core, each accepting for itself, served as fast but now
//   and then left some connections waiting 100 ms, as nginx's workers do; one loop did not.)
// - The loop never waits for the disk: answers that write a file to stable storage are made on
//   a pool of their own, and an ingest, stored on the loop, is answered once the flush of its
//   history lines, run on that pool, calls back; the answer is written on the loop.
// - A connection lives only through the one operation pending on it (a wait for input, an
//   answer being made, or the final write), which holds a shared_ptr to it; there is no table
//   of connections. Its operations run strictly one after another, each issued from the
//   completion of the one before, so its buffer needs no lock.
// - Idle connections wait for readability without a buffer of their own: bytes are read into
//   a per-thread scratch chunk once they have arrived (or on the first try, which finds a
//   request that came with the connection), then appended to the connection's
//   buffer, which is framed from its first byte after every read; the body is read once,
//   by the route that takes it.
// - After a complete request no further request byte is looked at; the connection ends after
//   the single write of the response.
// - The router, and the limiter that counts guesses at the code per peer address behind it,
//   outlive the server and so every connection.
#include "HTTPServer.hpp"

#include <algorithm>
#include <array>
#include <asio/buffer.hpp>
#include <asio/dispatch.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <exception>
#include <string>
#include <system_error>
#include <thread>

#include "Request.hpp"
#include "Router.hpp"

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

// What every connection of the server uses, beside its loop.
struct Services {
  Services(Router& served, unsigned diskThreads) : router(served), disk(diskThreads) {}

  Router& router;
  // Makes the answers that may wait for the disk.
  asio::thread_pool disk;
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, const tcp::endpoint& peer, Services& services)
      : socket_(std::move(socket)), peer_(peer.address()), services_(services) {}

  void start() {
    // Reads happen only after readiness is reported; non-blocking mode turns a spurious
    // wake-up into would_block instead of a stalled loop.
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
        return answer(std::move(*framed.request));
    }
  }

  // The request's body lies in buffer_, which is let go once the answer is ready. Writing
  // files to stable storage, and flushing an ingest's history, take the disk's time: that
  // happens on the disk pool, which hands the answer back to this loop. The flush is shared:
  // the batches stored while one runs wait for the next, without holding a thread each.
  void answer(FramedRequest request) {
    if (Router::answerFlushesFiles(request)) {
      return asio::post(services_.disk, [self = shared_from_this(), request = std::move(request)] {
        self->sendOnLoop(
            serializeResponse(self->services_.router.respond(request, self->peer_.to_string())));
      });
    }
    Response response = services_.router.respond(request, peer_.to_string());
    if (response.flushTicket == 0)
      return send(serializeResponse(response));
    std::string().swap(buffer_);
    services_.router.whenFlushed(
        response,
        [self = shared_from_this(), bytes = serializeResponse(response)] {
          self->sendOnLoop(bytes);
        },
        [this](std::function<void()> flush) { asio::post(services_.disk, std::move(flush)); });
  }

  // From any thread: the connection's operations all run on its loop.
  void sendOnLoop(std::string bytes) {
    asio::dispatch(socket_.get_executor(),
                   [self = shared_from_this(), bytes = std::move(bytes)]() mutable {
                     self->send(std::move(bytes));
                   });
  }

  void send(std::string response) {
    response_ = std::move(response);
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
  Services& services_;
  std::string buffer_;
  std::string response_;
};

// The history's flush takes one thread at a time, whatever the number of batches waiting for
// it; the others make the answers that flush the flag file, each waiting for its own write.
unsigned diskThreadCount() {
  return std::clamp(std::thread::hardware_concurrency(), 4U, 16U);
}

// Asio reports errno values in a category of its own, which does not compare equal to
// std::errc; the entry tells "address in use" apart by that comparison.
[[noreturn]] void throwListenError(std::error_code ec, std::uint16_t listenPort) {
  if (ec.category() == asio::system_category())
    ec = std::error_code(ec.value(), std::system_category());
  throw std::system_error(ec, "cannot listen on port " + std::to_string(listenPort));
}

// The event loop: an io_context with the listening socket, run by the thread that calls run().
class Loop {
 public:
  explicit Loop(Services& services) : services_(services) {}

  void listen(const tcp::endpoint& endpoint, std::error_code& ec) {
    acceptor_.open(endpoint.protocol(), ec);
    // SO_REUSEADDR does not let a second listener share the port (bind still fails with
    // "address in use" while another socket listens there, on Linux and on BSD-derived
    // systems); it only lets a restarted bridge bind while connections this port answered
    // earlier linger in TIME_WAIT, which every connection does because the server closes
    // first.
    if (!ec)
      acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
      acceptor_.bind(endpoint, ec);
    if (!ec)
      acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  }

  std::uint16_t port() const {
    std::error_code ec;
    return acceptor_.local_endpoint(ec).port();
  }

  // Serves until stop(); the failed handler of a connection takes only that connection with it.
  void run() {
    accept();
    for (;;) {
      try {
        io_.run();
        return;
      } catch (const std::exception&) {
        // Keep serving the others.
      }
    }
  }

  void stop() { io_.stop(); }

 private:
  void accept() {
    // The peer's address comes with the accepted socket, without a system call of its own.
    acceptor_.async_accept(acceptedPeer_, [this](std::error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted)
        return;
      if (ec)
        return pauseAccepting();
      auto connection = std::make_shared<Connection>(std::move(socket), acceptedPeer_, services_);
      accept();
      connection->start();
    });
  }

  // Accept errors are mostly a lack of file descriptors or memory; retrying at once would
  // spin on the same error, so wait until some connections have had a chance to end.
  void pauseAccepting() {
    acceptPause_.expires_after(acceptRetryDelay);
    acceptPause_.async_wait([this](std::error_code ec) {
      if (!ec)
        accept();
    });
  }

  Services& services_;
  // One thread runs it: Asio then need not wake other threads to share out its work.
  asio::io_context io_{1};
  tcp::acceptor acceptor_{io_};
  tcp::endpoint acceptedPeer_;  // filled by the one accept in flight
  asio::steady_timer acceptPause_{io_};
  asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
};

}  // namespace

struct HTTPServer::Impl {
  explicit Impl(Router& router) : services(router, diskThreadCount()) {}

  // Declared first so that it outlives the loop and every connection it still holds.
  Services services;
  Loop loop{services};
};

HTTPServer::HTTPServer(Router& router, std::uint16_t listenPort)
    : impl_(std::make_unique<Impl>(router)) {
  std::error_code ec;
  impl_->loop.listen(tcp::endpoint(asio::ip::address_v4::any(), listenPort), ec);
  if (ec)
    throwListenError(ec, listenPort);
}

HTTPServer::~HTTPServer() {
  impl_->loop.stop();
  // Answers still being made post their writes to the stopped loop, which drops them.
  impl_->services.disk.join();
}

void HTTPServer::run() {
  impl_->loop.run();
}

void HTTPServer::stop() {
  impl_->loop.stop();
}

std::uint16_t HTTPServer::localPort() const {
  return impl_->loop.port();
}

}  // namespace orvane
