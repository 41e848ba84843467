#pragma once
// Small widgets that give the window its classic form layout: children docked
// to the top, bottom, left or right edge of their parent or filling the rest,
// bevelled panels, a splitter that drags the width of a docked neighbour, and
// the scroll box of the parameter area.

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QString>
#include <vector>

namespace facset {

enum class Align { Top, Bottom, Left, Right, Client };

// Docks its widgets in the classic order: all Top ones from the top edge down,
// then Bottom ones from the bottom up, then Left, Right, and Client takes what
// is left. A docked widget keeps its own height (Top/Bottom) or width
// (Left/Right) and is stretched along the edge.
class TAlignLayout : public QLayout {
 public:
  explicit TAlignLayout(QWidget* parent);
  ~TAlignLayout() override;

  void addAligned(QWidget* w, Align side);

  void addItem(QLayoutItem* item) override;
  QLayoutItem* itemAt(int index) const override;
  QLayoutItem* takeAt(int index) override;
  int count() const override;
  QSize sizeHint() const override;
  QSize minimumSize() const override;
  void setGeometry(const QRect& rect) override;

 private:
  struct Entry {
    QLayoutItem* item;
    Align align;
  };
  std::vector<Entry> entries_;
};

// A panel: optionally a one-pixel raised bevel that insets docked children,
// and an optional centred caption.
class TPanel : public QFrame {
  Q_OBJECT
 public:
  TPanel(const QString& name, bool bevel, QWidget* parent);
  const QString& caption() const { return caption_; }
  void setCaption(const QString& text);
  TAlignLayout* dock();  // created on first use

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  QString caption_;
  TAlignLayout* dock_ = nullptr;
};

// A vertical bar that changes the width of the Right-docked `target` when
// dragged; `target` never shrinks below `minSize`, nor leaves less than
// `minSize` for the rest of the parent.
class TSplitter : public QWidget {
  Q_OBJECT
 public:
  TSplitter(const QString& name, QWidget* target, int minSize, QWidget* parent);
  QSize sizeHint() const override { return {8, 8}; }

 protected:
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;

 private:
  QWidget* target_;
  int minSize_;
  bool dragging_ = false;
  int startX_ = 0;
  int startWidth_ = 0;
};

// The scroll box of the parameter area. Its content is a plain widget whose
// children are placed by the window; the scroll range follows the lowest and
// rightmost child. The vertical position is in pixels.
class TMyScrollBox : public QScrollArea {
  Q_OBJECT
 public:
  TMyScrollBox(const QString& name, QWidget* parent);
  QWidget* content() const { return content_; }
  // Recomputes the scroll range from the content's children.
  void updateExtent();

 private:
  QWidget* content_;
};

// A label that, like a classic form label, sizes itself to its text unless
// told not to; a right-justified one keeps its right edge while doing so.
class TLabel : public QLabel {
  Q_OBJECT
 public:
  TLabel(const QString& name, const QString& text, QWidget* parent);
  void setAutoSizing(bool on);
  void setRightJustified(bool on);
  void setCaption(const QString& text);
  // Fixed size: word-wrapped text that needs more height than the label has
  // makes it grow about its vertical centre.
  void setGeometry(int x, int y, int w, int h);

 private:
  void fit();
  int designTop_ = -1;
  int designHeight_ = -1;
  bool autoSize_ = true;
  bool right_ = false;
};

// A push button whose caption wraps onto several lines when it is too wide.
class TWrapButton : public QPushButton {
  Q_OBJECT
 public:
  TWrapButton(const QString& name, const QString& text, QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* e) override;
};

// A check box whose caption wraps onto several lines when it is too wide.
class TWrapCheckBox : public QCheckBox {
  Q_OBJECT
 public:
  TWrapCheckBox(const QString& name, const QString& text, QWidget* parent);
  // Sets the caption; when the wrapped caption needs more height than the box
  // has, the box grows about its vertical centre (fonts differ in line height).
  void setCaption(const QString& text);
  void setGeometry(int x, int y, int w, int h);

 protected:
  void paintEvent(QPaintEvent* e) override;
  bool hitButton(const QPoint& pos) const override;

 private:
  int textLeft() const;
  void fit();
  int designTop_ = -1;
  int designHeight_ = -1;
};

}  // namespace facset
