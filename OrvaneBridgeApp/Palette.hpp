// The window's colours, shared by the window and the logo. Each is made once, on first use.
#pragma once

#include <QColor>

namespace orvane::palette {

inline const QColor& cream() {
  static const QColor colour = QColor::fromRgbF(0.98f, 0.965f, 0.945f, 1.0f);
  return colour;
}

inline const QColor& plum() {
  static const QColor colour = QColor::fromRgbF(0.169f, 0.129f, 0.251f, 1.0f);
  return colour;
}

inline const QColor& lavender() {
  static const QColor colour = QColor::fromRgbF(0.725f, 0.655f, 1.0f, 1.0f);
  return colour;
}

inline const QColor& sage() {
  static const QColor colour = QColor::fromRgbF(0.561f, 0.725f, 0.588f, 1.0f);
  return colour;
}

inline const QColor& white() {
  static const QColor colour = QColor::fromRgbF(1.0f, 1.0f, 1.0f, 1.0f);
  return colour;
}

// The badge's text when the bridge is not serving the code shown: readable on the badge's
// white card, unlike the sage of a running bridge.
inline const QColor& warning() {
  static const QColor colour = QColor::fromRgbF(0.698f, 0.329f, 0.161f, 1.0f);
  return colour;
}

// The same colour with its alpha replaced.
inline QColor withAlpha(const QColor& colour, float alpha) {
  QColor result = colour;
  result.setAlphaF(alpha);
  return result;
}

}  // namespace orvane::palette
