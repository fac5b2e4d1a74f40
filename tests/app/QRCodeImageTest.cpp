#include "QRCodeImage.hpp"

#include <gtest/gtest.h>

#include "AppTestSupport.hpp"
#include "QRDecoding.hpp"

namespace orvane {
namespace {

TEST(QRCodeImage, ScansBackToExactlyTheLinkBytes) {
  for (const QString& link :
       {QStringLiteral("orvane://pair?host=192.168.1.20:8788&code=amber-fox-river-123456"),
        QStringLiteral("orvane://pair?host=127.0.0.1:8788&code="),
        QStringLiteral("orvane://pair?host=h%C3%A9:1&code=\u00e9t\u00e9-caf\u00e9")}) {
    const QImage picture = QRCode::image(link);
    ASSERT_FALSE(picture.isNull()) << link.toStdString();
    EXPECT_EQ(test::decodeQR(picture), link.toUtf8());
  }
}

TEST(QRCodeImage, EveryModuleIsAWholeTwelvePixelSquare) {
  const QImage picture = QRCode::image(QStringLiteral("orvane://pair?host=10.0.0.1:8788&code=a"));
  ASSERT_FALSE(picture.isNull());
  ASSERT_EQ(picture.width(), picture.height());
  ASSERT_EQ(picture.width() % QRCode::moduleSize, 0);
  const int modules = picture.width() / QRCode::moduleSize - 2 * QRCode::quietZone;
  // A QR Code symbol is 17 + 4 × version modules wide.
  EXPECT_GE(modules, 21);
  EXPECT_EQ((modules - 17) % 4, 0);

  const auto dark = [&](int x, int y) { return qGray(picture.pixel(x, y)) < 128; };
  for (int top = 0; top < picture.height(); top += QRCode::moduleSize) {
    for (int left = 0; left < picture.width(); left += QRCode::moduleSize) {
      for (int y = top; y < top + QRCode::moduleSize; ++y)
        for (int x = left; x < left + QRCode::moduleSize; ++x)
          ASSERT_EQ(dark(x, y), dark(left, top)) << "module at " << left << "," << top;
    }
  }

  // The top left finder pattern: a light quiet zone, then a dark ring 7 modules wide.
  const int start = QRCode::quietZone * QRCode::moduleSize;
  for (int x = 0; x < start; ++x)
    EXPECT_FALSE(dark(x, start)) << x;
  int run = 0;
  while (dark(start + run, start))
    ++run;
  EXPECT_EQ(run, 7 * QRCode::moduleSize);
}

}  // namespace
}  // namespace orvane
