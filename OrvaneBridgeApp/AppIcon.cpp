// The theme is asked first so that an installed (or user-overridden) icon wins; the drawn
// fallback keeps a build-tree run, or a desktop without the hicolor theme, from showing none.
#include "AppIcon.hpp"

#include <QPainter>
#include <QPixmap>

#include "LightLogoView.hpp"

namespace orvane {

QImage renderAppIcon(int side) {
  if (side < 1)
    return {};
  QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  LightLogoView::draw(painter, QRectF(0, 0, side, side));
  painter.end();
  return image;
}

QIcon appIcon() {
  QIcon drawn;
  for (const int side : {16, 32, 48, 128, 256})
    drawn.addPixmap(QPixmap::fromImage(renderAppIcon(side)));
  return QIcon::fromTheme(appIconName, drawn);
}

}  // namespace orvane
