#pragma once
// The one seam through which the tool talks to the operator in modal boxes.
// The window installs Qt dialogs; tests install a scripted implementation; the
// command-line tool installs one that prints and answers No.
// Texts are GBK bytes, as the catalog holds them; file paths (the initial
// directory, the chosen file) are file-system paths in UTF-8, so that every
// name Linux allows can be chosen, even one GBK cannot hold.

#include <string>

namespace facset {

enum class MsgIcon { None, Error, Warning, Information, Question };
// The answer Enter gives in a Yes/No box: a question whose Yes cannot be
// undone (stop an upgrade, replace a file) defaults to No.
enum class YesNoDefault { Yes, No };

struct FileDialogRequest {
  std::string filter;       // "*.ini|*.ini" style: description|pattern pairs
  std::string defaultExt;   // "ini" or empty
  std::string initialDir;   // with or without a trailing "/"
  std::string title;        // empty: the toolkit's own title
  // Save dialog: when not empty and the chosen file exists, this question
  // (GBK, "%s" the path) is asked first, defaulting to No; No chooses nothing.
  std::string replaceQuestion;
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // Message box with one OK button. An empty title stays empty.
  virtual void ShowMessage(const std::string& text, const std::string& title, MsgIcon icon) = 0;
  // Yes/No box; true on Yes. Only Yes and No answer it: Escape and the close
  // button of the box do nothing.
  virtual bool AskYesNo(const std::string& text, const std::string& title, MsgIcon icon,
                        YesNoDefault def = YesNoDefault::Yes) = 0;
  // Open dialog: the chosen file must exist. False (and `path` emptied) on cancel.
  virtual bool SelectOpenFile(const FileDialogRequest& req, std::string& path) = 0;
  // Save dialog; asks before replacing an existing file when the request has a
  // replaceQuestion.
  virtual bool SelectSaveFile(const FileDialogRequest& req, std::string& path) = 0;
};

// The request's replaceQuestion with its "%s" replaced by `utf8Path` (as GBK).
std::string ReplaceQuestionText(const FileDialogRequest& req, const std::string& utf8Path);

// The process-wide seam; never null (a default that prints to stderr and answers No).
Dialogs& AppDialogs();
// Installs `d` (not owned); nullptr restores the default. Returns the previous one.
Dialogs* SetAppDialogs(Dialogs* d);

}  // namespace facset
