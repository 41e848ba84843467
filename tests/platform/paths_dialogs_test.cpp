#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/dialogs.h"
#include "support/scripted_dialogs.h"

namespace facset {
namespace {

TEST(Dialogs, DefaultPrintsDecodedTextAndAnswersNo) {
  ::testing::internal::CaptureStderr();
  AppDialogs().ShowMessage("\xCA\xB9\xD3\xC3\xB4\xAE\xBF\xDA", "", MsgIcon::Error);
  const bool yes = AppDialogs().AskYesNo("Save?", "", MsgIcon::Question);
  std::string path = "stale";
  const bool open = AppDialogs().SelectOpenFile({"*.ini|*.ini", "", "/tmp", "", ""}, path);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(yes);
  EXPECT_FALSE(open);
  EXPECT_EQ(path, "");
  EXPECT_NE(err.find("使用串口"), std::string::npos) << err;
  EXPECT_NE(err.find("Save?"), std::string::npos) << err;
}

TEST(Dialogs, ScriptedRecordsAndAnswersFromQueues) {
  Dialogs* before = &AppDialogs();
  {
    ScriptedDialogs dlg;
    EXPECT_EQ(&AppDialogs(), &dlg);
    dlg.yesNo = {true};
    dlg.openPaths = {"/tmp/a.ini", ""};
    dlg.savePaths = {"/tmp/b.ini"};

    AppDialogs().ShowMessage("bad", "", MsgIcon::Error);
    EXPECT_TRUE(AppDialogs().AskYesNo("q1", "t", MsgIcon::Question));
    EXPECT_FALSE(AppDialogs().AskYesNo("q2", "t", MsgIcon::Question));  // queue empty: No
    std::string p;
    const FileDialogRequest req{"*.ini|*.ini", "ini", "/tmp/", "Open", ""};
    EXPECT_TRUE(AppDialogs().SelectOpenFile(req, p));
    EXPECT_EQ(p, "/tmp/a.ini");
    EXPECT_FALSE(AppDialogs().SelectOpenFile(req, p));  // "" cancels
    EXPECT_EQ(p, "");
    EXPECT_FALSE(AppDialogs().SelectOpenFile(req, p));  // empty queue cancels
    EXPECT_TRUE(AppDialogs().SelectSaveFile(req, p));
    EXPECT_EQ(p, "/tmp/b.ini");

    ASSERT_EQ(dlg.calls.size(), 7u);
    EXPECT_EQ(dlg.calls[0].kind, DialogCall::Kind::Message);
    EXPECT_EQ(dlg.calls[0].text, "bad");
    EXPECT_EQ(dlg.calls[0].icon, MsgIcon::Error);
    EXPECT_EQ(dlg.calls[1].kind, DialogCall::Kind::YesNo);
    EXPECT_EQ(dlg.calls[1].title, "t");
    EXPECT_TRUE(dlg.calls[1].answer);
    EXPECT_FALSE(dlg.calls[2].answer);
    EXPECT_EQ(dlg.calls[3].request.filter, "*.ini|*.ini");
    EXPECT_EQ(dlg.calls[3].request.initialDir, "/tmp/");
    EXPECT_EQ(dlg.CallsOf(DialogCall::Kind::OpenFile).size(), 3u);
    EXPECT_EQ(dlg.calls[6].kind, DialogCall::Kind::SaveFile);
  }
  EXPECT_EQ(&AppDialogs(), before);
  EXPECT_EQ(SetAppDialogs(nullptr), before);
}

}  // namespace
}  // namespace facset
