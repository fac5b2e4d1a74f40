#include "QRCodeImage.hpp"

#include <gtest/gtest.h>

#include "QRDecoding.hpp"

namespace orvane {
namespace {

TEST(QRCodeImage, ScansBackToExactlyTheLinkBytes) {
  for (const QString& link :
       {QStringLiteral("orvane://pair?host=192.168.1.20:8788&code=amber-fox-river-123456"),
        QStringLiteral("orvane://pair?host=127.0.0.1:8788&code="),
        QStringLiteral("orvane://pair?host=h%C3%A9:1&code=\u00e9t\u00e9-caf\u00e9")})
    EXPECT_EQ(test::decodeQR(QRCode::image(link)), link.toUtf8());
}

TEST(QRCodeImage, EveryModuleIsAWholeTwelvePixelSquare) {
  const QImage picture = QRCode::image(QStringLiteral("orvane://pair?host=10.0.0.1:8788&code=a"));
  const int step = QRCode::moduleSize;
  ASSERT_FALSE(picture.isNull());
  ASSERT_EQ(picture.width(), picture.height());
  ASSERT_EQ(picture.width() % step, 0);
  // A QR Code symbol is 17 + 4 × version modules wide.
  const int modules = picture.width() / step - 2 * QRCode::quietZone;
  EXPECT_GE(modules, 21);
  EXPECT_EQ((modules - 17) % 4, 0);

  const auto dark = [&](int x, int y) { return qGray(picture.pixel(x, y)) < 128; };
  for (int y = 0; y < picture.height(); ++y)
    for (int x = 0; x < picture.width(); ++x)
      ASSERT_EQ(dark(x, y), dark(x - x % step, y - y % step)) << "at " << x << "," << y;

  // The top left finder pattern: a light quiet zone, then a dark ring 7 modules wide.
  const int start = QRCode::quietZone * step;
  for (int x = 0; x < start; ++x)
    EXPECT_FALSE(dark(x, start)) << x;
  int run = 0;
  while (run < picture.width() - start && dark(start + run, start))
    ++run;
  EXPECT_EQ(run, 7 * step);
}

}  // namespace
}  // namespace orvane
