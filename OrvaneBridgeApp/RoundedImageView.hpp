// An image shown on a white rounded card: the image is scaled proportionally, up or down, to
// fit the view and centred; without an image only the card shows.
#pragma once

#include <QImage>
#include <QWidget>

namespace orvane {

class RoundedImageView : public QWidget {
  Q_OBJECT

 public:
  explicit RoundedImageView(qreal cornerRadius, QWidget* parent = nullptr);

  void setImage(QImage image);
  const QImage& image() const { return image_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  qreal cornerRadius_;
  QImage image_;
};

}  // namespace orvane
