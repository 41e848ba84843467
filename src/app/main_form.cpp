// The window: start-up, load and save, the commands, the message list.
#include "main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "app/form_parts.h"
#include "app/form_widgets.h"
#include "app/ui_text.h"
#include "download/serial_names.h"
#include "lang/catalog_format.h"
#include "lang/lang.h"
#include "platform/dialogs.h"
#include "app/window_records.h"
#include "platform/paths.h"
#include "platform/text_encoding.h"

namespace facset {

const char* const kApplicationTitleUtf8 = "Tarvik标签称工厂设定";

using namespace form;

// ---------------------------------------------------------------------------
// Error report, messages

namespace {

// A failed write in the window's language: "Unable to write to" and the
// reason come from the catalog; a reason it does not know is shown as the
// system gave it.
std::string ReasonText(const std::string& reason) {
  static constexpr std::pair<int, const char*> kErrnoKeys[] = {
      {EACCES, "sReasonEACCES"}, {EPERM, "sReasonEPERM"},   {ENOSPC, "sReasonENOSPC"},
      {EDQUOT, "sReasonEDQUOT"}, {EROFS, "sReasonEROFS"},   {EFBIG, "sReasonEFBIG"},
      {EIO, "sReasonEIO"},       {ENOENT, "sReasonENOENT"}, {ENOTDIR, "sReasonENOTDIR"},
      {EISDIR, "sReasonEISDIR"}, {ENAMETOOLONG, "sReasonENAMETOOLONG"}, {ELOOP, "sReasonELOOP"}};
  for (const auto& [err, key] : kErrnoKeys) {
    if (reason == std::strerror(err)) return LangText(key);
  }
  static constexpr std::pair<std::string_view, const char*> kFixed[] = {
      {"not a regular file", "sReasonNotRegular"},
      {"a line break in a name or value", "sReasonLineBreak"},
      {"the line would not read back as that key", "sReasonNotReadBack"}};
  for (const auto& [text, key] : kFixed) {
    if (reason == text) return LangText(key);
  }
  // "a folder, not a regular file" and its kin.
  static constexpr std::pair<std::string_view, const char*> kKinds[] = {
      {"a symbolic link", "sKindLink"}, {"a FIFO", "sKindFifo"},     {"a device", "sKindDevice"},
      {"a folder", "sKindFolder"},      {"a socket", "sKindSocket"}, {"an unknown kind of file", "sKindUnknown"}};
  constexpr std::string_view kNotRegularTail = ", not a regular file";
  if (reason.ends_with(kNotRegularTail)) {
    const std::string_view kind = std::string_view(reason).substr(0, reason.size() - kNotRegularTail.size());
    for (const auto& [text, key] : kKinds) {
      if (kind == text) return FormatCatalog(LangText("sReasonNotRegularKind"), {LangText(key)});
    }
  }
  constexpr std::string_view kReadOnly = "read-only (";
  if (reason.starts_with(kReadOnly) && reason.ends_with(')')) {
    return LangText("sReasonReadOnly") + " (" +
           ReasonText(reason.substr(kReadOnly.size(), reason.size() - kReadOnly.size() - 1)) + ")";
  }
  return Utf8ToGbk(reason);
}

std::string ErrorText(const std::exception& e) {
  const auto* ini = dynamic_cast<const EIniError*>(&e);
  const std::string what = e.what();
  if (ini == nullptr || dynamic_cast<const EIniTooLarge*>(&e) != nullptr) return Utf8ToGbk(what);
  const std::string head = "Unable to write to " + ini->path();
  if (!what.starts_with(head)) return Utf8ToGbk(what);
  std::string text = FormatCatalog(LangText("sUnableToWrite"), {Utf8ToGbk(ini->path())});
  if (what.size() > head.size() + 2) text += ": " + ReasonText(what.substr(head.size() + 2));
  return text;
}

}  // namespace

void TMainForm::Guard(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    AppDialogs().ShowMessage(ErrorText(e), "", MsgIcon::Error);
  } catch (...) {
    AppDialogs().ShowMessage("Unknown error", "", MsgIcon::Error);
  }
}

void TMainForm::AppendMsg(std::string_view gbk) { AppendMsgText(ToQ(gbk)); }

void TMainForm::AppendMsgText(QString text) {
  text.replace("\r\n", "\n");
  text.replace('\r', '\n');
  lstMsg->appendPlainText(text);
  ShowNewestMsg();
}

void TMainForm::ShowNewestMsg() {
  QScrollBar* bar = lstMsg->verticalScrollBar();
  bar->setValue(bar->maximum());
}

void TMainForm::ReplaceLastMsg(std::string_view gbk) {
  QTextDocument* doc = lstMsg->document();
  if (doc->isEmpty()) return AppendMsg(gbk);
  QTextCursor cur(doc->lastBlock());
  cur.movePosition(QTextCursor::StartOfBlock);
  cur.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  cur.insertText(ToQ(gbk));
  ShowNewestMsg();
}

std::string TMainForm::ComText() const { return FromQ(CboxCom->currentText()); }
int TMainForm::ComSelectedIndex() const { return CboxCom->currentIndex(); }
void TMainForm::FocusCom() {
  if (CboxCom->isEnabled() && CboxCom->isVisible()) CboxCom->setFocus(Qt::OtherFocusReason);
}
bool TMainForm::DownProgChecked() const { return ChkDownProg->isChecked(); }
std::vector<QWidget*> TMainForm::LockedDuringDownload() const {
  return {edtIP, chkUseCom, CboxCom,  ChkDownProg, edtFilePath, Button1, btnopen, Button2,
          btsave, cbb1,     cbb2,     cbb3,        Cbb4,        Cbb6,    Cboxbdgb, edtbdgb,
          CboxTaggb, edttaggb, PnlCtrlCbox};
}

std::string TMainForm::FirmwarePath() const { return edtFilePath->text().toStdString(); }

std::string TMainForm::ParamFilePath() const {
  return openedFile_.empty() ? FilesDir() + std::string(kToolConfigName) : openedFile_;
}

void TMainForm::ShowUpgradeProgress(int percent, const QString& figures) {
  pbUpgrade->setValue(percent);
  lblUpgrade->setText(figures);
  if (pnlUpgrade->isHidden()) SetUpgradeBarShown(true);
}

void TMainForm::HideUpgradeProgress() {
  if (!pnlUpgrade->isHidden()) SetUpgradeBarShown(false);
}

void TMainForm::SetUpgradeBarShown(bool shown) {
  pnlUpgrade->setVisible(shown);
  // Laid out at once: the run may end before the event loop gets to it.
  Panel6->dock()->invalidate();
  Panel6->dock()->activate();
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
  Remember(FilesDir() + std::string(kToolConfigName));
  records_ = new WindowRecords(lblRecords, this);
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
    for (std::string_view name : kComList) CboxCom->addItem(ToQ(name));
  }
  const SuspendFlag suspend(firmwareHandlersSuspended_);
  if (ToolConfigIni) LoadParams(*ToolConfigIni);
}

void TMainForm::LoadParams(const IniFile& ini) {
  ParamSet next = ps_;
  const std::vector<std::string> regions = LoadParamSet(ini, next);
  ShowParams(std::move(next), regions, CurrentGravityHeads());
}

TMainForm::GravityHeads TMainForm::CurrentGravityHeads() {
  return {ToQ(LangCatalog("sNoSet")), ToQ(LangCatalog("sManual"))};
}

void TMainForm::ShowParams(ParamSet next, const std::vector<std::string>& regions, const GravityHeads& heads) {
  ps_ = std::move(next);

  for (QComboBox* c : {Cboxbdgb, CboxTaggb}) {
    const QSignalBlocker block(c);
    c->clear();
    for (const QString& head : heads) c->addItem(head);
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
  edtFilePath->setText(QString::fromStdString(FirmwarePathOf(ps_)));

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
  SetFirmwarePath(ps_, edtFilePath->text().toStdString());
  facset::SaveParams(ini, ps_, CurrentLanguage().Suffix());
  modified_ = false;
}

void TMainForm::SaveToolConfig() {
  if (!ToolConfigIni) throw std::runtime_error("facconfig.ini is not open");
  if (!MayOverwrite(ToolConfigIni->path())) return;
  SaveParams(*ToolConfigIni);
  Remember(ToolConfigIni->path());
}

void TMainForm::AskSaveSettings() {
  if (!modified_) return;
  if (AppDialogs().AskYesNo(LangCatalog("sSettingsNotSave"), "", MsgIcon::Question)) SaveToolConfig();
}

bool TMainForm::CommitPendingEdits() {
  for (Gravity* g : {&bdgb_, &taggb_}) {
    if (g->pending && !GravityEncode(*g)) return false;
  }
  return true;
}

namespace {
std::string StampKey(const std::string& path) {
  return QFileInfo(QString::fromStdString(path)).absoluteFilePath().toStdString();
}
}  // namespace

TMainForm::FileStamp TMainForm::StampOf(const std::string& path) {
  FileStamp st;
  struct stat sb {};
  if (::stat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) return st;
  st.exists = true;
  st.size = sb.st_size;
  st.mtimeNs = qint64(sb.st_mtim.tv_sec) * 1000000000 + sb.st_mtim.tv_nsec;
  QFile f(QString::fromStdString(path));
  if (f.open(QIODevice::ReadOnly)) {
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    st.sha256 = h.result();
  }
  return st;
}

void TMainForm::Remember(const std::string& path) { stamps_[StampKey(path)] = StampOf(path); }

bool TMainForm::MayOverwrite(const std::string& path) {
  const auto it = stamps_.find(StampKey(path));
  if (it == stamps_.end() || StampOf(path) == it->second) return true;
  const std::string gbkPath = Utf8ToGbk(path);
  if (AppDialogs().AskYesNo(FormatCatalog(LangText("sFileChanged"), {gbkPath}), "", MsgIcon::Warning,
                            YesNoDefault::No)) {
    return true;
  }
  AppendMsg(LangText("sFileKept") + gbkPath);
  return false;
}

bool TMainForm::ReadableChoice(const std::string& path) {
  struct stat sb {};
  const bool exists = ::stat(path.c_str(), &sb) == 0;
  if (exists && S_ISREG(sb.st_mode)) return true;
  const char* key = exists ? "sNotRegularFile" : "sCannotRead";
  AppDialogs().ShowMessage(FormatCatalog(LangText(key), {Utf8ToGbk(path)}), "", MsgIcon::Error);
  return false;
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
// Commands

void TMainForm::btnopenClick() {
  // Unsaved edits are offered for saving first, as on closing.
  if (!CommitPendingEdits()) return;
  AskSaveSettings();
  FileDialogRequest req;
  req.filter = "*.ini|*.ini";
  req.initialDir = FilesDir();
  std::string path;
  if (!AppDialogs().SelectOpenFile(req, path) || !ReadableChoice(path)) return;
  AppendMsgText(ToQ(LangCatalog("sDownloadFile")) + QString::fromStdString(path));
  // All or nothing: everything that can fail (reading the file, switching the
  // language) is done before the window takes anything from the new file.
  ParamSet next = ps_;
  std::vector<std::string> regions;
  {
    const IniFile ini(path);
    regions = LoadParamSet(ini, next);
  }
  // The gravity lists take their first entries in the language in force
  // before the switch.
  const GravityHeads heads = CurrentGravityHeads();
  SwitchLanguage(path, {});
  ShowParams(std::move(next), regions, heads);
  openedFile_ = path;
  Remember(path);
  ApplyLangTexts();
  BuildParamControls();
  MarkModified();
}

void TMainForm::Button2Click() {
  if (CommitPendingEdits()) SaveToolConfig();
}

void TMainForm::btsaveClick() {
  if (!CommitPendingEdits()) return;
  FileDialogRequest req;
  req.filter = "*.ini";
  req.defaultExt = "ini";
  req.initialDir = FilesDir();
  req.title = LangCatalog("sSaveparameters");
  req.replaceQuestion = LangText("sReplaceFile");
  std::string path;
  if (!AppDialogs().SelectSaveFile(req, path) || !MayOverwrite(path)) return;
  AppendMsgText(ToQ(LangCatalog("sSaveFile")) + QString::fromStdString(path));
  {
    IniFile ini(path);
    SaveParams(ini);
  }
  Remember(path);
  ShowSetValues();
}

void TMainForm::btnDispValueClick() { ShowSetValues(); }

void TMainForm::btnDownloadClick() {
  if (downloadHandler_) downloadHandler_(*this);
}

void TMainForm::btnCloseClick() { close(); }

void TMainForm::btnHistoryClick() {
  if (records_ != nullptr) records_->ShowHistory();
}

void TMainForm::RecordAppended() {
  if (records_ != nullptr) records_->RecordAppended();
}

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
  req.initialDir = FilesDir();
  std::string path;
  if (AppDialogs().SelectOpenFile(req, path) && ReadableChoice(path)) edtFilePath->setText(QString::fromStdString(path));
}

void TMainForm::closeEvent(QCloseEvent* e) {
  // No Cancel: the window closes whatever the answer, unless saving failed.
  // What the fields show is what the question offers to save.
  bool saved = true;
  Guard([&] {
    saved = false;
    if (!CommitPendingEdits()) return;
    AskSaveSettings();
    saved = true;
  });
  if (saved) {
    e->accept();
  } else {
    e->ignore();
  }
}

}  // namespace facset
