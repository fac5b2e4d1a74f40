// The real bridge with a terminal for its standard output prints, below the card, a QR Code
// that a camera reads back as exactly the pairing link. (With a pipe the output is the card
// alone: the program tests compare it byte for byte.)
#include <termios.h>
#if __has_include(<pty.h>)
#include <pty.h>
#else
#include <util.h>  // openpty on the BSDs and macOS
#endif

#include <QImage>

#include "BridgeProcess.hpp"
#include "Files.hpp"
#include "PairingCard.hpp"
#include "QRDecoding.hpp"
#include "TestSupport.hpp"

namespace orvane {
namespace {

// Everything written to the terminal until it ends with `marker` or closes.
std::string readTerminal(int master, std::string_view marker) {
  std::string out;
  const auto deadline = test::Clock::now() + test::kBound;
  pollfd p{master, POLLIN, 0};
  char chunk[4096];
  ssize_t n = 0;
  while (!(marker.size() && out.ends_with(marker)) &&
         ::poll(&p, 1, test::millisecondsLeft(deadline)) > 0 &&
         (n = ::read(master, chunk, sizeof chunk)) > 0)
    out.append(chunk, static_cast<std::size_t>(n));
  return out;
}

// Paints the text as a terminal with a dark theme would (light on dark unless told otherwise),
// in 256-colour cube greys, a half block being one module of 4 x 4 pixels.
QImage paintTerminal(std::string_view text) {
  QImage image(400, 800, QImage::Format_Grayscale8);
  image.fill(40);
  int foreground = 220, background = 40, row = 0, column = 0;
  const auto grey = [](int cube) { return (cube / 36 + cube / 6 % 6 + cube % 6) * 17; };
  const auto paint = [&](int upper, int lower) {
    for (int y = 0; y < 8; ++y) {
      const int v = y < 4 ? upper : lower;
      for (int x = 0; x < 4; ++x)
        image.setPixel(column * 4 + x, row * 8 + y, qRgb(v, v, v));
    }
    ++column;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i, 2) == "\x1b[") {
      const std::size_t end = text.find('m', i);
      const std::string codes(text.substr(i + 2, end - i - 2));
      if (codes == "0")
        foreground = 220, background = 40;
      else if (int f, b; std::sscanf(codes.c_str(), "38;5;%d;48;5;%d", &f, &b) == 2)
        foreground = grey(f - 16), background = grey(b - 16);
      i = end;
    } else if (text[i] == '\n') {
      ++row, column = 0;
    } else if (text.substr(i, 3) == "\u2580" || text.substr(i, 3) == "\u2584" ||
               text.substr(i, 3) == "\u2588") {
      const char which = text[i + 2];
      paint(which == '\x84' ? background : foreground, which == '\x80' ? background : foreground);
      i += 2;
    } else {
      paint(background, background);
    }
  }
  return image;
}

TEST(TerminalQR, EveryCardAtATerminalIsFollowedByTheLinkAsAQRCode) {
  const struct {
    std::vector<std::string> arguments;
    bool portHeld;
  } cases[] = {{{"--pairing"}, false}, {{"--rotate-pairing"}, false}, {{}, false}, {{}, true}};
  for (const auto& c : cases) {
    test::TemporaryDirectory root;
    const std::uint16_t port = test::freePort();
    const std::string portText = std::to_string(port);
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = test::loopbackAddress(port, "0.0.0.0");
    ASSERT_TRUE(!c.portHeld ||
                (::bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                 ::listen(holder, 1) == 0));
    int master = -1, slave = -1;
    termios raw{};
    ::cfmakeraw(&raw);
    ASSERT_EQ(::openpty(&master, &slave, nullptr, &raw, nullptr), 0);
    test::ChildProcess bridge(
        c.arguments, {{"ORVANE_DIR", (root.path() / "d").string()}, {"ORVANE_PORT", portText}},
        [slave] { ::dup2(slave, STDOUT_FILENO); });
    ::close(slave);
    const bool serving = c.arguments.empty() && !c.portHeld;
    const std::string listening = "  Listening on 0.0.0.0:" + portText + " - Ctrl-C to stop.\n\n";
    const std::string out = readTerminal(master, serving ? listening : "");
    ::close(master);
    ::close(holder);

    std::string code = readWholeFile(root.path() / "d" / "token").value_or("\n");
    code.pop_back();
    const std::string host = lanIP() + ":" + portText;
    const std::string before =
        (c.portHeld ? "Orvane Bridge is already running or port " + portText + " is in use.\n"
                    : "") +
        pairingCard(code, host);
    const std::string after = serving ? listening : "";
    ASSERT_TRUE(out.starts_with(before) && out.ends_with(after) &&
                out.size() > before.size() + after.size())
        << out;
    const std::string block = out.substr(before.size(), out.size() - before.size() - after.size());
    EXPECT_EQ(test::decodeQR(paintTerminal(block)),
              QByteArray::fromStdString("orvane://pair?host=" + host + "&code=" + code))
        << block;
  }
}

}  // namespace
}  // namespace orvane
