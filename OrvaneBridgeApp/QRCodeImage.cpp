// The symbol is drawn straight at its final size, one filled square per module, so no scaling
// ever blends neighbouring modules.
#include "QRCodeImage.hpp"

#include <qrencode.h>

#include <QPainter>
#include <memory>

namespace orvane::QRCode {

namespace {
struct FreeSymbol {
  void operator()(QRcode* symbol) const { QRcode_free(symbol); }
};
}  // namespace

QImage image(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  // encodeData takes the bytes as they are (8-bit mode), NUL bytes included.
  const std::unique_ptr<QRcode, FreeSymbol> symbol(QRcode_encodeData(
      static_cast<int>(bytes.size()), reinterpret_cast<const unsigned char*>(bytes.constData()), 0,
      QR_ECLEVEL_M));
  if (!symbol)
    return {};

  const int modules = symbol->width;
  const int side = (modules + 2 * quietZone) * moduleSize;
  QImage picture(side, side, QImage::Format_RGB32);
  picture.fill(Qt::white);
  QPainter painter(&picture);
  for (int y = 0; y < modules; ++y) {
    for (int x = 0; x < modules; ++x) {
      if ((symbol->data[y * modules + x] & 1) != 0) {
        painter.fillRect((x + quietZone) * moduleSize, (y + quietZone) * moduleSize, moduleSize,
                         moduleSize, Qt::black);
      }
    }
  }
  return picture;
}

}  // namespace orvane::QRCode
