// The heart logo: a thick round-ended heart stroke painted with a pink-gold-lavender diagonal
// gradient, and a pink dot on its upper left curve, drawn in code at any size.
#pragma once

#include <QPainter>
#include <QRectF>
#include <QWidget>

namespace orvane {

class LightLogoView : public QWidget {
  Q_OBJECT

 public:
  explicit LightLogoView(QWidget* parent = nullptr);

  // Draws the logo into the largest square centred in `bounds`.
  static void draw(QPainter& painter, const QRectF& bounds);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace orvane
