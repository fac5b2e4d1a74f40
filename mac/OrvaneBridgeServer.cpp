// The spine of the bridge program. Start-up runs in a fixed order: data directory, the
// "--data-dir" answer, pairing code, orvaned flag, port file, then either the one-shot card
// or the server. Failures travel up as exceptions and only main reports them, with one of two
// outcomes: a port held by someone else is a normal exit with a hint, anything else exits 1.
// The parts are made here, once, and handed by reference to those that use them: data
// directory -> engine; engine, credential and guess limiter -> router -> server. There are no
// signal handlers: a running server ends when it is terminated, its loop on the main thread.
#include <sys/resource.h>

#include <climits>
#include <csignal>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "Credential.hpp"
#include "DataDirectory.hpp"
#include "Files.hpp"
#include "GuessLimiter.hpp"
#include "HTTPServer.hpp"
#include "PairingCard.hpp"
#include "PairingCode.hpp"
#include "Router.hpp"
#include "Settings.hpp"
#include "StateEngine.hpp"

namespace orvane {

namespace {

void print(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

// The data directory as the user should see it: absolute, without a trailing slash.
std::string displayedDataDir(const DataDirectory& dataDir) {
  std::filesystem::path dir = dataDir.path();
  if (dir.is_relative())
    dir = std::filesystem::current_path() / dir;
  std::string text = dir.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/')
    text.pop_back();
  return text;
}

// Raises the soft limit on open files to the hard limit, so that many idle connections do not
// starve the listener. Failure leaves the limit as it was.
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

}  // namespace

struct OrvaneBridgeServerMain {
  static int main(int argc, char** argv);
  // Sets `credential` as soon as the code is known: main shows it when the port is taken.
  static void run(const std::vector<std::string_view>& arguments,
                  std::optional<Credential>& credential);
};

void OrvaneBridgeServerMain::run(const std::vector<std::string_view>& arguments,
                                 std::optional<Credential>& credential) {
  const auto given = [&](std::string_view option) {
    return std::find(arguments.begin(), arguments.end(), option) != arguments.end();
  };

  const DataDirectory dataDir = DataDirectory::fromEnvironment();
  dataDir.ensure();
  if (given("--data-dir")) {
    print(displayedDataDir(dataDir) + "\n");
    return;
  }

  credential.emplace(given("--rotate-pairing") ? rotateToken(dataDir) : loadOrCreateToken(dataDir));
  StateEngine engine(dataDir);
  engine.setInitialOrvaned(dataDir.loadOrvaned());
  // A port file that already says this was made durable when it was written; flushing it
  // again would cost every one-shot run a round trip to the disk.
  const std::string portText = std::to_string(port()) + "\n";
  if (readWholeFile(dataDir.portFile()) != portText)
    writeFileAtomically(dataDir.portFile(), portText, 0666, Durability::flushed);

  if (given("--pairing") || given("--rotate-pairing")) {
    printPairingCard(credential->code());
    return;
  }

  raiseOpenFileLimit();
  // A peer that vanishes while its response is written must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  GuessLimiter limiter;
  Router router(engine, *credential, limiter);
  HTTPServer server(router, port());
  printPairingCard(credential->code());
  print("  Listening on 0.0.0.0:" + std::to_string(port()) + " - Ctrl-C to stop.\n\n");
  std::fflush(stdout);
  // Serves on this thread until the process is terminated.
  server.run();
}

int OrvaneBridgeServerMain::main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + std::min(argc, 1), argv + argc);
  std::optional<Credential> credential;
  try {
    run(arguments, credential);
    return 0;
  } catch (const std::system_error& error) {
    // Decided by the error itself, never by its text: a path that happens to contain "48"
    // (the address-in-use number on some systems) must not pass for a busy port.
    if (error.code() == std::errc::address_in_use) {
      print("Orvane Bridge is already running or port " + std::to_string(port()) + " is in use.\n");
      printPairingCard(credential ? credential->code() : std::string());
      return 0;
    }
    std::fprintf(stderr, "Orvane Bridge failed: %s\n", error.what());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "Orvane Bridge failed: %s\n", error.what());
  } catch (...) {
    std::fputs("Orvane Bridge failed: unknown error\n", stderr);
  }
  return 1;
}

}  // namespace orvane

int main(int argc, char** argv) {
  return orvane::OrvaneBridgeServerMain::main(argc, argv);
}
