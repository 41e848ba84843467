#include "platform/dialogs.h"

#include <cstdio>

#include "platform/text_encoding.h"

namespace facset {

namespace {

const char* IconName(MsgIcon icon) {
  switch (icon) {
    case MsgIcon::Error: return "error";
    case MsgIcon::Warning: return "warning";
    case MsgIcon::Information: return "information";
    case MsgIcon::Question: return "question";
    case MsgIcon::None: break;
  }
  return nullptr;
}

// Without a window: tell the operator on stderr and take the safe answer.
class StderrDialogs final : public Dialogs {
 public:
  void ShowMessage(const std::string& text, const std::string& title, MsgIcon icon) override {
    Print(text, title, icon, "");
  }
  bool AskYesNo(const std::string& text, const std::string& title, MsgIcon icon,
                YesNoDefault = YesNoDefault::Yes) override {
    Print(text, title, icon, " [answered No]");
    return false;
  }
  bool SelectOpenFile(const FileDialogRequest& req, std::string& path) override {
    Print("", req.title, MsgIcon::None, "[open-file dialog cancelled]");
    path.clear();
    return false;
  }
  bool SelectSaveFile(const FileDialogRequest& req, std::string& path) override {
    Print("", req.title, MsgIcon::None, "[save-file dialog cancelled]");
    path.clear();
    return false;
  }

 private:
  static void Print(const std::string& text, const std::string& title, MsgIcon icon, const char* note) {
    std::string line;
    if (const char* name = IconName(icon)) line.append(name).append(": ");
    if (!title.empty()) line.append(GbkToUtf8(title)).append(": ");
    line.append(GbkToUtf8(text)).append(note).push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
};

StderrDialogs g_default;
Dialogs* g_current = &g_default;

}  // namespace

std::string ReplaceQuestionText(const FileDialogRequest& req, const std::string& utf8Path) {
  std::string text = req.replaceQuestion;
  if (const auto at = text.find("%s"); at != std::string::npos) text.replace(at, 2, Utf8ToGbk(utf8Path));
  return text;
}

Dialogs& AppDialogs() { return *g_current; }

Dialogs* SetAppDialogs(Dialogs* d) {
  Dialogs* prev = g_current;
  g_current = d ? d : &g_default;
  return prev;
}

}  // namespace facset
