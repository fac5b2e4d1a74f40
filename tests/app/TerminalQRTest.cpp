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

#include "AppTestSupport.hpp"
#include "BridgeProcess.hpp"
#include "Files.hpp"
#include "PairingCard.hpp"
#include "TestSupport.hpp"

namespace orvane {
namespace {

// Everything written to the terminal until it ends with `marker` or closes.
std::string readTerminal(int master, std::string_view marker) {
  std::string out;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + test::kBound;
  const auto left = [&] {
    return static_cast<int>(std::max<long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
  };
  pollfd p{master, POLLIN, 0};
  char chunk[4096];
  ssize_t n = 0;
  while (!(marker.size() && out.ends_with(marker)) && ::poll(&p, 1, left()) > 0 &&
         (n = ::read(master, chunk, sizeof chunk)) > 0)
    out.append(chunk, static_cast<std::size_t>(n));
  return out;
}

// Paints the text as a terminal with a dark theme would (light on dark unless told otherwise),
// in greys of the 256-colour cube, one pixel per module scaled by 4.
QImage paintTerminal(std::string_view text) {
  QImage image(100, 200, QImage::Format_Grayscale8);
  image.fill(40);
  int foreground = 220, background = 40, x = 0, y = 0;
  const auto grey = [](int cube) { return (cube / 36 + cube / 6 % 6 + cube % 6) * 17; };
  const auto shade = [&](int dy, bool dark) {
    const int v = dark ? foreground : background;
    image.setPixel(x, y + dy, qRgb(v, v, v));
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (int f = 0, b = 0; text.substr(i, 2) == "\x1b[") {
      const std::size_t end = text.find('m', i);
      const std::string codes(text.substr(i, end - i));
      const bool set = std::sscanf(codes.c_str(), "\x1b[38;5;%d;48;5;%d", &f, &b) == 2;
      foreground = set ? grey(f - 16) : 220;
      background = set ? grey(b - 16) : 40;
      i = end;
    } else if (text[i] == '\n') {
      x = 0, y += 2;
    } else {
      // U+2580 upper half, U+2584 lower half, U+2588 full block: E2 96 80, 84, 88.
      const char block = text.substr(i, 2) == "\xe2\x96" ? text[i + 2] : ' ';
      shade(0, block == '\x80' || block == '\x88');
      shade(1, block == '\x84' || block == '\x88');
      ++x;
      i += block == ' ' ? 0 : 2;
    }
  }
  return image.scaled(image.width() * 4, image.height() * 4);
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
