// The pairing link as a QR Code picture a phone can scan.
#pragma once

#include <QImage>
#include <QString>

namespace orvane::QRCode {

// Pixels per module side: every module is a whole square of this size.
inline constexpr int moduleSize = 12;
// Light modules around the symbol on each side.
inline constexpr int quietZone = 2;

// The QR Code symbol (error correction M) of the UTF-8 bytes of `text`, dark modules on a light
// background, each module moduleSize × moduleSize pixels, the quiet zone included. A null
// image when no symbol can be made.
QImage image(const QString& text);

}  // namespace orvane::QRCode
