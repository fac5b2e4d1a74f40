// A signal handler may only do async-signal-safe work, so it writes one byte to a self-pipe;
// the event loop sees the byte through a socket notifier and quits on the main thread.
#include "QuitSignals.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <system_error>

namespace orvane {

namespace {

int wakeWriteEnd = -1;

extern "C" void onQuitSignal(int) {
  const int saved = errno;
  const char byte = 'q';
  // A full pipe already holds a pending quit; losing this byte is harmless.
  [[maybe_unused]] const ssize_t written = ::write(wakeWriteEnd, &byte, 1);
  errno = saved;
}

}  // namespace

void routeQuitSignals(QCoreApplication& application) {
  int ends[2] = {-1, -1};
#ifdef __linux__
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe");
#else
  if (::pipe(ends) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe");
  for (int end : ends) {
    ::fcntl(end, F_SETFD, FD_CLOEXEC);
    ::fcntl(end, F_SETFL, O_NONBLOCK);
  }
#endif
  wakeWriteEnd = ends[1];
  const int readEnd = ends[0];

  auto* notifier = new QSocketNotifier(readEnd, QSocketNotifier::Read, &application);
  QObject::connect(notifier, &QSocketNotifier::activated, &application, [readEnd, &application] {
    char drained[64];
    while (::read(readEnd, drained, sizeof drained) > 0) {
    }
    application.quit();
  });

  struct sigaction action {};
  action.sa_handler = onQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int number : {SIGTERM, SIGINT, SIGHUP})
    ::sigaction(number, &action, nullptr);
}

}  // namespace orvane
