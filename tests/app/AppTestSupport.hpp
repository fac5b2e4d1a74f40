// Fixtures shared by the app's tests: a stand-in bridge that reports what happens to it, the app
// launched against it, and a QR Code reader.
#pragma once

#include <sys/wait.h>
#include <unistd.h>
#include <zbar.h>

#include <QImage>
#include <QTest>
#include <csignal>
#include <fstream>
#include <vector>

#include "OrvaneBridgeApp.hpp"
#include "PairingCard.hpp"
#include "TestSupport.hpp"

namespace orvane::test {

inline QString qPath(const std::filesystem::path& path) {
  return QString::fromStdString(path);
}

inline void writeFile(const std::filesystem::path& file, const std::string& text) {
  if (!(std::ofstream(file, std::ios::binary | std::ios::trunc) << text))
    throw std::runtime_error("cannot write " + file.string());
}

// The bytes of the one QR Code symbol in `image`, read by zbar as a phone camera would (raw,
// without zbar's guess at a character set), or none if it finds none.
inline std::optional<QByteArray> decodeQR(const QImage& image) {
  const QImage gray = image.convertToFormat(QImage::Format_Grayscale8);
  QByteArray pixels;
  for (int y = 0; y < gray.height(); ++y)
    pixels.append(reinterpret_cast<const char*>(gray.constScanLine(y)), gray.width());
  zbar::ImageScanner scanner;
  for (const char* setting : {"disable", "qrcode.enable", "qrcode.binary"})
    scanner.set_config(setting);
  zbar::Image frame(gray.width(), gray.height(), "Y800", pixels.constData(), pixels.size());
  if (scanner.scan(frame) <= 0)
    return std::nullopt;
  return QByteArray::fromStdString(frame.symbol_begin()->get_data());
}

// The lines fake bridges append to a log file, in order.
class EventChannel {
 public:
  explicit EventChannel(std::filesystem::path log) : log_(std::move(log)) {}

  // The next line, or none if nothing arrives within `timeoutMs`.
  std::optional<std::string> next(int timeoutMs = 20'000) {
    std::string line;
    const auto arrived = [&] {
      std::ifstream in(log_);
      if (!std::getline(in.seekg(offset_), line) || in.eof())
        return false;  // nothing new, or a line still being written
      offset_ = in.tellg();
      return true;
    };
    return QTest::qWaitFor(arrived, timeoutMs) ? std::optional(line) : std::nullopt;
  }

 private:
  std::filesystem::path log_;
  std::streamoff offset_ = 0;
};

// A resources directory (holding no bridge yet), a stand-in bridge for it and the app. The stand-in
// reports "args N [a] [b]..." for every run; with "--pairing" or "--rotate-pairing" it prints
// the bridge's own card and exits; with no argument it reports "serve PID" and idles until the
// test has ended. A termination request is reported as "TERM PID" and ends it, unless
// `surviveTerm`.
class FakeBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(root_.path() / "card-pairing", pairingCard("amber-fox-1", "10.1.1.1:8788"));
    writeFile(root_.path() / "card-rotate", pairingCard("cedar-owl-2", "10.2.2.2:8788"));
    std::filesystem::create_directory(resources());
  }
  void TearDown() override {
    if (app_ && app_->bridgePid() > 0)
      ::kill(app_->bridgePid(), SIGKILL);
  }
  std::filesystem::path resources() const { return root_.path() / "resources"; }
  void launch() {
    app_ = std::make_unique<OrvaneBridgeApp>(qPath(resources()));
    app_->handleLaunch({});
  }
  void expectCardRunThenServer(const std::string& flag) {
    ASSERT_EQ(events_.next(), "args 1 [" + flag + "]");
    ASSERT_EQ(events_.next(), "args 0");
    ASSERT_EQ(events_.next(), "serve " + std::to_string(app_->bridgePid()));
  }
  void installFakeAt(const std::filesystem::path& executable, bool surviveTerm = false) {
    writeFile(executable, "#!/bin/bash\nroot='" + root_.path().string() +
                              "' survive=" + (surviveTerm ? "1" : "") + R"(
run="args $#"; for argument; do run+=" [$argument]"; done; echo "$run" >>"$root/events"
case "$1" in
  --pairing) cat "$root/card-pairing" ;;
  --rotate-pairing) cat "$root/card-rotate" ;;
  *) trap 'echo "TERM $$" >>"$root/events"; [[ $survive ]] || exit 0' TERM
     echo "serve $$" >>"$root/events"
     # wait, unlike sleep, returns at once for a signal.
     while [[ -d $root ]] && (( SECONDS < 120 )); do sleep 1 & wait $!; done ;;
esac
)");
    std::filesystem::permissions(executable, std::filesystem::perms::owner_all);
  }

  TemporaryDirectory root_;
  EventChannel events_{root_.path() / "events"};
  std::unique_ptr<OrvaneBridgeApp> app_;
};

}  // namespace orvane::test
