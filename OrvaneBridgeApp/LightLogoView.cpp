// All geometry is given on a 100 × 100 design grid, (0, 0) top left, mapped onto the largest
// square centred in the view; the stroke width and the dot scale with that square's side s.
#include "LightLogoView.hpp"

#include <QLinearGradient>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <algorithm>

#include "Palette.hpp"

namespace orvane {

namespace {

const QColor& logoPink() {
  static const QColor colour = QColor::fromRgbF(1.0f, 0.373f, 0.635f, 1.0f);
  return colour;
}

const QColor& logoGold() {
  static const QColor colour = QColor::fromRgbF(1.0f, 0.847f, 0.38f, 1.0f);
  return colour;
}

}  // namespace

LightLogoView::LightLogoView(QWidget* parent) : QWidget(parent) {}

void LightLogoView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  draw(painter, QRectF(rect()));
}

void LightLogoView::draw(QPainter& painter, const QRectF& bounds) {
  const qreal s = std::min(bounds.width(), bounds.height());
  if (s <= 0)
    return;
  const qreal u = s / 100;
  const qreal ox = bounds.center().x() - s / 2;
  const qreal oy = bounds.center().y() - s / 2;
  const auto point = [&](qreal x, qreal y) { return QPointF(ox + x * u, oy + y * u); };

  // Open path: the last curve ends where the first began, and the round caps close the top.
  // Qt's stroker takes a subpath whose ends coincide for a closed one and joins them, which
  // turns the reversal at the top into a long mitre spike; ending a hair's breadth away keeps
  // the path open (invisible: 0.001 of a design unit).
  QPainterPath heart(point(50, 32));
  heart.cubicTo(point(50, 23), point(58, 17), point(66.5, 17));
  heart.cubicTo(point(78.5, 17), point(86.5, 25.5), point(86.5, 37));
  heart.cubicTo(point(86.5, 54), point(68, 70), point(50, 85.5));
  heart.cubicTo(point(32, 70), point(13.5, 54), point(13.5, 37));
  heart.cubicTo(point(13.5, 25.5), point(21.5, 17), point(33.5, 17));
  heart.cubicTo(point(42, 17), point(50, 23), point(50, 32.001));

  QPainterPathStroker stroker;
  stroker.setWidth(0.065 * s);
  stroker.setCapStyle(Qt::RoundCap);
  // The usual defaults of vector drawing libraries: a mitred point at the bottom of the heart.
  stroker.setJoinStyle(Qt::MiterJoin);
  stroker.setMiterLimit(10);
  QPainterPath stroke = stroker.createStroke(heart);
  stroke.setFillRule(Qt::WindingFill);

  // The whole stroke lies between the two ends of the axis, so padding beyond them never shows.
  QLinearGradient gradient(point(12, 88), point(88, 12));
  gradient.setColorAt(0, logoPink());
  gradient.setColorAt(0.54, logoGold());
  gradient.setColorAt(1, palette::lavender());

  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.fillPath(stroke, gradient);
  const qreal radius = 0.046 * s;
  painter.setBrush(logoPink());
  painter.drawEllipse(
      QRectF(point(44, 20.5) - QPointF(radius, radius), QSizeF(2 * radius, 2 * radius)));
  painter.restore();
}

}  // namespace orvane
