#pragma once
// Dialogs that record what the window shows and answer from a script, so the
// tests drive the real window without anyone at the screen.

#include <deque>
#include <string>
#include <vector>

#include "platform/dialogs.h"

namespace facset::testing {

class ScriptedDialogs : public Dialogs {
 public:
  enum class Kind { Message, YesNo, Open, Save };
  struct Shown {
    Kind kind;
    std::string text;   // message text, or the dialog's title
    std::string title;
    MsgIcon icon = MsgIcon::None;
    FileDialogRequest request;
  };

  std::vector<Shown> shown;
  std::deque<bool> yesNoAnswers;     // missing answers are No
  std::deque<std::string> files;     // "" or a missing entry cancels

  ScriptedDialogs() : previous_(SetAppDialogs(this)) {}
  ~ScriptedDialogs() override { SetAppDialogs(previous_); }

  void ShowMessage(const std::string& text, const std::string& title, MsgIcon icon) override {
    shown.push_back({Kind::Message, text, title, icon, {}});
  }
  bool AskYesNo(const std::string& text, const std::string& title, MsgIcon icon) override {
    shown.push_back({Kind::YesNo, text, title, icon, {}});
    if (yesNoAnswers.empty()) return false;
    const bool a = yesNoAnswers.front();
    yesNoAnswers.pop_front();
    return a;
  }
  bool SelectOpenFile(const FileDialogRequest& req, std::string& path) override { return File(Kind::Open, req, path); }
  bool SelectSaveFile(const FileDialogRequest& req, std::string& path) override { return File(Kind::Save, req, path); }

  std::vector<Shown> Messages() const {
    std::vector<Shown> m;
    for (const Shown& s : shown) {
      if (s.kind == Kind::Message) m.push_back(s);
    }
    return m;
  }
  void Clear() { shown.clear(); }

 private:
  bool File(Kind kind, const FileDialogRequest& req, std::string& path) {
    shown.push_back({kind, req.title, req.title, MsgIcon::None, req});
    path.clear();
    if (files.empty()) return false;
    path = files.front();
    files.pop_front();
    return !path.empty();
  }
  Dialogs* previous_;
};

}  // namespace facset::testing
