// The image is clipped to the rounded card, so its own square corners never show. It is
// scaled without smoothing: a QR code stays black and white, with hard module edges.
#include "RoundedImageView.hpp"

#include <QPainter>
#include <QPainterPath>
#include <utility>

#include "Palette.hpp"

namespace orvane {

RoundedImageView::RoundedImageView(qreal cornerRadius, QWidget* parent)
    : QWidget(parent), cornerRadius_(cornerRadius) {}

void RoundedImageView::setImage(QImage image) {
  image_ = std::move(image);
  update();
}

void RoundedImageView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath card;
  card.addRoundedRect(QRectF(rect()), cornerRadius_, cornerRadius_);
  painter.fillPath(card, palette::white());
  if (image_.isNull())
    return;
  painter.setClipPath(card);
  const QSizeF fitted = QSizeF(image_.size()).scaled(QSizeF(size()), Qt::KeepAspectRatio);
  QRectF target(QPointF(), fitted);
  target.moveCenter(QRectF(rect()).center());
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  painter.drawImage(target, image_);
}

}  // namespace orvane
