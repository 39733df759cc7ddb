#include "ui/qt/AlignPanel.h"

#include <QResizeEvent>

namespace comfind {

TAlignPanel::TAlignPanel(QWidget* Parent) : QFrame(Parent) {
  setFrameStyle(QFrame::NoFrame);
}

void TAlignPanel::SetBevelLowered(bool Value) {
  setFrameStyle(Value ? (QFrame::Panel | QFrame::Sunken) : QFrame::NoFrame);
  setLineWidth(1);
  AlignControls();
}

void TAlignPanel::SetBorderWidth(int Value) {
  FBorderWidth = Value;
  AlignControls();
}

void TAlignPanel::AddAligned(QWidget* Child, TAlign Align) {
  Child->setParent(this);
  const bool Vertical = Align == TAlign::alTop || Align == TAlign::alBottom;
  FItems.push_back({Child, Align, Vertical ? Child->height() : Child->width()});
  AlignControls();
}

void TAlignPanel::AddAt(QWidget* Child, int Left, int Top, int Width, int Height) {
  Child->setParent(this);
  Child->setGeometry(Left, Top, Width, Height);
}

void TAlignPanel::resizeEvent(QResizeEvent* Event) {
  QFrame::resizeEvent(Event);
  AlignControls();
}

void TAlignPanel::AlignControls() {
  QRect R = contentsRect().adjusted(FBorderWidth, FBorderWidth, -FBorderWidth, -FBorderWidth);
  for (TAlign Pass :
       {TAlign::alTop, TAlign::alBottom, TAlign::alLeft, TAlign::alRight, TAlign::alClient}) {
    for (const TItem& Item : FItems) {
      if (Item.Align != Pass || Item.Widget->isHidden()) continue;
      QWidget* W = Item.Widget;
      switch (Pass) {
        case TAlign::alTop: {
          const int H = std::min(Item.Size, std::max(0, R.height()));
          W->setGeometry(R.left(), R.top(), R.width(), H);
          R.setTop(R.top() + H);
          break;
        }
        case TAlign::alBottom: {
          const int H = std::min(Item.Size, std::max(0, R.height()));
          W->setGeometry(R.left(), R.bottom() + 1 - H, R.width(), H);
          R.setBottom(R.bottom() - H);
          break;
        }
        case TAlign::alLeft: {
          const int Wd = std::min(Item.Size, std::max(0, R.width()));
          W->setGeometry(R.left(), R.top(), Wd, R.height());
          R.setLeft(R.left() + Wd);
          break;
        }
        case TAlign::alRight: {
          const int Wd = std::min(Item.Size, std::max(0, R.width()));
          W->setGeometry(R.right() + 1 - Wd, R.top(), Wd, R.height());
          R.setRight(R.right() - Wd);
          break;
        }
        case TAlign::alClient:
          W->setGeometry(R);
          break;
        case TAlign::alNone:
          break;
      }
    }
  }
}

}  // namespace comfind
