// A picture box: shows an image centred and scaled proportionally to fit, over a transparent
// background.
#pragma once

#include <QImage>
#include <QWidget>

namespace comfind {

class TImageBox : public QWidget {
  Q_OBJECT

 public:
  explicit TImageBox(QWidget* Parent = nullptr) : QWidget(Parent) {}
  void SetPicture(const QImage& Picture);
  const QImage& Picture() const { return FPicture; }
  // Where the picture is drawn inside the box.
  QRect PictureRect() const;

 protected:
  void paintEvent(QPaintEvent* Event) override;

 private:
  QImage FPicture;
};

}  // namespace comfind
