#pragma once
// Qt message boxes and file dialogs behind the dialogs seam.

#include <QString>
#include <string>

#include "platform/dialogs.h"

class QWidget;

namespace facset {

// "Text|pattern|Text|pattern" to Qt's "Text (pattern);;Text (pattern)".
// A lone pattern without description is shown as itself.
QString QtFileFilter(const std::string& filter);

class QtDialogs : public Dialogs {
 public:
  // `parent` may be null; the boxes are then centred on the screen.
  explicit QtDialogs(QWidget* parent = nullptr) : parent_(parent) {}
  void setParent(QWidget* parent) { parent_ = parent; }

  void ShowMessage(const std::string& text, const std::string& title, MsgIcon icon) override;
  bool AskYesNo(const std::string& text, const std::string& title, MsgIcon icon,
                YesNoDefault def = YesNoDefault::Yes) override;
  bool SelectOpenFile(const FileDialogRequest& req, std::string& path) override;
  bool SelectSaveFile(const FileDialogRequest& req, std::string& path) override;

 private:
  QWidget* parent_;
};

}  // namespace facset
