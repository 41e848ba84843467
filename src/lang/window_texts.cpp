// Texts of the window that the written catalog does not hold. They are never
// written into the language file: the catalog stays as translators know it.

#include "lang/lang.h"
#include "platform/text_encoding.h"

namespace facset {
namespace {

struct WindowText {
  std::string_view key;
  std::string_view english;
  std::string_view chinese;  // UTF-8 here; GBK when looked up
};

constexpr WindowText kWindowTexts[] = {
    {"sStop", "Stop", "停止"},
    {"sStopDownload",
     "A download is running. Stop it and close the window? The scale may be left in the middle of an upgrade.",
     "正在下载。停止下载并关闭窗口吗？秤可能停留在升级中途。"},
    {"sTimeLeft", "%s left", "剩余 %s"},
    {"sNotFloat", "'%s' is not a valid floating point value", "“%s”不是有效的数值"},
    {"sUnableToWrite", "Unable to write to %s", "无法写入 %s"},
    {"sNotRegularFile", "%s is not a regular file (a folder, a device or a pipe); nothing was read from it",
     "%s 不是普通文件（文件夹、设备或管道），未读取任何内容"},
    {"sCannotRead", "Unable to read %s", "无法读取 %s"},
    {"sReplaceFile", "%s already exists. Replace it?", "%s 已存在。要替换它吗？"},
    {"sFileChanged",
     "%s was changed by another program since this window loaded or saved it. Overwrite it with the window's "
     "parameters? No keeps the other program's file and leaves the window's edits unsaved.",
     "%s 在本窗口载入或保存之后已被其他程序修改。要用本窗口的参数覆盖它吗？选“否”保留其他程序的文件，本窗口的修改保持未保存。"},
    {"sFileKept", "kept the file as another program wrote it: ", "保留了其他程序写入的文件："},
    // Reasons after "Unable to write to": the system's own wording is the
    // English text, so that the English window reads as before.
    {"sReasonEACCES", "Permission denied", "没有权限"},
    {"sReasonEPERM", "Operation not permitted", "不允许的操作"},
    {"sReasonENOSPC", "No space left on device", "磁盘空间不足"},
    {"sReasonEDQUOT", "Disk quota exceeded", "超出磁盘配额"},
    {"sReasonEROFS", "Read-only file system", "只读文件系统"},
    {"sReasonEFBIG", "File too large", "文件过大"},
    {"sReasonEIO", "Input/output error", "输入输出错误"},
    {"sReasonENOENT", "No such file or directory", "文件或文件夹不存在"},
    {"sReasonENOTDIR", "Not a directory", "路径中有一项不是文件夹"},
    {"sReasonEISDIR", "Is a directory", "这是一个文件夹"},
    {"sReasonENAMETOOLONG", "File name too long", "文件名过长"},
    {"sReasonELOOP", "Too many levels of symbolic links", "符号链接层数过多"},
    {"sReasonReadOnly", "read-only", "只读"},
    {"sReasonNotRegular", "not a regular file", "不是普通文件"},
    {"sReasonNotRegularKind", "%s, not a regular file", "%s，不是普通文件"},
    {"sKindLink", "a symbolic link", "符号链接"},
    {"sKindFifo", "a FIFO", "管道（FIFO）"},
    {"sKindDevice", "a device", "设备"},
    {"sKindFolder", "a folder", "文件夹"},
    {"sKindSocket", "a socket", "套接字"},
    {"sKindUnknown", "an unknown kind of file", "未知类型的文件"},
    {"sReasonLineBreak", "a line break in a name or value", "名称或值中有换行"},
    {"sReasonNotReadBack", "the line would not read back as that key", "写入的行无法按该键读回"},
    {"sReasonTooLarge", "larger than %s MiB, not a parameter file", "大于 %s MiB，不是参数文件"},
    // The station records: the History command, its dialog, the status line.
    {"sHistory", "History", "历史记录"},
    {"sHistoryToday", "Today only", "仅今天"},
    {"sHistoryFailed", "Failed or not proven only", "仅失败或未证实"},
    {"sHistoryTarget", "Target:", "目标："},
    {"sHistoryCounts", "Today: %s ok, %s failed, %s not proven", "今天：成功 %s，失败 %s，未证实 %s"},
    {"sHistoryNewest", "The newest %s records are listed.", "只列出最新的 %s 条记录。"},
    {"sHistoryUnreadable", "The station records cannot be read: %s", "无法读取本站记录：%s"},
    {"sHistColTime", "Time", "时间"},
    {"sHistColTarget", "Target", "目标"},
    {"sHistColOutcome", "Outcome", "结果"},
    {"sHistColBlock", "Block sha256", "参数块 sha256"},
    {"sHistColFirmware", "Firmware", "固件"},
    {"sOutcomeOk", "ok", "成功"},
    {"sOutcomeFailed", "failed", "失败"},
    {"sOutcomeAborted", "aborted", "已中止"},
    {"sOutcomeNotProven", "not proven", "未证实"},
    {"sOutcomeNotRun", "not run", "未执行"},
    {"sOutcomeNotAsked", "not asked", "未要求"},
    {"sOutcomeUnknown", "unknown", "未知"},
    {"sOutcomeCompleted", "completed", "完成"},
    {"sOutcomeNoFile", "no file", "无此文件"},
    {"sOutcomeCannotRead", "cannot read", "无法读取"},
    {"sOutcomeEntryFailed", "entry failed", "进入升级失败"},
    {"sOutcomeStartFailed", "start failed", "开始升级失败"},
    {"sOutcomeBlockFailed", "block failed", "数据块失败"},
    {"sOutcomeFinishFailed", "finish failed", "结束升级失败"},
    {"sHistoryClose", "Close", "关闭"},
    {"sRecordTitle", "Record %s", "记录 %s"},
    {"sRecStarted", "Started", "开始时间"},
    {"sRecStation", "Station / operator", "工位 / 操作员"},
    {"sRecProgram", "Program", "程序"},
    {"sRecTarget", "Target", "目标"},
    {"sRecParamFile", "Parameter file", "参数文件"},
    {"sRecBlockSha", "Block sha256", "参数块 sha256"},
    {"sRecFirmware", "Firmware", "固件"},
    {"sRecSteps", "Connect / block / firmware", "连接 / 参数块 / 固件"},
    {"sRecOutcome", "Outcome", "结果"},
    {"sRecError", "Error", "错误"},
    {"sRecBlock", "Block sent (set values)", "发送的参数块（设定值）"},
    {"sRecLog", "Log", "日志"},
    {"sRecordsWaiting", "Records waiting to be sent: %s", "等待上传的记录：%s 条"},
    {"sRecordsAllSent", "All records sent", "记录已全部上传"},
    {"sRecordsNoServer", "Factory database not usable", "工厂数据库设置无效"},
    // Names a screen reader gives the fixed lists, which have no label.
    {"sAccScreen", "Screen type", "屏幕类型"},
    {"sAccKeyboard", "Keyboard type", "按键类型"},
    {"sAccPrintMode", "Print mode", "打印模式"},
    {"sAccNetwork", "Network interface", "网络接口"},
    {"sAccLabel", "Label handling", "标签处理"},
    // The numeric row whose value goes up after each successful download.
    {"sIncreaseMark", "Increase after each successful download", "每次下载成功后加一"},
    {"sIncreaseMarker", "+1", "+1"},
};

}  // namespace

std::string WindowTextBuiltIn(std::string_view key, bool chinese) {
  for (const WindowText& t : kWindowTexts) {
    if (t.key == key) return chinese ? Utf8ToGbk(t.chinese) : std::string(t.english);
  }
  return std::string(key);
}

std::string LangText(std::string_view key) {
  const Language& lang = CurrentLanguage();
  if (const IniFile* file = lang.File()) {
    try {
      if (std::optional<std::string> v = file->FindString(kStringsSection, key); v && !TrimBlanks(*v).empty()) {
        return UnescapeText(*v);
      }
    } catch (const EIniError&) {
      // An unreadable language file: the built-in text serves.
    }
  }
  return WindowTextBuiltIn(key, lang.Chinese());
}

}  // namespace facset
