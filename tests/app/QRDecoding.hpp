// Reads a QR Code back out of an image with zbar, as a phone camera would.
#pragma once

#include <zbar.h>

#include <QByteArray>
#include <QImage>
#include <optional>

namespace orvane::test {

using namespace zbar;

// The bytes of the one QR Code symbol in `image`, or none if zbar finds none.
inline std::optional<QByteArray> decodeQR(const QImage& image) {
  const QImage gray = image.convertToFormat(QImage::Format_Grayscale8);
  QByteArray pixels;
  for (int y = 0; y < gray.height(); ++y)
    pixels.append(reinterpret_cast<const char*>(gray.constScanLine(y)), gray.width());

  zbar_image_scanner_t* scanner = zbar_image_scanner_create();
  zbar_image_scanner_set_config(scanner, ZBAR_NONE, ZBAR_CFG_ENABLE, 0);
  zbar_image_scanner_set_config(scanner, ZBAR_QRCODE, ZBAR_CFG_ENABLE, 1);
  // Raw bytes, without zbar's guess at a character set.
  zbar_image_scanner_set_config(scanner, ZBAR_QRCODE, ZBAR_CFG_BINARY, 1);
  zbar_image_t* frame = zbar_image_create();
  zbar_image_set_format(frame, zbar_fourcc('Y', '8', '0', '0'));
  zbar_image_set_size(frame, static_cast<unsigned>(gray.width()),
                      static_cast<unsigned>(gray.height()));
  zbar_image_set_data(frame, pixels.constData(), static_cast<unsigned long>(pixels.size()),
                      nullptr);

  std::optional<QByteArray> result;
  if (zbar_scan_image(scanner, frame) > 0) {
    const zbar_symbol_t* symbol = zbar_image_first_symbol(frame);
    result = QByteArray(zbar_symbol_get_data(symbol),
                        static_cast<qsizetype>(zbar_symbol_get_data_length(symbol)));
  }
  zbar_image_destroy(frame);
  zbar_image_scanner_destroy(scanner);
  return result;
}

}  // namespace orvane::test
