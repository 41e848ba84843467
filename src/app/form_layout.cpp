// The window's fixed layout: fonts, geometry, docking and the handlers'
// wiring, and its placement when first shown.
#include "main_form.h"

#include <QApplication>
#include <algorithm>
#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QTextEdit>
#include <QTimer>
#include <QWheelEvent>
#include <tuple>

#include "app/form_parts.h"
#include "app/form_widgets.h"
#include "app/ui_text.h"
#include "lang/lang.h"

namespace facset {

namespace {

constexpr int kClientWidth = 928;   // 944 x 636 outside with a usual frame
constexpr int kClientHeight = 597;
constexpr int kOuterWidth = 944;
constexpr int kOuterHeight = 636;

// The families of `wanted` that are installed, in order: a family that is not
// installed would otherwise be "substituted" by whatever the system likes.
QStringList Installed(const QStringList& wanted) {
  QStringList out;
  for (const QString& f : wanted) {
    if (QFontDatabase::hasFamily(f)) out << f;
  }
  return out.isEmpty() ? wanted : out;
}

}  // namespace

namespace form {

QFont ArialFont(int pixels) {
  static const QStringList families =
      Installed({"Arial", "Liberation Sans", "Nimbus Sans", "Helvetica", "DejaVu Sans", "WenQuanYi Zen Hei"});
  QFont f;
  f.setFamilies(families);
  f.setStyleHint(QFont::SansSerif);
  f.setPixelSize(pixels);
  return f;
}

QFont ArialPoints(int points) {
  QFont f = ArialFont(12);
  f.setPointSize(points);
  return f;
}

QFont SongFont(int pixels) {
  static const QStringList families = Installed({"SimSun", QString::fromUtf8("宋体"), "NSimSun", "WenQuanYi Zen Hei Mono",
                                                 "Noto Sans Mono CJK SC", "DejaVu Sans Mono"});
  QFont f;
  f.setFamilies(families);
  f.setStyleHint(QFont::TypeWriter);
  f.setPixelSize(pixels);
  return f;
}

void SelectQuietly(QComboBox* c, int index) {
  const QSignalBlocker block(c);
  c->setCurrentIndex(index >= 0 && index < c->count() ? index : -1);
}

}  // namespace form

using namespace form;

template <class W>
W* TMainForm::Own(W* w) {
  layoutControls_.emplace_back(w);
  return w;
}

// Sees every wheel event of the application and hands those of this window
// to it: the window decides by the focus, not by the mouse position.
class TMainForm::WheelFilter : public QObject {
 public:
  explicit WheelFilter(TMainForm* form) : QObject(form), form_(form) {}
  bool eventFilter(QObject* watched, QEvent* e) override {
    return e->type() == QEvent::Wheel && form_->HandleWheel(watched, static_cast<QWheelEvent*>(e));
  }

 private:
  TMainForm* form_;
};

TMainForm::TMainForm(const QStringList& args, QWidget* parent) : QWidget(parent) {
  setObjectName("MainForm");
  setAttribute(Qt::WA_DeleteOnClose, false);
  setWindowTitle(QString::fromUtf8(kApplicationTitleUtf8));
  setFont(ArialFont(13));
  setAutoFillBackground(true);
  resize(kClientWidth, kClientHeight);
  CreateLayout();
  wheelFilter_ = new WheelFilter(this);
  qApp->installEventFilter(wheelFilter_);
  Guard([&] { FormCreate(args); });
}

TMainForm::~TMainForm() {
  qApp->removeEventFilter(wheelFilter_);
  // FormDestroy: the generated rows go first, then the tool configuration.
  ClearParamControls();
  CloseToolConfig();
}

void TMainForm::CreateLayout() {
  auto* dock = new TAlignLayout(this);
  BuildConnectionGroup(dock);
  Panel1 = Own(new TPanel("Panel1", false, this));
  dock->addAligned(Panel1, Align::Client);
  BuildCommandButtons();
  BuildRightColumn();
  Splitter1 = Own(new TSplitter("Splitter1", Panel4, 30, Panel1));
  Splitter1->resize(8, 100);
  Panel1->dock()->addAligned(Splitter1, Align::Right);
  BuildParameterArea();
  NameControls();
  WireHandlers();
}

void TMainForm::BuildConnectionGroup(TAlignLayout* dock) {
  GrpIPSet = Own(new QGroupBox(QString::fromUtf8("IP/com设置"), this));
  GrpIPSet->setObjectName("GrpIPSet");
  GrpIPSet->resize(kClientWidth, 54);
  dock->addAligned(GrpIPSet, Align::Top);
  Label1 = Own(new TLabel("Label1", "IP", GrpIPSet));
  Label1->move(19, 24);
  edtIP = Own(new QLineEdit(GrpIPSet));
  edtIP->setObjectName("edtIP");
  edtIP->setGeometry(40, 20, 106, 24);
  chkUseCom = Own(new TWrapCheckBox("chkUseCom", QString::fromUtf8("使用串口"), GrpIPSet));
  chkUseCom->setGeometry(208, 23, 101, 17);
  CboxCom = Own(new QComboBox(GrpIPSet));
  CboxCom->setObjectName("CboxCom");
  CboxCom->setGeometry(315, 18, 105, CboxCom->sizeHint().height());
  CboxCom->setEnabled(false);
}

void TMainForm::BuildCommandButtons() {
  Panel3 = Own(new TPanel("Panel3", true, Panel1));
  Panel3->setFont(ArialFont(12));
  Panel3->resize(kClientWidth, 62);
  Panel1->dock()->addAligned(Panel3, Align::Bottom);
  struct ButtonDef {
    TWrapButton** slot;
    const char* name;
    const char* caption;
    int left;
  };
  const ButtonDef buttons[] = {
      {&btnopen, "btnopen", "打开参数文件", 34},     {&Button2, "Button2", "参数保存", 155},
      {&btsave, "btsave", "参数另存", 276},          {&btnDispValue, "btnDispValue", "显示设定值", 397},
      {&btnDownload, "btnDownload", "下载硬件参数", 511}, {&btnClose, "btnClose", "关闭", 632},
      {&btn3, "btn3", "版本号", 750},
  };
  for (const ButtonDef& b : buttons) {
    *b.slot = Own(new TWrapButton(b.name, QString::fromUtf8(b.caption), Panel3));
    (*b.slot)->setGeometry(b.left, 13, 90, 38);
  }
  btn3->hide();
  // Where the hidden version button would be.
  btnHistory = Own(new TWrapButton("btnHistory", ToQ(LangText("sHistory")), Panel3));
  btnHistory->setGeometry(750, 13, 90, 38);
}

void TMainForm::BuildRightColumn() {
  Panel4 = Own(new TPanel("Panel4", true, Panel1));
  Panel4->resize(330, 400);
  Panel1->dock()->addAligned(Panel4, Align::Right);
  Panel5 = Own(new TPanel("Panel5", false, Panel4));
  Panel5->resize(330, 261);
  Panel4->dock()->addAligned(Panel5, Align::Top);
  Label3 = Own(new TLabel("Label3", QString::fromUtf8("设定值:"), Panel5));
  Label3->move(8, 8);
  Label9 = Own(new TLabel("Label9", ToQ(kSetValuesHeader), Panel5));
  Label9->setFont(SongFont(12));
  Label9->setStyleSheet("color: blue;");
  Label9->move(2, 32);
  Label9->setCaption(Label9->text());
  lstDispValue = Own(new QTextEdit(Panel5));
  lstDispValue->setObjectName("lstDispValue");
  lstDispValue->setReadOnly(true);
  lstDispValue->setTabChangesFocus(true);
  lstDispValue->setAcceptRichText(false);
  lstDispValue->setFont(SongFont(12));
  lstDispValue->setLineWrapMode(QTextEdit::NoWrap);
  lstDispValue->document()->setDocumentMargin(2);
  lstDispValue->resize(330, 213);
  Panel5->dock()->addAligned(lstDispValue, Align::Bottom);
  Panel6 = Own(new TPanel("Panel6", false, Panel4));
  Panel4->dock()->addAligned(Panel6, Align::Client);
  Panel8 = Own(new TPanel("Panel8", false, Panel6));
  Panel8->resize(330, 32);
  Panel6->dock()->addAligned(Panel8, Align::Top);
  Label2 = Own(new TLabel("Label2", QString::fromUtf8("信息："), Panel8));
  Label2->move(8, 10);
  lblRecords = new QLabel(Panel8);
  lblRecords->setObjectName("lblRecords");
  lblRecords->setGeometry(64, 8, 256, 20);
  lblRecords->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  lstMsg = Own(new QPlainTextEdit(Panel6));
  lstMsg->setObjectName("lstMsg");
  lstMsg->setFont(SongFont(12));
  // The log is the tool's record of what happened: read, selected and copied,
  // never edited; Tab leaves it.
  lstMsg->setReadOnly(true);
  lstMsg->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  lstMsg->setTabChangesFocus(true);
  Panel6->dock()->addAligned(lstMsg, Align::Client);
  BuildUpgradeBar();
}

void TMainForm::BuildUpgradeBar() {
  // Below the log, taking its height from the log alone while it is shown.
  pnlUpgrade = new QWidget(Panel6);
  pnlUpgrade->setObjectName("pnlUpgrade");
  pnlUpgrade->resize(330, 50);
  auto* grid = new QGridLayout(pnlUpgrade);
  grid->setContentsMargins(2, 4, 2, 2);
  grid->setVerticalSpacing(2);
  pbUpgrade = new QProgressBar(pnlUpgrade);
  pbUpgrade->setObjectName("pbUpgrade");
  pbUpgrade->setRange(0, 100);
  pbUpgrade->setFormat("%p%");
  grid->addWidget(pbUpgrade, 0, 0);
  btnStop = new QPushButton(pnlUpgrade);
  btnStop->setObjectName("btnStop");
  grid->addWidget(btnStop, 0, 1);
  lblUpgrade = new QLabel(pnlUpgrade);
  lblUpgrade->setObjectName("lblUpgrade");
  grid->addWidget(lblUpgrade, 1, 0, 1, 2);
  grid->setColumnStretch(0, 1);
  pnlUpgrade->hide();
  Panel6->dock()->addAligned(pnlUpgrade, Align::Bottom);
}

void TMainForm::BuildParameterArea() {
  Panel2 = Own(new TPanel("Panel2", true, Panel1));
  Panel1->dock()->addAligned(Panel2, Align::Client);
  GroupBox2 = Own(new QGroupBox(QString::fromUtf8("工厂参数设置"), Panel2));
  GroupBox2->setObjectName("GroupBox2");
  Panel2->dock()->addAligned(GroupBox2, Align::Client);
  auto* groupDock = new TAlignLayout(GroupBox2);
  // Classic group frames: the caption sits in the top line, a little in.
  for (QGroupBox* g : {GrpIPSet, GroupBox2}) {
    g->setStyleSheet(
        "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 8px; padding-top: 8px; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 8px; padding: 0 2px; }");
  }
  MyScrollBox1 = Own(new TMyScrollBox("MyScrollBox1", GroupBox2));
  groupDock->addAligned(MyScrollBox1, Align::Client);
  QWidget* area = MyScrollBox1->content();
  new TAlignLayout(area);
  BuildFixedSettings(area);
  BuildRowsPanel(area);
  MyScrollBox1->updateExtent();
}

void TMainForm::BuildFixedSettings(QWidget* area) {
  Panel7 = Own(new TPanel("Panel7", false, area));
  Panel7->resize(569, 141);
  static_cast<TAlignLayout*>(area->layout())->addAligned(Panel7, Align::Top);
  ChkDownProg = Own(new TWrapCheckBox("ChkDownProg", QString::fromUtf8("下位机程序"), Panel7));
  ChkDownProg->setFont(SongFont(12));
  ChkDownProg->setGeometry(24, 8, 81, 23);
  edtFilePath = Own(new QLineEdit(Panel7));
  edtFilePath->setObjectName("edtFilePath");
  edtFilePath->setProperty(kKeyFilterProp, kTypingLimit);
  edtFilePath->installEventFilter(this);
  edtFilePath->setGeometry(106, 8, 366, edtFilePath->sizeHint().height());
  Button1 = Own(new TWrapButton("Button1", QString::fromUtf8("选择文件"), Panel7));
  Button1->setFont(SongFont(12));
  Button1->setGeometry(472, 7, 79, 25);
  struct ListDef {
    QComboBox** slot;
    const char* name;
    int left, top, width, tag;
  };
  const ListDef lists[] = {
      {&cbb1, "cbb1", 24, 40, 150, 1},  {&cbb2, "cbb2", 206, 40, 150, 2}, {&cbb3, "cbb3", 393, 40, 150, 3},
      {&Cbb4, "Cbb4", 24, 72, 150, 4},  {&Cbb6, "Cbb6", 206, 72, 150, 6},
  };
  for (const ListDef& l : lists) {
    *l.slot = Own(new QComboBox(Panel7));
    (*l.slot)->setObjectName(l.name);
    (*l.slot)->setProperty("tag", l.tag);
    (*l.slot)->setGeometry(l.left, l.top, l.width, (*l.slot)->sizeHint().height());
  }
  Label5 = Own(new TLabel("Label5", QString::fromUtf8("标地重力"), Panel7));
  Label5->setFont(SongFont(12));
  Label5->setAutoSizing(false);
  Label5->setWordWrap(true);
  Label5->setGeometry(25, 109, 56, 25);
  Cboxbdgb = Own(new QComboBox(Panel7));
  Cboxbdgb->setObjectName("Cboxbdgb");
  Cboxbdgb->setGeometry(83, 109, 88, Cboxbdgb->sizeHint().height());
  edtbdgb = Own(new QLineEdit(Panel7));
  edtbdgb->setObjectName("edtbdgb");
  edtbdgb->setGeometry(176, 109, 57, edtbdgb->sizeHint().height());
  edtbdgb->setEnabled(false);
  Label6 = Own(new TLabel("Label6", QString::fromUtf8("使用重力"), Panel7));
  Label6->setFont(SongFont(12));
  Label6->move(264, 111);
  Label6->setCaption(Label6->text());
  Label6->setRightJustified(true);
  CboxTaggb = Own(new QComboBox(Panel7));
  CboxTaggb->setObjectName("CboxTaggb");
  CboxTaggb->setGeometry(315, 109, 76, CboxTaggb->sizeHint().height());
  edttaggb = Own(new QLineEdit(Panel7));
  edttaggb->setObjectName("edttaggb");
  edttaggb->setGeometry(391, 109, 81, edttaggb->sizeHint().height());
  edttaggb->setEnabled(false);
  bdgb_ = {Cboxbdgb, edtbdgb, 8, true, true};
  taggb_ = {CboxTaggb, edttaggb, 11, false, false};
  for (QLineEdit* f : {edtbdgb, edttaggb}) {
    f->setProperty(kKeyFilterProp, kGravity);
    f->setAttribute(Qt::WA_InputMethodEnabled, false);
    f->installEventFilter(this);
  }
}

void TMainForm::BuildRowsPanel(QWidget* area) {
  PnlCtrlCbox = Own(new TPanel("PnlCtrlCbox", false, area));
  PnlCtrlCbox->setGeometry(1, 151, 569, 41);
  // Placeholders of the layout; the first generation of the rows removes them.
  for (const char* name : {"Label4", "Label7", "Label8"}) {
    auto* l = Own(new TLabel(name, name, PnlCtrlCbox));
    l->hide();
  }
  for (const char* name : {"cbsetv", "cbset0"}) {
    auto* c = Own(new QComboBox(PnlCtrlCbox));
    c->setObjectName(name);
    c->hide();
  }
}

// Screen readers name a control by its label (the buddy); the fixed lists
// have no label of their own and take their role as name. Refreshed after
// every change of language.
void TMainForm::NameControls() {
  auto strip = [](QString s) { return s.replace('\n', ' '); };
  Label1->setBuddy(edtIP);
  Label2->setBuddy(lstMsg);
  Label3->setBuddy(lstDispValue);
  Label5->setBuddy(Cboxbdgb);
  Label6->setBuddy(CboxTaggb);
  edtIP->setAccessibleName(strip(Label1->text()));
  CboxCom->setAccessibleName(strip(chkUseCom->text()));
  edtFilePath->setAccessibleName(strip(ChkDownProg->text()));
  lstMsg->setAccessibleName(strip(Label2->text()));
  lstDispValue->setAccessibleName(strip(Label3->text()));
  for (auto [list, field, label] : {std::tuple{Cboxbdgb, edtbdgb, Label5}, std::tuple{CboxTaggb, edttaggb, Label6}}) {
    list->setAccessibleName(strip(label->text()));
    field->setAccessibleName(strip(label->text()));
  }
  const std::pair<QComboBox*, const char*> roles[] = {
      {cbb1, "sAccScreen"}, {cbb2, "sAccKeyboard"}, {cbb3, "sAccPrintMode"}, {Cbb4, "sAccNetwork"},
      {Cbb6, "sAccLabel"}};
  for (const auto& [list, key] : roles) list->setAccessibleName(ToQ(LangText(key)));
}

// Handlers. Every one runs inside the general error report.
void TMainForm::WireHandlers() {
  auto on = [this](auto fn) { return [this, fn] { Guard([this, fn] { (this->*fn)(); }); }; };
  connect(btnopen, &QPushButton::clicked, this, on(&TMainForm::btnopenClick));
  connect(Button2, &QPushButton::clicked, this, on(&TMainForm::Button2Click));
  connect(btsave, &QPushButton::clicked, this, on(&TMainForm::btsaveClick));
  connect(btnDispValue, &QPushButton::clicked, this, on(&TMainForm::btnDispValueClick));
  connect(btnDownload, &QPushButton::clicked, this, on(&TMainForm::btnDownloadClick));
  connect(btnClose, &QPushButton::clicked, this, on(&TMainForm::btnCloseClick));
  connect(btnHistory, &QPushButton::clicked, this, on(&TMainForm::btnHistoryClick));
  connect(Button1, &QPushButton::clicked, this, on(&TMainForm::Button1Click));
  connect(chkUseCom, &QCheckBox::toggled, this, on(&TMainForm::chkUseComClick));
  connect(ChkDownProg, &QCheckBox::toggled, this, on(&TMainForm::ChkDownProgClick));
  connect(edtIP, &QLineEdit::textChanged, this, on(&TMainForm::edtIPChange));
  connect(edtFilePath, &QLineEdit::textChanged, this, on(&TMainForm::edtFilePathChange));
  connect(CboxCom, &QComboBox::currentIndexChanged, this, on(&TMainForm::CboxComChange));
  for (QComboBox* c : {cbb1, cbb2, cbb3, Cbb4, Cbb6}) {
    connect(c, &QComboBox::currentIndexChanged, this, [this, c] { Guard([this, c] { CboxMyChange(c); }); });
  }
  connect(Cboxbdgb, &QComboBox::currentIndexChanged, this, [this] { Guard([this] { GravityChange(bdgb_); }); });
  connect(CboxTaggb, &QComboBox::currentIndexChanged, this, [this] { Guard([this] { GravityChange(taggb_); }); });
  connect(edtbdgb, &QLineEdit::textEdited, this, [this] { GravityEdited(bdgb_); });
  connect(edttaggb, &QLineEdit::textEdited, this, [this] { GravityEdited(taggb_); });
}

// Tab walks the window as it reads: connection row, firmware row, fixed
// lists, gravity, the parameter rows in order, the buttons, Stop, the views.
void TMainForm::SetTabOrder() {
  std::vector<QWidget*> chain = {edtIP, chkUseCom, CboxCom, ChkDownProg, edtFilePath, Button1, cbb1, cbb2, cbb3,
                                 Cbb4,  Cbb6,      Cboxbdgb, edtbdgb,    CboxTaggb,   edttaggb};
  for (const ParamRow& row : rows_) {
    if (QWidget* w = PnlCtrlCbox->findChild<QWidget*>(row.kind == RowKind::Text ? FieldName(row.byte)
                                                                                 : ListName(row.byte),
                                                      Qt::FindDirectChildrenOnly)) {
      chain.push_back(w);
    }
  }
  chain.insert(chain.end(), {btnopen, Button2, btsave, btnDispValue, btnDownload, btnClose, btnHistory, btnStop,
                             lstDispValue, lstMsg});
  for (std::size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
}

void TMainForm::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (e->spontaneous() || property("facsetPlaced").toBool()) return;
  setProperty("facsetPlaced", true);
  // The frame is known only once the window is mapped: then make the outer
  // size 944 x 636, or the screen's free area when that is smaller (the
  // parameter area scrolls), and centre it with the title bar on the screen.
  QTimer::singleShot(0, this, [this] { FitScreen(true); });
}

void TMainForm::FitScreen(bool centre) {
  const QScreen* s = screen();
  if (s == nullptr) return;
  const QRect avail = s->availableGeometry();
  const QSize frame = frameGeometry().size() - size();
  const QSize outer = centre ? QSize(kOuterWidth, kOuterHeight) : frameGeometry().size();
  const QSize fitted(std::min(outer.width(), avail.width()), std::min(outer.height(), avail.height()));
  if (fitted != frameGeometry().size()) resize(fitted - frame);
  QPoint at = centre ? avail.center() - QPoint(fitted.width() / 2, fitted.height() / 2) : frameGeometry().topLeft();
  at.setX(std::clamp(at.x(), avail.left(), avail.right() + 1 - fitted.width()));
  at.setY(std::clamp(at.y(), avail.top(), avail.bottom() + 1 - fitted.height()));
  if (at != frameGeometry().topLeft()) move(at);
}

// A window manager adds its frame (title bar) after the first placement: a
// window that then sticks out of the free area is fitted again.
bool TMainForm::event(QEvent* e) {
  const bool result = QWidget::event(e);
  if ((e->type() == QEvent::Move || e->type() == QEvent::Resize) && isVisible() && !fitPending_ &&
      property("facsetPlaced").toBool()) {
    const QScreen* s = screen();
    if (s != nullptr && !s->availableGeometry().contains(frameGeometry())) {
      fitPending_ = true;
      QTimer::singleShot(0, this, [this] {
        fitPending_ = false;
        FitScreen(false);
      });
    }
  }
  return result;
}

}  // namespace facset
