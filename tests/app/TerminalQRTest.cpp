// The real bridge with a terminal for its standard output prints, below the card, a QR Code
// that a camera reads back as exactly the pairing link. (With a pipe the output is the card
// alone: the program tests compare every card the bridge prints, all from one printer.)
#include <termios.h>
#if __has_include(<pty.h>)
#include <pty.h>
#else
#include <util.h>  // openpty on the BSDs and macOS
#endif

#include "AppTestSupport.hpp"
#include "BridgeProcess.hpp"
#include "Files.hpp"
#include "PairingCard.hpp"

namespace orvane {
namespace {

// Paints the text as a terminal with a dark theme would (light on dark unless told otherwise),
// in greys of the 256-colour cube, one pixel per module scaled by 4.
QImage paintTerminal(std::string_view text) {
  QImage image(100, 200, QImage::Format_Grayscale8);
  image.fill(40);
  int foreground = 220, background = 40, x = 0, y = 0;
  const auto grey = [](int cube) { return (cube / 36 + cube / 6 % 6 + cube % 6) * 17; };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (int f = 0, b = 0; text[i] == '\x1b') {
      const std::size_t end = text.find('m', i);
      const bool set = std::sscanf(std::string(text.substr(i, end - i)).c_str(),
                                   "\x1b[38;5;%d;48;5;%d", &f, &b) == 2;
      foreground = set ? grey(f - 16) : 220;
      background = set ? grey(b - 16) : 40;
      i = end;
    } else if (text[i] == '\n') {
      x = 0, y += 2;
    } else {
      // U+2580 upper half, U+2584 lower half, U+2588 full block: E2 96 80, 84, 88.
      const char block = text[i] == '\xe2' ? text[i += 2] : ' ';
      for (const int half : {0, 1}) {
        const int v =
            block == (half ? '\x84' : '\x80') || block == '\x88' ? foreground : background;
        image.setPixel(x, y + half, qRgb(v, v, v));
      }
      ++x;
    }
  }
  return image.scaled(image.width() * 4, image.height() * 4);
}

TEST(TerminalQR, ACardAtATerminalIsFollowedByTheLinkAsAQRCode) {
  test::TemporaryDirectory root;
  int master = -1, slave = -1;
  termios raw{};
  ::cfmakeraw(&raw);
  ASSERT_EQ(::openpty(&master, &slave, nullptr, &raw, nullptr), 0);
  test::ChildProcess bridge({"--pairing"},
                            {{"ORVANE_DIR", (root.path() / "d").string()}, {"ORVANE_PORT", "8788"}},
                            [slave] { ::dup2(slave, STDOUT_FILENO); });
  ::close(slave);
  std::string out;  // until the bridge has exited and the terminal closes
  pollfd p{master, POLLIN, 0};
  char chunk[4096];
  for (ssize_t n; ::poll(&p, 1, 60'000) > 0 && (n = ::read(master, chunk, sizeof chunk)) > 0;)
    out.append(chunk, static_cast<std::size_t>(n));
  ::close(master);

  std::string code = readWholeFile(root.path() / "d" / "token").value_or("\n");
  code.pop_back();
  const std::string host = lanIP() + ":8788", card = pairingCard(code, host);
  ASSERT_TRUE(out.starts_with(card) && out.size() > card.size()) << out;
  EXPECT_EQ(test::decodeQR(paintTerminal(std::string_view(out).substr(card.size()))),
            QByteArray::fromStdString("orvane://pair?host=" + host + "&code=" + code))
      << out;
}

}  // namespace
}  // namespace orvane
