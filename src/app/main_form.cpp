#include "main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QTextEdit>
#include <QAbstractItemView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStringListModel>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QWheelEvent>
#include <algorithm>
#include <optional>
#include <span>
#include <stdexcept>

#include "app/form_widgets.h"
#include "lang/catalog_format.h"
#include "app/ui_text.h"
#include "lang/lang.h"
#include "platform/dialogs.h"
#include "platform/paths.h"
#include "platform/text_encoding.h"

namespace facset {

const char* const kApplicationTitleUtf8 = "Tarvik标签称工厂设定";

namespace {

constexpr int kClientWidth = 928;   // 944 x 636 outside with a usual frame
constexpr int kClientHeight = 597;
constexpr int kOuterWidth = 944;
constexpr int kOuterHeight = 636;

// Dynamic property naming the key filter of a field.
constexpr const char* kKeyFilterProp = "facsetKeyFilter";
enum KeyFilter { kNoFilter = 0, kDigits = 1, kAscii = 2, kGravity = 3, kTypingLimit = 4 };

// The firmware path takes at most this many typed characters; a longer path
// loaded from a file or chosen in the dialog is kept whole, so saving never
// cuts it.
constexpr int kFirmwarePathTypingLimit = 255;

// The families of `wanted` that are installed, in order: a family that is not
// installed would otherwise be "substituted" by whatever the system likes.
QStringList Installed(const QStringList& wanted) {
  QStringList out;
  for (const QString& f : wanted) {
    if (QFontDatabase::hasFamily(f)) out << f;
  }
  return out.isEmpty() ? wanted : out;
}

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

// "宋体": its Latin half is fixed-pitch, which the set-value view relies on.
QFont SongFont(int pixels) {
  static const QStringList families = Installed({"SimSun", QString::fromUtf8("宋体"), "NSimSun", "WenQuanYi Zen Hei Mono",
                                                 "Noto Sans Mono CJK SC", "DejaVu Sans Mono"});
  QFont f;
  f.setFamilies(families);
  f.setStyleHint(QFont::TypeWriter);
  f.setPixelSize(pixels);
  return f;
}

// Line breaks of a caption: CR LF, CR and LF all break the line.
QString CaptionLines(QString s) {
  s.replace("\r\n", "\n");
  s.replace('\r', '\n');
  return s;
}

QString ControlText(const QWidget* w) {
  if (auto* l = qobject_cast<const QLabel*>(w)) return l->text();
  if (auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
  if (auto* g = qobject_cast<const QGroupBox*>(w)) return g->title();
  if (auto* p = qobject_cast<const TPanel*>(w)) return p->caption();
  if (auto* e = qobject_cast<const QLineEdit*>(w)) return e->text();
  if (auto* c = qobject_cast<const QComboBox*>(w)) return c->currentText();
  if (auto* m = qobject_cast<const QPlainTextEdit*>(w)) return m->toPlainText();
  if (auto* m = qobject_cast<const QTextEdit*>(w)) return m->toPlainText();
  return {};
}

void SetControlText(QWidget* w, const QString& text) {
  if (auto* l = qobject_cast<TLabel*>(w)) return l->setCaption(CaptionLines(text));
  if (auto* b = qobject_cast<TWrapCheckBox*>(w)) return b->setCaption(CaptionLines(text));
  if (auto* l = qobject_cast<QLabel*>(w)) return l->setText(CaptionLines(text));
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->setText(CaptionLines(text));
  if (auto* g = qobject_cast<QGroupBox*>(w)) return g->setTitle(CaptionLines(text));
  if (auto* p = qobject_cast<TPanel*>(w)) return p->setCaption(CaptionLines(text));
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->setText(text);
  if (auto* m = qobject_cast<QPlainTextEdit*>(w)) return m->setPlainText(CaptionLines(text));
  if (auto* m = qobject_cast<QTextEdit*>(w)) return m->setPlainText(CaptionLines(text));
  if (auto* c = qobject_cast<QComboBox*>(w)) {
    // Setting the text of a list from the program selects the matching entry
    // and runs no change handler.
    const QSignalBlocker block(c);
    if (c->isEditable()) {
      c->setEditText(text);
    } else {
      c->setCurrentIndex(c->findText(text, Qt::MatchExactly));
    }
  }
}

// Entries "0".."255" of every numeric list, shared: one model instead of 256
// items per list keeps the generation of a full block fast.
QStringListModel* NumericEntries() {
  static QStringListModel* model = [] {
    QStringList l;
    l.reserve(256);
    for (int i = 0; i < 256; ++i) l << QString::number(i);
    auto* m = new QStringListModel(l, qApp);
    return m;
  }();
  return model;
}

// A list the operator can type into, whose drop-down is built when first
// opened (256 entries per list, a block full of them).
class TTypedList : public QComboBox {
 public:
  using QComboBox::QComboBox;
  void showPopup() override {
    view()->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QComboBox::showPopup();
  }
};

void SelectQuietly(QComboBox* c, int index) {
  const QSignalBlocker block(c);
  c->setCurrentIndex(index >= 0 && index < c->count() ? index : -1);
}

char32_t TypedChar(const QKeyEvent* k) {
  const QList<uint> ucs = k->text().toUcs4();
  return ucs.isEmpty() ? 0 : static_cast<char32_t>(ucs.front());
}

class SuspendFlag {
 public:
  explicit SuspendFlag(bool& flag) : flag_(flag), saved_(flag) { flag_ = true; }
  ~SuspendFlag() { flag_ = saved_; }
  SuspendFlag(const SuspendFlag&) = delete;
  SuspendFlag& operator=(const SuspendFlag&) = delete;

 private:
  bool& flag_;
  bool saved_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Construction and layout

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

template <class W>
W* TMainForm::Own(W* w) {
  layoutControls_.emplace_back(w);
  return w;
}

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

  Panel1 = Own(new TPanel("Panel1", false, this));
  dock->addAligned(Panel1, Align::Client);

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
  lstMsg = Own(new QPlainTextEdit(Panel6));
  lstMsg->setObjectName("lstMsg");
  lstMsg->setFont(SongFont(12));
  Panel6->dock()->addAligned(lstMsg, Align::Client);

  Splitter1 = Own(new TSplitter("Splitter1", Panel4, 30, Panel1));
  Splitter1->resize(8, 100);
  Panel1->dock()->addAligned(Splitter1, Align::Right);

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
  auto* areaDock = new TAlignLayout(area);

  Panel7 = Own(new TPanel("Panel7", false, area));
  Panel7->resize(569, 141);
  areaDock->addAligned(Panel7, Align::Top);
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
  MyScrollBox1->updateExtent();

  bdgb_ = {Cboxbdgb, edtbdgb, 8, true, true};
  taggb_ = {CboxTaggb, edttaggb, 11, false, false};
  for (QLineEdit* f : {edtbdgb, edttaggb}) {
    f->setProperty(kKeyFilterProp, kGravity);
    f->setAttribute(Qt::WA_InputMethodEnabled, false);
    f->installEventFilter(this);
  }

  // Handlers. Every one runs inside the general error report.
  auto on = [this](auto fn) { return [this, fn] { Guard([this, fn] { (this->*fn)(); }); }; };
  connect(btnopen, &QPushButton::clicked, this, on(&TMainForm::btnopenClick));
  connect(Button2, &QPushButton::clicked, this, on(&TMainForm::Button2Click));
  connect(btsave, &QPushButton::clicked, this, on(&TMainForm::btsaveClick));
  connect(btnDispValue, &QPushButton::clicked, this, on(&TMainForm::btnDispValueClick));
  connect(btnDownload, &QPushButton::clicked, this, on(&TMainForm::btnDownloadClick));
  connect(btnClose, &QPushButton::clicked, this, on(&TMainForm::btnCloseClick));
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
}

void TMainForm::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (e->spontaneous() || property("facsetPlaced").toBool()) return;
  setProperty("facsetPlaced", true);
  // The frame is known only once the window is mapped: then make the outer
  // size 944 x 636 and centre it.
  QTimer::singleShot(0, this, [this] {
    const QSize frame = frameGeometry().size() - size();
    resize(kOuterWidth - frame.width(), kOuterHeight - frame.height());
    if (QScreen* s = screen()) {
      const QRect avail = s->availableGeometry();
      move(avail.center() - QPoint(kOuterWidth / 2, kOuterHeight / 2));
    }
  });
}

// ---------------------------------------------------------------------------
// Error report, messages

void TMainForm::Guard(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    // Exception texts are UTF-8; the dialogs take GBK.
    AppDialogs().ShowMessage(Utf8ToGbk(e.what()), "", MsgIcon::Error);
  } catch (...) {
    AppDialogs().ShowMessage("Unknown error", "", MsgIcon::Error);
  }
}

void TMainForm::AppendMsg(std::string_view gbk) {
  QString text = ToQ(gbk);
  text.replace("\r\n", "\n");
  text.replace('\r', '\n');
  lstMsg->appendPlainText(text);
}

void TMainForm::ReplaceLastMsg(std::string_view gbk) {
  QTextDocument* doc = lstMsg->document();
  if (doc->isEmpty()) return AppendMsg(gbk);
  QTextCursor cur(doc->lastBlock());
  cur.movePosition(QTextCursor::StartOfBlock);
  cur.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  cur.insertText(ToQ(gbk));
}

std::string TMainForm::ComText() const { return FromQ(CboxCom->currentText()); }
int TMainForm::ComSelectedIndex() const { return CboxCom->currentIndex(); }
void TMainForm::FocusCom() {
  if (CboxCom->isEnabled() && CboxCom->isVisible()) CboxCom->setFocus(Qt::OtherFocusReason);
}
bool TMainForm::DownProgChecked() const { return ChkDownProg->isChecked(); }
std::string TMainForm::FirmwarePath() const { return FromQ(edtFilePath->text()); }

// ---------------------------------------------------------------------------
// Window texts

void TMainForm::ApplyLangTexts() {
  const std::string section(kMainFormSection);
  if (!windowTitle().isEmpty()) {
    if (auto t = LangWindowText(section, "Caption")) setWindowTitle(ToQ(*t));
  }
  for (const QPointer<QWidget>& p : layoutControls_) {
    QWidget* w = p.data();
    if (w == nullptr) continue;  // a placeholder already removed
    const std::string name = FromQ(w->objectName());
    if (!ControlText(w).isEmpty()) {
      if (auto t = LangWindowText(section, name + ".Caption")) SetControlText(w, ToQ(*t));
    }
    if (!w->toolTip().isEmpty()) {
      if (auto t = LangWindowText(section, name + ".Hint")) w->setToolTip(ToQ(*t));
    }
  }
}

// ---------------------------------------------------------------------------
// Start-up, load, save

void TMainForm::FormCreate(const QStringList& args) {
  ApplyLangTexts();
  if (!args.isEmpty() && args.front() == "VLQ7200") {
    GrpIPSet->hide();
    btnDownload->hide();
    btnClose->move(511, btnClose->y());
  }
  modified_ = false;
  ps_.GravityRegions.clear();
  FillOptionLists();
  BuildParamControls();
  ShowSetValues();
}

void TMainForm::FillOptionLists() {
  static constexpr std::string_view kScreens[] = {"sLongscreen", "sSquarescreen", "sRodlessScreen", "sHangingscale",
                                                  "s7272Screen"};
  static constexpr std::string_view kKeyboards[] = {"sOldKeyboard", "sNewKeyboard", "sRodlessScreenKeyboard",
                                                    "s7272ScreenKeyBoard", "sKP042KeyBoard"};
  static constexpr std::string_view kPrint[] = {"sPrintmode0", "sPrintmode1"};
  static constexpr std::string_view kNet[] = {"sEthernet", "sEthernetWireless"};
  static constexpr std::string_view kLabel[] = {"sPrintforward", "sLabeltakenaway"};
  auto fill = [](QComboBox* c, std::span<const std::string_view> keys) {
    const QSignalBlocker block(c);
    for (std::string_view k : keys) c->addItem(ToQ(LangCatalog(k)));
  };
  fill(cbb1, kScreens);
  fill(cbb2, kKeyboards);
  fill(cbb3, kPrint);
  fill(Cbb4, kNet);
  fill(Cbb6, kLabel);
  {
    const QSignalBlocker block(CboxCom);
    CboxCom->clear();
    CboxCom->addItems({"NONE", "COM1", "COM2", "COM3", "COM9", "COM10", "COM16"});
  }
  const SuspendFlag suspend(firmwareHandlersSuspended_);
  if (ToolConfigIni) LoadParams(*ToolConfigIni);
}

void TMainForm::LoadParams(const IniFile& ini) {
  const std::vector<std::string> regions = LoadParamSet(ini, ps_);

  for (QComboBox* c : {Cboxbdgb, CboxTaggb}) {
    const QSignalBlocker block(c);
    c->clear();
    c->addItem(ToQ(LangCatalog("sNoSet")));
    c->addItem(ToQ(LangCatalog("sManual")));
    for (const std::string& name : regions) c->addItem(ToQ(name));
  }
  SelectQuietly(Cboxbdgb, ps_.bdgbIndex);
  SelectQuietly(CboxTaggb, ps_.TaggbIndex);
  edtbdgb->setEnabled(Cboxbdgb->currentIndex() == 1);
  edttaggb->setEnabled(CboxTaggb->currentIndex() == 1);

  SelectQuietly(cbb1, ps_.Block[1]);
  SelectQuietly(cbb2, ps_.Block[2]);
  SelectQuietly(cbb3, ps_.Block[3]);
  SelectQuietly(Cbb4, ps_.Block[4]);
  SelectQuietly(Cbb6, ps_.Block[6]);

  ChkDownProg->setChecked(ps_.DownProg);
  edtFilePath->setEnabled(ChkDownProg->isChecked());
  edtFilePath->setText(ToQ(ps_.BinFilePath));

  edtbdgb->setText(ToQ(GravityText(ps_.Block, 8)));
  edttaggb->setText(ToQ(GravityText(ps_.Block, 11)));

  const std::string ip = ps_.DeviceIp;
  const bool useCom = ps_.UseCom;
  const int com = ps_.ComIndex;
  edtIP->setText(ToQ(ip));
  chkUseCom->setChecked(useCom);
  SelectQuietly(CboxCom, com);
  // The fields now say what the controls show.
  CboxCom->setEnabled(chkUseCom->isChecked());
  ps_.DeviceIp = FromQ(edtIP->text());
  ps_.UseCom = chkUseCom->isChecked();
  ps_.ComIndex = CboxCom->currentIndex();
}

void TMainForm::SaveParams(IniFile& ini) {
  ps_.DownProg = ChkDownProg->isChecked();
  ps_.BinFilePath = FromQ(edtFilePath->text());
  facset::SaveParams(ini, ps_, LangSuffix);
  modified_ = false;
}

void TMainForm::SaveToolConfig() {
  if (!ToolConfigIni) throw std::runtime_error("facconfig.ini is not open");
  SaveParams(*ToolConfigIni);
}

void TMainForm::AskSaveSettings() {
  if (!modified_) return;
  if (AppDialogs().AskYesNo(LangCatalog("sSettingsNotSave"), "", MsgIcon::Question)) SaveToolConfig();
}

void TMainForm::ShowSetValues() {
  QString text;
  for (const std::string& line : SetValuesText(ps_.Block)) {
    if (!text.isEmpty()) text += '\n';
    text += QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
  }
  lstDispValue->setPlainText(text);
  // Rows 12 pixels apart, as the face is meant to be set, whatever the
  // fallback font's own line spacing: all 16 rows fit the view.
  QTextCursor all(lstDispValue->document());
  all.select(QTextCursor::Document);
  QTextBlockFormat rows;
  rows.setLineHeight(12.5, QTextBlockFormat::FixedHeight);
  all.mergeBlockFormat(rows);
}

void TMainForm::MarkModified() {
  modified_ = true;
  ShowSetValues();
}

// ---------------------------------------------------------------------------
// Generated parameter rows

const ParamRow* TMainForm::RowOf(int tag) const {
  if (tag < 0 || tag > 255 || rowIndex_[static_cast<std::size_t>(tag)] == 0) return nullptr;
  return &rows_[static_cast<std::size_t>(rowIndex_[static_cast<std::size_t>(tag)] - 1)];
}

int TMainForm::TagOf(const QObject* o) const { return o->property("tag").toInt(); }

int TMainForm::SelectedIndex(const QComboBox* list) const {
  // A list the operator types into has the entry its text names selected.
  if (list->isEditable()) return list->findText(list->currentText(), Qt::MatchExactly);
  return list->currentIndex();
}

void TMainForm::ClearParamControls() {
  if (PnlCtrlCbox == nullptr) return;
  const QObjectList children = PnlCtrlCbox->children();
  for (auto it = children.rbegin(); it != children.rend(); ++it) {
    if ((*it)->isWidgetType()) delete *it;
  }
}

void TMainForm::BuildParamControls() {
  ClearParamControls();
  RowPlan plan = PlanParamRows(ps_.Defs);
  rows_ = std::move(plan.rows);
  rowIndex_.fill(0);
  for (std::size_t i = 0; i < rows_.size(); ++i) rowIndex_[static_cast<std::size_t>(rows_[i].byte)] = int(i) + 1;

  // Children of a hidden panel appear with it, without one show() each.
  const bool wasVisible = PnlCtrlCbox->isVisibleTo(PnlCtrlCbox->parentWidget());
  PnlCtrlCbox->hide();
  const QFont labelFont = ArialPoints(9);
  QPalette notePalette = PnlCtrlCbox->palette();
  notePalette.setColor(QPalette::WindowText, Qt::blue);
  const int listHeight = [&] {
    QComboBox probe;
    probe.setFont(PnlCtrlCbox->font());
    return probe.sizeHint().height();
  }();

  auto makeLabel = [&](const std::string& text, int left, int top, int width) {
    auto* l = new QLabel(ToQ(UnescapeText(text)), PnlCtrlCbox);
    l->setFont(labelFont);
    l->setTextFormat(Qt::PlainText);
    l->setWordWrap(true);
    l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    l->setGeometry(left, top, width, 30);
    return l;
  };

  for (const ParamRow& row : rows_) {
    const ParamDef& d = ps_.Defs[static_cast<std::size_t>(row.byte)];
    const int y = row.top;
    makeLabel(d.Caption, 24, y - 3, 68);
    const QString tagName = QString::number(row.byte);
    if (row.kind == RowKind::Text) {
      auto* e = new QLineEdit(PnlCtrlCbox);
      e->setObjectName("edtAuto" + tagName);
      e->setProperty("tag", row.byte);
      e->setMaxLength(row.width);
      e->setText(ToQ(TextParamValue(ps_.Block, row)));
      e->setGeometry(93, y, 324, e->sizeHint().height());
      e->setProperty(kKeyFilterProp, kAscii);
      e->setAttribute(Qt::WA_InputMethodEnabled, false);
      e->installEventFilter(this);
      connect(e, &QLineEdit::textChanged, this, [this, e] { Guard([this, e] { TextParamChanged(e); }); });
      continue;
    }
    QComboBox* c = row.kind == RowKind::Numeric ? new TTypedList(PnlCtrlCbox) : new QComboBox(PnlCtrlCbox);
    c->setObjectName("CboxAuto" + tagName);
    c->setProperty("tag", row.byte);
    if (row.kind == RowKind::Numeric) {
      if (!row.readOnly) c->setModel(NumericEntries());
      // A line edit of its own instead of setEditable(), which also builds the
      // drop-down's popup at once: that popup is built when first opened.
      c->setLineEdit(new QLineEdit(c));
      c->setCompleter(nullptr);
      c->setInsertPolicy(QComboBox::NoInsert);
      c->setGeometry(93, y, 120, listHeight);
      auto* note = makeLabel(d.Note, 220, y - 3, 500);
      note->setPalette(notePalette);
      if (row.readOnly) {
        c->lineEdit()->setReadOnly(true);
        c->setEditText(ToQ(NumericText(ps_.Block, row)));
        continue;  // shown only: its value does not fit the list's arithmetic
      }
      c->setCurrentIndex(-1);
      c->setEditText(ToQ(NumericText(ps_.Block, row)));
      QLineEdit* edit = c->lineEdit();
      edit->setProperty(kKeyFilterProp, kDigits);
      edit->setAttribute(Qt::WA_InputMethodEnabled, false);
      edit->installEventFilter(this);
      connect(c, &QComboBox::editTextChanged, this, [this, c] { Guard([this, c] { CboxMyChange(c); }); });
    } else {
      const std::vector<std::string> entries = TwoChoiceEntries(d);
      for (const std::string& e : entries) c->addItem(ToQ(e));
      c->setCurrentIndex(TwoChoiceIndex(ps_.Block, row, entries.size()));
      c->setGeometry(93, y, 300, listHeight);
      connect(c, &QComboBox::currentIndexChanged, this, [this, c] { Guard([this, c] { CboxMyChange(c); }); });
    }
  }

  PnlCtrlCbox->resize(569, plan.panelHeight);
  if (wasVisible) PnlCtrlCbox->show();
  MyScrollBox1->updateExtent();
  EnableParamControls(ps_.IsEnabled);

  auto* list19 = PnlCtrlCbox->findChild<QComboBox*>("CboxAuto19", Qt::FindDirectChildrenOnly);
  auto* edit20 = PnlCtrlCbox->findChild<QLineEdit*>("edtAuto20", Qt::FindDirectChildrenOnly);
  if (list19 != nullptr && edit20 != nullptr) {
    edit20->setEnabled(SelectedIndex(list19) != 0);
    if (!ps_.IsEnabled) edit20->setEnabled(false);
  }
}

void TMainForm::EnableParamControls(bool enabled) {
  for (QWidget* w : std::initializer_list<QWidget*>{cbb1, cbb2, cbb3, Cbb4, Cbb6, Cboxbdgb, edtbdgb, CboxTaggb,
                                                    edttaggb}) {
    w->setEnabled(enabled);
  }
  for (QObject* o : PnlCtrlCbox->children()) {
    auto* w = qobject_cast<QWidget*>(o);
    if (w != nullptr && qobject_cast<QLabel*>(w) == nullptr) w->setEnabled(enabled);
  }
}

void TMainForm::CboxMyChange(QComboBox* list) {
  const int t = TagOf(list);
  const ParamRow* row = t >= kFirstDefByte ? RowOf(t) : nullptr;
  if (row != nullptr && row->kind == RowKind::Numeric) {
    if (row->readOnly) return;
    const NumericInput in = CheckNumericText(FromQ(list->currentText()), row->width);
    if (!in.accepted) {
      AppDialogs().ShowMessage(FormatCatalog(LangCatalog("sNotGreaterMax"), {NumericMax(row->width)}), "",
                               MsgIcon::Error);
      {
        const QSignalBlocker block(list);
        list->setEditText(QString());
      }
      if (list->isEnabled() && list->isVisible()) list->setFocus(Qt::OtherFocusReason);
      return;
    }
    SplitValue(ps_.Block, in.value, t, row->width);
  } else if (t >= 1 && t <= 255) {
    ps_.Block[static_cast<std::size_t>(t)] = Low8(SelectedIndex(list));
  }
  if (t == 19) {
    if (auto* edit20 = PnlCtrlCbox->findChild<QLineEdit*>("edtAuto20", Qt::FindDirectChildrenOnly)) {
      edit20->setEnabled(SelectedIndex(list) != 0);
    }
  }
  MarkModified();
}

void TMainForm::TextParamChanged(QLineEdit* field) {
  const ParamRow* row = RowOf(TagOf(field));
  if (row == nullptr) return;
  if (!WriteTextParam(ps_.Block, *row, FromQ(field->text()))) {
    AppDialogs().ShowMessage(FormatCatalog(LangCatalog("sLenNotGreater"), {row->width}), "",
                             MsgIcon::Error);
    if (field->isEnabled() && field->isVisible()) field->setFocus(Qt::OtherFocusReason);
    return;
  }
  MarkModified();
}

// ---------------------------------------------------------------------------
// Gravity

void TMainForm::GravityChange(Gravity& g) {
  const int i = g.list->currentIndex();
  const auto& regions = ps_.GravityRegions;
  const std::string value =
      i >= 0 && static_cast<std::size_t>(i) < regions.size() ? RegionValue(regions[static_cast<std::size_t>(i)]) : "";
  g.field->setText(ToQ(value));
  if (i == 1) {
    g.field->setEnabled(true);
    if (g.focusOnManual && g.field->isVisible()) g.field->setFocus(Qt::OtherFocusReason);
  } else {
    if (i == 0) g.field->clear();
    g.field->setEnabled(false);
  }
  (g.setsFlag ? ps_.bdgbIndex : ps_.TaggbIndex) = i;
  if (g.setsFlag) ps_.Block[7] = i >= 1 ? 0x62 : 0;
  if (i != 1) GravityEncode(g);
}

void TMainForm::GravityEncode(Gravity& g) {
  const std::string text(TrimBlanks(FromQ(g.field->text())));
  const std::size_t b = static_cast<std::size_t>(g.firstByte);
  if (text.empty() || g.list->currentIndex() == 0) {
    ps_.Block[b] = ps_.Block[b + 1] = ps_.Block[b + 2] = 0;
    return;
  }
  const std::optional<double> v = ParseDecimal(text);
  if (!v) throw std::runtime_error("'" + GbkToUtf8(text) + "' is not a valid floating point value");
  if (*v < kGravityMin || *v > kGravityMax) {
    AppDialogs().ShowMessage(FormatCatalog(LangCatalog("sGravityRange"), {"9.7000", "9.9000"}), "", MsgIcon::Error);
    if (g.field->isEnabled() && g.field->isVisible()) g.field->setFocus(Qt::OtherFocusReason);
    return;
  }
  GravityToBytes(ps_.Block, g.firstByte, *v);
  MarkModified();
}

// ---------------------------------------------------------------------------
// Commands

void TMainForm::btnopenClick() {
  FileDialogRequest req;
  req.filter = "*.ini|*.ini";
  req.initialDir = NativePathToGbk(FilesDir());
  std::string path;
  if (!AppDialogs().SelectOpenFile(req, path)) return;
  AppendMsg(LangCatalog("sDownloadFile") + path);
  const std::string native = GbkPathToNative(path);
  {
    const IniFile ini(native);
    LoadParams(ini);
  }
  SwitchLanguage(native, [this] {
    ApplyLangTexts();
    BuildParamControls();
  });
  MarkModified();
}

void TMainForm::Button2Click() { SaveToolConfig(); }

void TMainForm::btsaveClick() {
  FileDialogRequest req;
  req.filter = "*.ini";
  req.defaultExt = "ini";
  req.initialDir = NativePathToGbk(FilesDir());
  req.title = LangCatalog("sSaveparameters");
  std::string path;
  if (!AppDialogs().SelectSaveFile(req, path)) return;
  AppendMsg(LangCatalog("sSaveFile") + path);
  {
    IniFile ini(GbkPathToNative(path));
    SaveParams(ini);
  }
  ShowSetValues();
}

void TMainForm::btnDispValueClick() { ShowSetValues(); }

void TMainForm::btnDownloadClick() {
  if (downloadHandler_) downloadHandler_(*this);
}

void TMainForm::btnCloseClick() { close(); }

void TMainForm::chkUseComClick() {
  CboxCom->setEnabled(chkUseCom->isChecked());
  ps_.UseCom = chkUseCom->isChecked();
}

void TMainForm::edtIPChange() { ps_.DeviceIp = FromQ(edtIP->text()); }

void TMainForm::CboxComChange() { ps_.ComIndex = CboxCom->currentIndex(); }

void TMainForm::ChkDownProgClick() {
  if (firmwareHandlersSuspended_) return;
  edtFilePath->setEnabled(ChkDownProg->isChecked());
  modified_ = true;
}

void TMainForm::edtFilePathChange() {
  if (firmwareHandlersSuspended_) return;
  modified_ = true;
}

void TMainForm::Button1Click() {
  FileDialogRequest req;
  req.filter = "Binary Files|*.hex|All Files|*.*";
  req.initialDir = NativePathToGbk(FilesDir());
  std::string path;
  if (AppDialogs().SelectOpenFile(req, path)) edtFilePath->setText(ToQ(path));
}

void TMainForm::closeEvent(QCloseEvent* e) {
  // No Cancel: the window closes whatever the answer, unless saving failed.
  bool saved = true;
  Guard([&] {
    saved = false;
    AskSaveSettings();
    saved = true;
  });
  if (saved) {
    e->accept();
  } else {
    e->ignore();
  }
}

// ---------------------------------------------------------------------------
// Key filters, leaving the gravity fields, the wheel

bool TMainForm::eventFilter(QObject* watched, QEvent* e) {
  switch (e->type()) {
    case QEvent::KeyPress: {
      const int filter = watched->property(kKeyFilterProp).toInt();
      if (filter == kNoFilter) break;
      auto* k = static_cast<QKeyEvent*>(e);
      if (filter == kGravity && (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter)) {
        // Enter stores the value at once; the focus stays.
        Gravity& g = watched == edtbdgb ? bdgb_ : taggb_;
        Guard([&] { GravityEncode(g); });
        return true;
      }
      if (k->key() == Qt::Key_Tab || k->key() == Qt::Key_Backtab) break;
      if (k->modifiers() & Qt::ControlModifier) break;  // shortcuts insert nothing
      const char32_t c = TypedChar(k);
      // Cursor and editing keys; desktop keyboards give Delete the text DEL
      // (127), yet it removes a character rather than typing one.
      if (c == 0 || k->key() == Qt::Key_Delete) break;
      bool allowed = true;
      if (filter == kDigits) allowed = DigitKeyAllowed(c);
      if (filter == kAscii) allowed = AsciiKeyAllowed(c);
      if (filter == kGravity) allowed = GravityKeyAllowed(c, FromQ(static_cast<QLineEdit*>(watched)->text()));
      if (filter == kTypingLimit) {
        const auto* edit = static_cast<QLineEdit*>(watched);
        allowed = c < 32 || edit->text().size() - edit->selectedText().size() < kFirmwarePathTypingLimit;
      }
      return !allowed;
    }
    case QEvent::InputMethod: {
      // Composed input would bypass the key filters.
      const int filter = watched->property(kKeyFilterProp).toInt();
      if (filter != kNoFilter && filter != kTypingLimit) return true;
      break;
    }
    case QEvent::FocusOut: {
      if (watched != edtbdgb && watched != edttaggb) break;
      const auto reason = static_cast<QFocusEvent*>(e)->reason();
      // Switching windows or opening a menu does not leave the field.
      if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) break;
      Gravity& g = watched == edtbdgb ? bdgb_ : taggb_;
      Guard([&] { GravityEncode(g); });
      break;
    }
    default:
      break;
  }
  return QWidget::eventFilter(watched, e);
}

bool TMainForm::HandleWheel(QObject* receiver, QWheelEvent* e) {
  if (forwardingWheel_) return false;
  auto* target = qobject_cast<QWidget*>(receiver);
  if (target == nullptr || target->window() != this) return false;
  e->accept();
  QWidget* focus = QApplication::focusWidget();
  if (focus != nullptr && focus->window() != this) focus = nullptr;
  if (focus != nullptr && (focus == MyScrollBox1 || MyScrollBox1->isAncestorOf(focus))) {
    // 25 pixels a notch; nothing else in the area reacts to the wheel.
    wheelRest_ += e->angleDelta().y();
    QScrollBar* bar = MyScrollBox1->verticalScrollBar();
    while (wheelRest_ >= 120) {
      bar->setValue(std::max(0, bar->value() - 25));
      wheelRest_ -= 120;
    }
    while (wheelRest_ <= -120) {
      bar->setValue(bar->value() + 25);
      wheelRest_ += 120;
    }
    return true;
  }
  for (QAbstractScrollArea* memo : std::initializer_list<QAbstractScrollArea*>{lstMsg, lstDispValue}) {
    if (focus == nullptr || (focus != memo && !memo->isAncestorOf(focus))) continue;
    // A focused memo scrolls itself, wherever the mouse is.
    if (memo->isAncestorOf(target)) return false;
    QWidget* vp = memo->viewport();
    const QPointF local = vp->rect().center();
    QWheelEvent copy(local, vp->mapToGlobal(local), e->pixelDelta(), e->angleDelta(), e->buttons(), e->modifiers(),
                     e->phase(), e->inverted(), e->source());
    forwardingWheel_ = true;
    QCoreApplication::sendEvent(vp, &copy);
    forwardingWheel_ = false;
    return true;
  }
  // The wheel ended at the window: hand the focus to the parameter area; this
  // notch scrolls nothing.
  if (MyScrollBox1->isVisible() && MyScrollBox1->isEnabled() && MyScrollBox1->focusPolicy() != Qt::NoFocus) {
    MyScrollBox1->setFocus(Qt::OtherFocusReason);
  }
  return true;
}

}  // namespace facset
