// A camera needs dark modules on a light ground, and a terminal's own colours may be either way
// round: every line sets both colours itself, from the fixed part of the 256-colour palette
// (themes redefine only the first 16), and resets them before its line feed so that nothing
// bleeds into the rest of the line.
#include "TerminalQR.hpp"

#include <dlfcn.h>
#include <qrencode.h>

namespace orvane {

namespace {

// libqrencode is opened only when a terminal is to get a code. Linked in, it was mapped at
// every start, though most runs, the app's card runs among them, never draw one: ten page
// faults and a few hundred microseconds of a one-shot run's five milliseconds of CPU.
#ifdef __APPLE__
constexpr const char* encoderLibrary = "libqrencode.4.dylib";
#else
constexpr const char* encoderLibrary = "libqrencode.so.4";
#endif

struct Encoder {
  decltype(&QRcode_encodeData) encode = nullptr;
  decltype(&QRcode_free) release = nullptr;
};

// Without the library there is simply no code to draw.
Encoder openEncoder() {
  void* library = ::dlopen(encoderLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr)
    return {};
  Encoder encoder{
      reinterpret_cast<decltype(&QRcode_encodeData)>(::dlsym(library, "QRcode_encodeData")),
      reinterpret_cast<decltype(&QRcode_free)>(::dlsym(library, "QRcode_free"))};
  if (encoder.encode == nullptr || encoder.release == nullptr)
    return {};
  return encoder;
}

constexpr int quietZone = 4;
constexpr std::string_view darkOnLight = "\x1b[38;5;16;48;5;231m";
constexpr std::string_view resetColours = "\x1b[0m";

}  // namespace

std::string terminalQR(std::string_view text) {
  const Encoder encoder = openEncoder();
  if (encoder.encode == nullptr)
    return {};
  QRcode* symbol =
      encoder.encode(static_cast<int>(text.size()),
                     reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M);
  if (symbol == nullptr)
    return {};
  const int modules = symbol->width;
  const auto dark = [&](int x, int y) {
    x -= quietZone;
    y -= quietZone;
    return x >= 0 && y >= 0 && x < modules && y < modules &&
           (symbol->data[y * modules + x] & 1) != 0;
  };

  // The side is odd, so the last line's lower halves lie past the quiet zone: light as well.
  const int side = modules + 2 * quietZone;
  std::string block;
  for (int y = 0; y < side; y += 2) {
    block += "  ";
    block += darkOnLight;
    for (int x = 0; x < side; ++x) {
      const bool upper = dark(x, y);
      const bool lower = dark(x, y + 1);
      block += upper ? (lower ? "\u2588" : "\u2580") : (lower ? "\u2584" : " ");
    }
    block += resetColours;
    block += '\n';
  }
  encoder.release(symbol);
  block += '\n';
  return block;
}

}  // namespace orvane
