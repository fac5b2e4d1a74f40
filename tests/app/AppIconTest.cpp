#include "AppIcon.hpp"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QIcon>
#include <QTemporaryDir>

#include "AppTestSupport.hpp"

namespace orvane {
namespace {

const QColor logoPink = QColor::fromRgbF(1.0f, 0.373f, 0.635f);

// Points the icon theme lookup at a directory of the test's own for the test's lifetime.
class ThemeScope {
 public:
  ThemeScope(const QString& searchPath, const QString& themeName)
      : paths_(QIcon::themeSearchPaths()), name_(QIcon::themeName()) {
    QIcon::setThemeSearchPaths({searchPath});
    QIcon::setThemeName(themeName);
  }
  ~ThemeScope() {
    QIcon::setThemeSearchPaths(paths_);
    QIcon::setThemeName(name_);
  }
  ThemeScope(const ThemeScope&) = delete;
  ThemeScope& operator=(const ThemeScope&) = delete;

 private:
  QStringList paths_;
  QString name_;
};

TEST(AppIcon, IsTheLogoOnATransparentSquare) {
  for (const int side : {48, 128, 256}) {
    SCOPED_TRACE(side);
    const QImage image = renderAppIcon(side);
    ASSERT_EQ(image.size(), QSize(side, side));
    EXPECT_TRUE(image.hasAlphaChannel());
    const qreal u = side / 100.0;
    // The pink dot on the upper left curve, and the stroke at the heart's bottom point.
    EXPECT_TRUE(test::colourNear(image.pixelColor(QPointF(44 * u, 20.5 * u).toPoint()), logoPink));
    EXPECT_EQ(image.pixelColor(QPointF(50 * u, 84 * u).toPoint()).alpha(), 255);
    for (const QPoint clear :
         {QPoint(0, 0), QPoint(side - 1, side - 1), QPoint(side / 2, side / 2)})
      EXPECT_EQ(image.pixelColor(clear).alpha(), 0) << clear.x();
  }
  EXPECT_TRUE(renderAppIcon(0).isNull());
}

TEST(AppIcon, FallsBackToTheDrawnLogoWithoutAThemeIcon) {
  QTemporaryDir empty;
  ASSERT_TRUE(empty.isValid());
  ThemeScope scope(empty.path(), QStringLiteral("orvane-empty-theme"));
  const QImage image = appIcon().pixmap(48, 48).toImage();
  ASSERT_EQ(image.size(), QSize(48, 48));
  EXPECT_TRUE(
      test::colourNear(image.pixelColor(QPointF(44 * 0.48, 20.5 * 0.48).toPoint()), logoPink));
}

TEST(AppIcon, PrefersTheInstalledThemeIcon) {
  QTemporaryDir themes;
  ASSERT_TRUE(themes.isValid());
  const QString theme = themes.path() + QStringLiteral("/orvane-test-theme");
  ASSERT_TRUE(QDir().mkpath(theme + QStringLiteral("/48x48/apps")));
  QFile index(theme + QStringLiteral("/index.theme"));
  ASSERT_TRUE(index.open(QIODevice::WriteOnly));
  index.write(
      "[Icon Theme]\nName=Test\nDirectories=48x48/apps\n\n[48x48/apps]\nSize=48\nType=Fixed\n");
  index.close();
  QImage green(48, 48, QImage::Format_ARGB32);
  green.fill(Qt::green);
  ASSERT_TRUE(green.save(theme + QStringLiteral("/48x48/apps/OrvaneBridgeApp.png")));

  ThemeScope scope(themes.path(), QStringLiteral("orvane-test-theme"));
  EXPECT_EQ(appIcon().pixmap(48, 48).toImage().pixelColor(24, 24), QColor(Qt::green));
}

}  // namespace
}  // namespace orvane
