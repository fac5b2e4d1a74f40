#include "LightLogoView.hpp"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "AppTestSupport.hpp"

namespace orvane {
namespace {

const QColor pink = QColor::fromRgbF(1.0f, 0.373f, 0.635f);

QImage render(int width, int height) {
  LightLogoView view;
  view.resize(width, height);
  QImage image(width, height, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
  return image;
}

// The colour the gradient gives at design point (x, y): pink at (12, 88), gold at 54 % of the
// way, lavender at (88, 12).
QColor gradientAt(double x, double y) {
  const double t = ((x - 12) * 76 + (y - 88) * -76) / (2 * 76.0 * 76.0);
  const QColor gold = QColor::fromRgbF(1.0f, 0.847f, 0.38f);
  const QColor lavender = QColor::fromRgbF(0.725f, 0.655f, 1.0f);
  const auto mix = [](const QColor& a, const QColor& b, double f) {
    return QColor::fromRgbF(static_cast<float>(a.redF() + (b.redF() - a.redF()) * f),
                            static_cast<float>(a.greenF() + (b.greenF() - a.greenF()) * f),
                            static_cast<float>(a.blueF() + (b.blueF() - a.blueF()) * f));
  };
  return t < 0.54 ? mix(pink, gold, t / 0.54) : mix(gold, lavender, (t - 0.54) / 0.46);
}

QColor at(const QImage& image, QPointF point) {
  return image.pixelColor(point.toPoint());
}

TEST(LightLogoView, StrokeCarriesTheDiagonalGradient) {
  const QImage image = render(100, 100);
  // Points on the heart's path, from the pink end of the axis to the lavender end.
  for (const QPointF design : {QPointF(50, 85.5), QPointF(13.5, 37), QPointF(33.5, 17),
                               QPointF(66.5, 17), QPointF(86.5, 37)})
    EXPECT_TRUE(test::colourNear(at(image, design), gradientAt(design.x(), design.y())))
        << design.x() << "," << design.y();
}

TEST(LightLogoView, DotIsPinkAndInsideAndCornersStayClear) {
  const QImage image = render(104, 104);
  EXPECT_TRUE(test::colourNear(at(image, QPointF(44 * 1.04, 20.5 * 1.04)), pink));
  // The heart is an outline: its middle, and everything outside it, stays transparent.
  for (const QPoint clear : {QPoint(52, 52), QPoint(0, 0), QPoint(103, 0), QPoint(0, 103),
                             QPoint(103, 103), QPoint(52, 2)})
    EXPECT_EQ(image.pixelColor(clear).alpha(), 0) << clear.x() << "," << clear.y();
}

TEST(LightLogoView, StrokeIsSixAndAHalfPercentOfTheSideWide) {
  const QImage image = render(200, 200);
  // Across the left side of the heart at design height 37: 13 px at a side of 200.
  int painted = 0;
  for (int x = 0; x < 100; ++x)
    painted += image.pixelColor(x, 74).alpha() > 127 ? 1 : 0;
  EXPECT_NEAR(painted, 13, 1);
}

TEST(LightLogoView, NonSquareBoundsCentreTheLargestSquare) {
  const QImage image = render(200, 104);  // the square spans x 48 to 152
  EXPECT_TRUE(test::colourNear(at(image, QPointF(48 + 44 * 1.04, 20.5 * 1.04)), pink));
  EXPECT_TRUE(
      test::colourNear(at(image, QPointF(48 + 13.5 * 1.04, 37 * 1.04)), gradientAt(13.5, 37)));
  for (int y = 0; y < 104; ++y)
    for (int x : {0, 20, 47, 153, 180, 199})
      ASSERT_EQ(image.pixelColor(x, y).alpha(), 0) << x << "," << y;
}

TEST(LightLogoView, ZeroSizeDrawsNothing) {
  QImage image(50, 50, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  const QImage blank = image;
  {
    QPainter painter(&image);
    LightLogoView::draw(painter, QRectF(0, 0, 0, 50));
  }
  EXPECT_TRUE(image == blank);
}

}  // namespace
}  // namespace orvane
