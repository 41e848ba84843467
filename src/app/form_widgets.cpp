#include "form_widgets.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QScrollBar>
#include <algorithm>

namespace facset {

// ---- TAlignLayout ----

TAlignLayout::TAlignLayout(QWidget* parent) : QLayout(parent) {
  setContentsMargins(0, 0, 0, 0);
  setSpacing(0);
  setSizeConstraint(QLayout::SetNoConstraint);
}

TAlignLayout::~TAlignLayout() {
  for (Entry& e : entries_) delete e.item;
}

void TAlignLayout::addAligned(QWidget* w, Align side) {
  addChildWidget(w);
  entries_.push_back({new QWidgetItem(w), side});
  invalidate();
}

void TAlignLayout::addItem(QLayoutItem* item) { entries_.push_back({item, Align::Client}); }

QLayoutItem* TAlignLayout::itemAt(int index) const {
  return index >= 0 && index < static_cast<int>(entries_.size()) ? entries_[index].item : nullptr;
}

QLayoutItem* TAlignLayout::takeAt(int index) {
  if (index < 0 || index >= static_cast<int>(entries_.size())) return nullptr;
  QLayoutItem* item = entries_[index].item;
  entries_.erase(entries_.begin() + index);
  return item;
}

int TAlignLayout::count() const { return static_cast<int>(entries_.size()); }

QSize TAlignLayout::sizeHint() const { return minimumSize(); }

QSize TAlignLayout::minimumSize() const {
  // A docked child keeps its own size; the parent may still be made smaller
  // (the children are then cut, as in any classic form).
  return {0, 0};
}

void TAlignLayout::setGeometry(const QRect& rect) {
  QLayout::setGeometry(rect);
  QRect r = contentsRect();
  for (Align pass : {Align::Top, Align::Bottom, Align::Left, Align::Right, Align::Client}) {
    for (Entry& e : entries_) {
      if (e.align != pass) continue;
      QWidget* w = e.item->widget();
      if (w == nullptr || w->isHidden()) continue;
      switch (pass) {
        case Align::Top: {
          const int h = w->height();
          w->setGeometry(r.left(), r.top(), r.width(), h);
          r.setTop(r.top() + h);
          break;
        }
        case Align::Bottom: {
          const int h = w->height();
          w->setGeometry(r.left(), r.bottom() + 1 - h, r.width(), h);
          r.setBottom(r.bottom() - h);
          break;
        }
        case Align::Left: {
          const int wd = w->width();
          w->setGeometry(r.left(), r.top(), wd, std::max(0, r.height()));
          r.setLeft(r.left() + wd);
          break;
        }
        case Align::Right: {
          const int wd = w->width();
          w->setGeometry(r.right() + 1 - wd, r.top(), wd, std::max(0, r.height()));
          r.setRight(r.right() - wd);
          break;
        }
        case Align::Client:
          w->setGeometry(r.left(), r.top(), std::max(0, r.width()), std::max(0, r.height()));
          break;
      }
    }
  }
}

// ---- TPanel ----

TPanel::TPanel(const QString& name, bool bevel, QWidget* parent) : QFrame(parent) {
  setObjectName(name);
  if (bevel) {
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(1);
  } else {
    setFrameStyle(QFrame::NoFrame);
  }
}

void TPanel::setCaption(const QString& text) {
  caption_ = text;
  update();
}

TAlignLayout* TPanel::dock() {
  if (dock_ == nullptr) dock_ = new TAlignLayout(this);
  return dock_;
}

void TPanel::paintEvent(QPaintEvent* e) {
  QFrame::paintEvent(e);
  if (caption_.isEmpty()) return;
  QPainter p(this);
  p.drawText(contentsRect(), Qt::AlignCenter, caption_);
}

// ---- TSplitter ----

TSplitter::TSplitter(const QString& name, QWidget* target, int minSize, QWidget* parent)
    : QWidget(parent), target_(target), minSize_(minSize) {
  setObjectName(name);
  setCursor(Qt::SplitHCursor);
  resize(8, height());
}

void TSplitter::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  dragging_ = true;
  startX_ = static_cast<int>(e->globalPosition().x());
  startWidth_ = target_->width();
}

void TSplitter::mouseMoveEvent(QMouseEvent* e) {
  if (!dragging_) return;
  const int dx = static_cast<int>(e->globalPosition().x()) - startX_;
  QWidget* host = parentWidget();
  // The rest of the parent beside target and splitter keeps at least minSize_.
  const int others = host->contentsRect().width() - target_->width() - width();
  const int maxWidth = std::max(minSize_, target_->width() + others - minSize_);
  const int w = std::clamp(startWidth_ - dx, minSize_, maxWidth);
  if (w == target_->width()) return;
  target_->resize(w, target_->height());
  if (host->layout() != nullptr) host->layout()->setGeometry(host->layout()->geometry());
}

void TSplitter::mouseReleaseEvent(QMouseEvent*) { dragging_ = false; }

// ---- TMyScrollBox ----

TMyScrollBox::TMyScrollBox(const QString& name, QWidget* parent) : QScrollArea(parent) {
  setObjectName(name);
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setFocusPolicy(Qt::ClickFocus);  // it can take the focus, as the wheel needs
  content_ = new QWidget;
  content_->setObjectName(name + "Content");
  setWidget(content_);
  setWidgetResizable(true);
  verticalScrollBar()->setSingleStep(25);
}

void TMyScrollBox::updateExtent() {
  int right = 0;
  int bottom = 0;
  for (QObject* o : content_->children()) {
    auto* w = qobject_cast<QWidget*>(o);
    if (w == nullptr || w->isHidden()) continue;
    if (content_->layout() != nullptr && content_->layout()->indexOf(w) >= 0) {
      bottom = std::max(bottom, w->geometry().bottom() + 1);  // docked: only its height counts
      continue;
    }
    right = std::max(right, w->geometry().right() + 1);
    bottom = std::max(bottom, w->geometry().bottom() + 1);
  }
  content_->setMinimumSize(right, bottom);
}

}  // namespace facset

namespace facset {

// ---- TLabel ----

TLabel::TLabel(const QString& name, const QString& text, QWidget* parent) : QLabel(text, parent) {
  setObjectName(name);
  setTextFormat(Qt::PlainText);
  fit();
}

void TLabel::setAutoSizing(bool on) {
  autoSize_ = on;
  fit();
}

void TLabel::setRightJustified(bool on) {
  right_ = on;
  setAlignment((on ? Qt::AlignRight : Qt::AlignLeft) | (alignment() & Qt::AlignVertical_Mask));
  fit();
}

void TLabel::setCaption(const QString& text) {
  setText(text);
  fit();
}

void TLabel::setGeometry(int x, int y, int w, int h) {
  designTop_ = y;
  designHeight_ = h;
  QLabel::setGeometry(x, y, w, h);
  fit();
}

void TLabel::fit() {
  if (!autoSize_) {
    if (designHeight_ < 0 || !wordWrap()) return;
    const int need = std::max(designHeight_, heightForWidth(width()));
    QLabel::setGeometry(x(), designTop_ - (need - designHeight_) / 2, width(), need);
    return;
  }
  const QSize want = sizeHint();
  if (right_) {
    const int rightEdge = x() + width();
    QLabel::setGeometry(rightEdge - want.width(), y(), want.width(), want.height());
  } else {
    resize(want);
  }
}

// ---- TWrapButton ----

TWrapButton::TWrapButton(const QString& name, const QString& text, QWidget* parent) : QPushButton(text, parent) {
  setObjectName(name);
}

void TWrapButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QStyleOptionButton opt;
  initStyleOption(&opt);
  const QString text = opt.text;
  opt.text.clear();
  style()->drawControl(QStyle::CE_PushButton, &opt, &p, this);
  const QRect r = style()->subElementRect(QStyle::SE_PushButtonContents, &opt, this).adjusted(2, 0, -2, 0);
  p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
  p.drawText(r, Qt::AlignCenter | Qt::TextWordWrap, text);
}

// ---- TWrapCheckBox ----

TWrapCheckBox::TWrapCheckBox(const QString& name, const QString& text, QWidget* parent) : QCheckBox(text, parent) {
  setObjectName(name);
}

void TWrapCheckBox::setCaption(const QString& text) {
  setText(text);
  fit();
}

void TWrapCheckBox::setGeometry(int x, int y, int w, int h) {
  designTop_ = y;
  designHeight_ = h;
  QCheckBox::setGeometry(x, y, w, h);
  fit();
}

int TWrapCheckBox::textLeft() const {
  QStyleOptionButton opt;
  initStyleOption(&opt);
  return style()->subElementRect(QStyle::SE_CheckBoxIndicator, &opt, this).right() + 4;
}

void TWrapCheckBox::fit() {
  if (designHeight_ < 0) return;
  const QRect text = fontMetrics().boundingRect(QRect(0, 0, std::max(1, width() - textLeft()), 10000),
                                                Qt::AlignLeft | Qt::TextWordWrap, this->text());
  const int need = std::max(designHeight_, text.height() + 2);
  QCheckBox::setGeometry(x(), designTop_ - (need - designHeight_) / 2, width(), need);
}

void TWrapCheckBox::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QStyleOptionButton opt;
  initStyleOption(&opt);
  const QString text = opt.text;
  opt.text.clear();
  QStyleOptionButton ind = opt;
  ind.rect = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &opt, this);
  ind.rect.moveTop((height() - ind.rect.height()) / 2);
  style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &ind, &p, this);
  QRect r = rect();
  r.setLeft(textLeft());
  p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
  const int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap;
  p.drawText(r, flags, text);
  if (hasFocus()) {
    QStyleOptionFocusRect fr;
    fr.initFrom(this);
    fr.rect = p.boundingRect(r, flags, text).adjusted(-1, 0, 1, 0) & rect();
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &fr, &p, this);
  }
}

bool TWrapCheckBox::hitButton(const QPoint& pos) const { return rect().contains(pos); }

}  // namespace facset
