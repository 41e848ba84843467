#pragma once
// Dialogs for tests: every call is recorded, every answer comes from a queue.
//
//   ScriptedDialogs dlg;                 // installed for this scope
//   dlg.yesNo.push_back(true);           // the next AskYesNo answers Yes
//   dlg.openPaths.push_back("/tmp/a.ini");  // the next SelectOpenFile picks it
//   dlg.savePaths.push_back("");         // "" cancels the next SelectSaveFile
//   ... run the code under test ...
//   ASSERT_EQ(dlg.calls.size(), 1u);
//   EXPECT_EQ(dlg.calls[0].kind, DialogCall::Kind::YesNo);
//
// An empty queue answers No or cancel, the safe answers. The file dialogs do not
// check that the path exists: the script is trusted. Header-only; the object
// installs itself with SetAppDialogs and restores the previous seam when it dies.

#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "platform/dialogs.h"

namespace facset {

struct DialogCall {
  enum class Kind { Message, YesNo, OpenFile, SaveFile };
  Kind kind;
  std::string text;           // message and question boxes
  std::string title;          // boxes: their title; file dialogs: req.title
  MsgIcon icon = MsgIcon::None;
  FileDialogRequest request;  // file dialogs only
  bool answer = false;        // what was answered (Yes / a path chosen)
  YesNoDefault def = YesNoDefault::Yes;  // Yes/No boxes: the answer Enter gives
};

class ScriptedDialogs : public Dialogs {
 public:
  std::vector<DialogCall> calls;
  std::deque<bool> yesNo;
  std::deque<std::string> openPaths;  // "" = cancel
  std::deque<std::string> savePaths;  // "" = cancel

  explicit ScriptedDialogs(bool install = true) : installed_(install) {
    if (install) previous_ = SetAppDialogs(this);
  }
  ~ScriptedDialogs() override {
    if (installed_) SetAppDialogs(previous_);
  }
  ScriptedDialogs(const ScriptedDialogs&) = delete;
  ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

  void ShowMessage(const std::string& text, const std::string& title, MsgIcon icon) override {
    calls.push_back({DialogCall::Kind::Message, text, title, icon, {}, true});
  }
  bool AskYesNo(const std::string& text, const std::string& title, MsgIcon icon,
                YesNoDefault def = YesNoDefault::Yes) override {
    bool yes = false;
    if (!yesNo.empty()) {
      yes = yesNo.front();
      yesNo.pop_front();
    }
    calls.push_back({DialogCall::Kind::YesNo, text, title, icon, {}, yes, def});
    return yes;
  }
  bool SelectOpenFile(const FileDialogRequest& req, std::string& path) override {
    return Pick(DialogCall::Kind::OpenFile, openPaths, req, path);
  }
  // The replace question comes from the yesNo queue, as the real dialog asks it.
  bool SelectSaveFile(const FileDialogRequest& req, std::string& path) override {
    if (!Pick(DialogCall::Kind::SaveFile, savePaths, req, path)) return false;
    if (req.replaceQuestion.empty() || ::access(path.c_str(), F_OK) != 0) return true;
    if (AskYesNo(ReplaceQuestionText(req, path), "", MsgIcon::Question, YesNoDefault::No)) return true;
    path.clear();
    return false;
  }

  // The calls of one kind, in order.
  std::vector<DialogCall> CallsOf(DialogCall::Kind kind) const {
    std::vector<DialogCall> out;
    for (const DialogCall& c : calls)
      if (c.kind == kind) out.push_back(c);
    return out;
  }

 private:
  bool Pick(DialogCall::Kind kind, std::deque<std::string>& queue, const FileDialogRequest& req, std::string& path) {
    path.clear();
    if (!queue.empty()) {
      path = queue.front();
      queue.pop_front();
    }
    calls.push_back({kind, {}, req.title, MsgIcon::None, req, !path.empty()});
    return !path.empty();
  }

  bool installed_;
  Dialogs* previous_ = nullptr;
};

}  // namespace facset
