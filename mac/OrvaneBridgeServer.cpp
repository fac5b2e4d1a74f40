// The spine of the bridge program. Start-up runs in a fixed order: data directory, the
// "--data-dir" answer, pairing code, orvaned flag, port file, then either the one-shot card
// or the server. Failures travel up as exceptions and only main reports them, with one of two
// outcomes: a port held by someone else is a normal exit with a hint, anything else exits 1.
// There are no signal handlers: a running server ends when it is terminated.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "DataDirectory.hpp"
#include "Files.hpp"
#include "HTTPServer.hpp"
#include "PairingCard.hpp"
#include "PairingCode.hpp"
#include "Settings.hpp"
#include "StateEngine.hpp"

namespace orvane {

namespace {

void print(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

// The data directory as the user should see it: absolute, without a trailing slash.
std::string displayedDataDir() {
  std::filesystem::path dir = dataDir();
  if (dir.is_relative())
    dir = std::filesystem::current_path() / dir;
  std::string text = dir.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/')
    text.pop_back();
  return text;
}

}  // namespace

struct OrvaneBridgeServerMain {
  static int main(int argc, char** argv);
  static void run(const std::vector<std::string_view>& arguments);
};

void OrvaneBridgeServerMain::run(const std::vector<std::string_view>& arguments) {
  const auto given = [&](std::string_view option) {
    return std::find(arguments.begin(), arguments.end(), option) != arguments.end();
  };

  ensureDataDir();
  if (given("--data-dir")) {
    print(displayedDataDir() + "\n");
    return;
  }

  setToken(given("--rotate-pairing") ? rotateToken() : loadOrCreateToken());
  engine().setInitialOrvaned(loadOrvaned());
  // A port file that already says this was made durable when it was written; flushing it
  // again would cost every one-shot run a round trip to the disk.
  const std::string portText = std::to_string(port()) + "\n";
  if (readWholeFile(portFile()) != portText)
    writeFileAtomically(portFile(), portText, 0666, Durability::flushed);

  if (given("--pairing") || given("--rotate-pairing")) {
    printPairingCard(token());
    return;
  }

  HTTPServer server;
  server.start();
  printPairingCard(token());
  print("  Listening on 0.0.0.0:" + std::to_string(port()) + " - Ctrl-C to stop.\n\n");
  std::fflush(stdout);
  // Everything else happens on the server's threads; this thread only keeps the process up.
  for (;;)
    ::pause();
}

int OrvaneBridgeServerMain::main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + std::min(argc, 1), argv + argc);
  try {
    run(arguments);
    return 0;
  } catch (const std::system_error& error) {
    // Decided by the error itself, never by its text: a path that happens to contain "48"
    // (the address-in-use number on some systems) must not pass for a busy port.
    if (error.code() == std::errc::address_in_use) {
      print("Orvane Bridge is already running or port " + std::to_string(port()) + " is in use.\n");
      printPairingCard(token());
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
