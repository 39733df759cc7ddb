// A panel that places its children the way the window was designed: each child is docked to
// one side (keeping its height for top and bottom, its width for left and right), fills what
// is left, or stays where it was put. Docking runs in the order top, bottom, left, right,
// client, each group in the order the children were added, inside the bevel and border.
#pragma once

#include <QFrame>
#include <vector>

namespace comfind {

enum class TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };

class TAlignPanel : public QFrame {
  Q_OBJECT

 public:
  explicit TAlignPanel(QWidget* Parent = nullptr);

  // Lowered outer bevel: a one-pixel sunken edge.
  void SetBevelLowered(bool Value);
  // Free space kept between the panel's edge (inside the bevel) and the docked children.
  void SetBorderWidth(int Value);
  // Adds Child (reparented to this panel) with its docking; its current size is the design size.
  void AddAligned(QWidget* Child, TAlign Align);
  // Places a child at a fixed position inside the panel.
  void AddAt(QWidget* Child, int Left, int Top, int Width, int Height);
  void AlignControls();

 protected:
  void resizeEvent(QResizeEvent* Event) override;

 private:
  struct TItem {
    QWidget* Widget;
    TAlign Align;
    int Size;  // design height (top, bottom) or width (left, right): kept when space is short
  };
  std::vector<TItem> FItems;
  int FBorderWidth = 0;
};

}  // namespace comfind
