#pragma once
// The main window: layout, window texts, the fixed settings, the generated
// parameter rows and the file commands.

#include <QFont>
#include <QPalette>
#include <QPointer>
#include <array>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "params/param_model.h"
#include "params/param_rows.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QTextEdit;
class QPushButton;

namespace facset {

class TAlignLayout;
class TLabel;
class TMyScrollBox;
class TPanel;
class TSplitter;
class TWrapButton;
class TWrapCheckBox;
class WindowRecords;

// The fixed application title; not translated.
extern const char* const kApplicationTitleUtf8;

class TMainForm : public QWidget {
  Q_OBJECT

 public:
  // `args`: the command-line arguments after the program name. The tool
  // configuration (ToolConfigIni, language file) must be set up before.
  explicit TMainForm(const QStringList& args, QWidget* parent = nullptr);
  ~TMainForm() override;

  // ---- What the download command works with ----
  // Runs inside the general error report like every other command.
  void SetDownloadHandler(std::function<void(TMainForm&)> handler) { downloadHandler_ = std::move(handler); }
  ParamSet& Params() { return ps_; }          // block, link settings (DeviceIp, UseCom, ComIndex)
  const ParamSet& Params() const { return ps_; }
  bool Modified() const { return modified_; }
  void AskSaveSettings();                     // throws EIniError when the save fails
  // Stores what a field shows but has not stored yet (a gravity value typed
  // and not confirmed), as leaving the field would. False when it is refused
  // (the message was shown, the focus is on the field): the caller stops.
  bool CommitPendingEdits();
  void AppendMsg(std::string_view gbk);       // one line (CR/LF inside start new lines)
  void AppendMsgText(QString text);  // the same for a text already decoded
  void ReplaceLastMsg(std::string_view gbk);  // rewrites the last line of lstMsg
  // The controls a download must not see changed under it: the connection
  // settings, the firmware controls, the file commands, the fixed lists, the
  // gravity settings and the parameter rows.
  std::vector<QWidget*> LockedDuringDownload() const;
  std::string ComText() const;                // CboxCom's text (GBK)
  int ComSelectedIndex() const;
  void FocusCom();
  bool DownProgChecked() const;
  std::string FirmwarePath() const;           // edtFilePath's text: a file-system path (UTF-8)
  // The parameter file behind the working copy: the file last opened, else facconfig.ini.
  std::string ParamFilePath() const;
  // The upgrade's progress under lstMsg with its Stop button; shown only while
  // an upgrade runs. `figures`: blocks, rate and time left.
  void ShowUpgradeProgress(int percent, const QString& figures);
  void HideUpgradeProgress();
  // A download's record was appended: it goes on to the factory database in
  // the background; the status line and the History dialog show it.
  void RecordAppended();

  // ---- Window operations (public for the benchmarks and the tests) ----
  void ApplyLangTexts();
  void BuildParamControls();
  void ClearParamControls();
  void ShowSetValues();
  void MarkModified();
  // The numeric row marked "increase after each successful download" (its
  // byte; 0: none). One row at a time; the mark is saved with the working copy.
  int IncreaseMark() const { return ps_.IncreaseByte; }
  void SetIncreaseMark(int byte);
  // After a download whose block the scale acknowledged, provably: the marked
  // row's value goes up by one as an ordinary edit; past its maximum it is
  // refused with the usual message and the mark is removed.
  void IncreaseAfterDownload();
  // Runs `fn`; an exception becomes a message box with its text and the window
  // goes on.
  void Guard(const std::function<void()>& fn);

 protected:
  void closeEvent(QCloseEvent* e) override;
  void showEvent(QShowEvent* e) override;
  bool event(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  struct Gravity {
    QComboBox* list;
    QLineEdit* field;
    int firstByte;        // 8 or 11
    bool setsFlag;        // byte 7 follows the calibration-site list
    bool focusOnManual;
    bool pending = false;  // typed, not stored yet
  };
  // A parameter row's bytes and text when the operator began the edit in
  // progress: a refused value puts them back.
  struct EditStart {
    int byte = -1;
    std::vector<std::uint8_t> bytes;
    QString text;
  };

  // Layout.
  void CreateLayout();
  void BuildConnectionGroup(TAlignLayout* dock);
  void BuildCommandButtons();
  void BuildRightColumn();
  void BuildUpgradeBar();
  void BuildParameterArea();
  void BuildFixedSettings(QWidget* area);
  void BuildRowsPanel(QWidget* area);
  void NameControls();
  void WireHandlers();
  template <class W>
  W* Own(W* w);

  // Start-up and loading.
  void FormCreate(const QStringList& args);
  void FillOptionLists();
  void LoadParams(const IniFile& ini);
  // Takes `next` as the parameters and shows them in the fixed controls.
  // The entries "not set" and "manual input" of the gravity lists.
  using GravityHeads = std::array<QString, 2>;
  static GravityHeads CurrentGravityHeads();
  void ShowParams(ParamSet next, const std::vector<std::string>& regions, const GravityHeads& heads);
  void SaveParams(IniFile& ini);
  void SaveToolConfig();
  void ShowNewestMsg();
  void EnableParamControls(bool enabled);
  void SetUpgradeBarShown(bool shown);
  void SetTabOrder();
  // Within the screen's free area: the frame (title bar) and all. `centre`:
  // the first placement, at the full size when it fits.
  void FitScreen(bool centre);
  bool fitPending_ = false;
  // Writing a parameter file the window loaded or saved: when another program
  // changed it since, the operator chooses between overwriting it and keeping
  // it. False when kept (nothing written).
  bool MayOverwrite(const std::string& path);
  void Remember(const std::string& path);  // the file as the window last read or wrote it
  // A file chosen to be read must be a regular file; anything else is named
  // in a message and nothing is read from it.
  bool ReadableChoice(const std::string& path);

  // Handlers.
  void btnopenClick();
  void Button2Click();
  void btsaveClick();
  void btnDispValueClick();
  void btnDownloadClick();
  void btnCloseClick();
  void btnHistoryClick();
  void chkUseComClick();
  void edtIPChange();
  void CboxComChange();
  void ChkDownProgClick();
  void edtFilePathChange();
  void Button1Click();
  void CboxMyChange(QComboBox* list);
  void TextParamChanged(QLineEdit* field);
  void GravityChange(Gravity& g);
  bool GravityEncode(Gravity& g);  // false: refused
  void GravityEdited(Gravity& g);  // text that arrived without key presses
  bool HandleWheel(QObject* receiver, QWheelEvent* e);

  // Object names of the generated rows: "CboxAuto" or "edtAuto" and the byte.
  static QString ListName(int byte);
  static QString FieldName(int byte);
  QLineEdit* CoupledField() const;
  int TagOf(const QObject* o) const;
  int SelectedIndex(const QComboBox* list) const;
  const ParamRow* RowOf(int tag) const;
  // The generated rows' widgets.
  struct RowLooks {
    QFont labelFont;
    QPalette notePalette;
    int listHeight = 0;
  };
  QLabel* AddRowLabel(const std::string& text, int left, int top, int width, const RowLooks& looks);
  QWidget* AddTextRow(const ParamRow& row);
  QWidget* AddListRow(const ParamRow& row, const RowLooks& looks);
  void ShowRowMenu(QComboBox* list, const QPoint& at);
  void ShowIncreaseMarker();
  void BeginEdit(const ParamRow& row, const QString& shown);
  void EndEdit() { editStart_ = {}; }
  // Back to the bytes and text of the edit's start; the text it shows.
  QString RestoreEditStart(const ParamRow& row);

  // State beside the block.
  ParamSet ps_;
  bool modified_ = false;
  bool firmwareHandlersSuspended_ = false;
  std::string openedFile_;
  EditStart editStart_;
  struct FileStamp {
    bool exists = false;
    qint64 size = 0;
    qint64 mtimeNs = 0;
    QByteArray sha256;
    bool operator==(const FileStamp&) const = default;
  };
  static FileStamp StampOf(const std::string& path);
  std::map<std::string, FileStamp> stamps_;
  std::function<void(TMainForm&)> downloadHandler_;
  WindowRecords* records_ = nullptr;  // a child object
  std::vector<ParamRow> rows_;          // indexed through rowIndex_
  std::array<int, 256> rowIndex_{};     // byte -> index into rows_ + 1, 0 = none
  int wheelRest_ = 0;
  bool forwardingWheel_ = false;
  class WheelFilter;
  WheelFilter* wheelFilter_ = nullptr;

  // Controls created from the layout, in layout order (ApplyLangTexts visits these).
  std::vector<QPointer<QWidget>> layoutControls_;

 public:
  // Layout controls, named as their object names.
  QGroupBox* GrpIPSet = nullptr;
  TLabel* Label1 = nullptr;
  QLineEdit* edtIP = nullptr;
  TWrapCheckBox* chkUseCom = nullptr;
  QComboBox* CboxCom = nullptr;
  TPanel* Panel1 = nullptr;
  TPanel* Panel3 = nullptr;
  TWrapButton* btnopen = nullptr;
  TWrapButton* Button2 = nullptr;
  TWrapButton* btsave = nullptr;
  TWrapButton* btnDispValue = nullptr;
  TWrapButton* btnDownload = nullptr;
  TWrapButton* btnClose = nullptr;
  TWrapButton* btn3 = nullptr;
  TWrapButton* btnHistory = nullptr;
  TPanel* Panel4 = nullptr;
  TPanel* Panel5 = nullptr;
  TLabel* Label3 = nullptr;
  TLabel* Label9 = nullptr;
  QTextEdit* lstDispValue = nullptr;
  TPanel* Panel6 = nullptr;
  TPanel* Panel8 = nullptr;
  TLabel* Label2 = nullptr;
  QLabel* lblRecords = nullptr;  // records waiting for the factory database
  QPlainTextEdit* lstMsg = nullptr;
  TSplitter* Splitter1 = nullptr;
  TPanel* Panel2 = nullptr;
  QGroupBox* GroupBox2 = nullptr;
  TMyScrollBox* MyScrollBox1 = nullptr;
  TPanel* Panel7 = nullptr;
  TWrapCheckBox* ChkDownProg = nullptr;
  QLineEdit* edtFilePath = nullptr;
  QPushButton* Button1 = nullptr;
  QComboBox* cbb1 = nullptr;
  QComboBox* cbb2 = nullptr;
  QComboBox* cbb3 = nullptr;
  QComboBox* Cbb4 = nullptr;
  QComboBox* Cbb6 = nullptr;
  TLabel* Label5 = nullptr;
  QComboBox* Cboxbdgb = nullptr;
  QLineEdit* edtbdgb = nullptr;
  TLabel* Label6 = nullptr;
  QComboBox* CboxTaggb = nullptr;
  QLineEdit* edttaggb = nullptr;
  TPanel* PnlCtrlCbox = nullptr;
  // Not part of the language file's layout: shown only during an upgrade.
  QWidget* pnlUpgrade = nullptr;
  QProgressBar* pbUpgrade = nullptr;
  QLabel* lblUpgrade = nullptr;
  QPushButton* btnStop = nullptr;

 private:
  Gravity bdgb_{};
  Gravity taggb_{};
};

}  // namespace facset
