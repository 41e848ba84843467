// The built-in catalog. Chinese texts are GBK bytes written as escapes so that
// the file reaches the language file exactly as stored; the comment after each
// entry shows the Chinese text for the reader.
#include <array>

#include "lang/lang.h"

namespace facset {
namespace {

constexpr std::array<CatalogEntry, kCatalogCount> kCatalog = {{
    {"Strings", "sLongscreen", "Long screen",
     "\xB3\xA4\xC6\xC1"},  // 长屏
    {"Strings", "sSquarescreen", "Square screen",
     "\xB7\xBD\xC6\xC1"},  // 方屏
    {"Strings", "sRodlessScreen", "Rodless screen",
     "\xCE\xDE\xB8\xCB\xB3\xD3\xC6\xC1"},  // 无杆秤屏
    {"Strings", "s7272Screen", "7272 scales screen",
     "7272\xB1\xEA\xC7\xA9\xB3\xD3\xC6\xC1"},  // 7272标签秤屏
    {"Strings", "sHangingscale", "Hanging scale",
     "\xB5\xF5\xB3\xD3"},  // 吊秤
    {"Strings", "sOldKeyboard", "Old Keyboard",
     "\xBE\xC9\xB0\xB4\xBC\xFC"},  // 旧按键
    {"Strings", "sNewKeyboard", "New Keyboard",
     "\xD0\xC2\xB0\xB4\xBC\xFC"},  // 新按键
    {"Strings", "sRodlessScreenKeyboard", "Rodless scales Keyboard",
     "\xCE\xDE\xB8\xCB\xB3\xD3\xB0\xB4\xBC\xFC"},  // 无杆秤按键
    {"Strings", "s7272ScreenKeyBoard", "7272 scales Keyboard",
     "7272\xB1\xEA\xC7\xA9\xB3\xD3\xB0\xB4\xBC\xFC"},  // 7272标签秤按键
    {"Strings", "sKP042KeyBoard", "KP042 Keyboard",
     "KP042\xB0\xB4\xBC\xFC"},  // KP042按键
    {"Strings", "sPrintmode0", "Print mode 0",
     "\xB4\xF2\xD3\xA1\xC4\xA3\xCA\xBD" "0"},  // 打印模式0
    {"Strings", "sPrintmode1", "Print mode 1",
     "\xB4\xF2\xD3\xA1\xC4\xA3\xCA\xBD" "1"},  // 打印模式1
    {"Strings", "sEthernet", "Ethernet",
     "\xD2\xD4\xCC\xAB\xCD\xF8"},  // 以太网
    {"Strings", "sEthernetWireless", "Ethernet + wireless",
     "\xD2\xD4\xCC\xAB\xCD\xF8+\xCE\xDE\xCF\xDF"},  // 以太网+无线
    {"Strings", "sPrintforward", "Print forward",
     "\xB4\xF2\xD3\xA1\xC7\xB0\xCD\xCB"},  // 打印前退
    {"Strings", "sLabeltakenaway", "label is taken away",
     "\xB1\xEA\xC7\xA9\xC8\xA1\xD7\xDF\xBA\xF3\xCD\xCB"},  // 标签取走后退
    {"Strings", "sDownloadFile", "Download File",
     "\xD4\xD8\xC8\xEB\xCE\xC4\xBC\xFE"},  // 载入文件
    {"Strings", "sNoSet", "Not set",
     "\xCE\xB4\xC9\xE8\xD6\xC3"},  // 未设置
    {"Strings", "sManual", "Manual",
     "\xCA\xD6\xB6\xAF"},  // 手动
    {"Strings", "sGravityRange", "Gravity must be between %s and %s, please re-enter",
     "\xD6\xD8\xC1\xA6\xD6\xB5\xB1\xD8\xD0\xEB\xD4\xDA%s~%s\xD6\xAE\xBC\xE4\xA3\xAC\xC7\xEB\xD6\xD8\xD0\xC2\xCA\xE4\xC8\xEB"},  // 重力值必须在%s~%s之间，请重新输入
    {"Strings", "sSettingsNotSave", "Settings are not saved, do you want to save?",
     "\xB5\xB1\xC7\xB0\xC9\xE8\xD6\xC3\xCE\xB4\xB1\xA3\xB4\xE6\xA3\xAC\xCA\xC7\xB7\xF1\xD2\xAA\xBD\xF8\xD0\xD0\xB1\xA3\xB4\xE6\xA3\xBF"},  // 当前设置未保存，是否要进行保存？
    {"Strings", "sSaveparameters", "Save parameters",
     " \xB1\xA3\xB4\xE6\xB2\xCE\xCA\xFD"},  //  保存参数
    {"Strings", "sSaveFile", "Save File",
     " \xB1\xA3\xB4\xE6\xCE\xC4\xBC\xFE"},  //  保存文件
    {"Strings", "sNotGreaterMax", "Can not be greater than the maximum:%d",
     " \xB2\xBB\xC4\xDC\xB4\xF3\xD3\xDA\xD7\xEE\xB4\xF3\xD6\xB5%d"},  //  不能大于最大值%d
    {"Strings", "sConnectFail", "Connect Fail",
     "\xC1\xAC\xBD\xD3\xCA\xA7\xB0\xDC!"},  // 连接失败!
    {"Strings", "sStartUpdating", "Start updating the program",
     "\xBF\xAA\xCA\xBC\xB8\xFC\xD0\xC2\xB3\xCC\xD0\xF2"},  // 开始更新程序
    {"Strings", "sUpdate", "update(%d/%d)",
     "\xB8\xFC\xD0\xC2(%d/%d)"},  // 更新(%d/%d)
    {"Strings", "sCommunicationerror", "Communication error",
     "\xCD\xA8\xD1\xB6\xD2\xEC\xB3\xA3"},  // 通讯异常
    {"Strings", "sDisconnect", "Disconnect",
     "\xB6\xCF\xBF\xAA"},  // 断开
    {"Strings", "sDisconnectError", "Disconnect Error",
     "\xB6\xCF\xBF\xAA\xB4\xED\xCE\xF3\xA3\xA1"},  // 断开错误！
    {"Strings", "sUpdatecompleted", "Update completed",
     "\xB8\xFC\xD0\xC2\xB3\xC9\xB9\xA6\xA3\xA1"},  // 更新成功！
    {"Strings", "sLastUpdatetime", "Last Update Time:",
     "\xC9\xCF\xB4\xCE\xB8\xFC\xD0\xC2\xCA\xB1\xBC\xE4:"},  // 上次更新时间:
    {"Strings", "sProgVerAndCheckSum", "Program Version: V%4.4d Program Verification Word:%4.4x",
     "\xB3\xCC\xD0\xF2\xB0\xE6\xB1\xBE: V %4.4d  \xB3\xCC\xD0\xF2\xD0\xA3\xD1\xE9\xD7\xD6:%4.4x"},  // 程序版本: V %4.4d  程序校验字:%4.4x
    {"Strings", "sLenNotGreater", "The length can not be greater than %s",
     "\xB3\xA4\xB6\xC8\xB2\xBB\xC4\xDC\xB4\xF3\xD3\xDA%s"},  // 长度不能大于%s
    {"MainForm", "Caption", "Tarvik sCales factory",
     "Tarvik\xB1\xEA\xC7\xA9\xB3\xC6\xB9\xA4\xB3\xA7\xC9\xE8\xB6\xA8"},  // Tarvik标签称工厂设定
    {"MainForm", "GrpIPSet.Caption", "IP/com Set",
     "IP/com\xC9\xE8\xD6\xC3"},  // IP/com设置
    {"MainForm", "Label1.Caption", "IP",
     "IP"},  // IP
    {"MainForm", "chkUseCom.Caption", "Use Com",
     "\xCA\xB9\xD3\xC3\xB4\xAE\xBF\xDA"},  // 使用串口
    {"MainForm", "GroupBox2.Caption", "factory parameters Set",
     "\xB9\xA4\xB3\xA7\xB2\xCE\xCA\xFD\xC9\xE8\xD6\xC3"},  // 工厂参数设置
    {"MainForm", "Label5.Caption", "target\\rgravity",
     "\xB1\xEA\xB5\xD8\xD6\xD8\xC1\xA6"},  // 标地重力
    {"MainForm", "Label6.Caption", "Use gravity",
     "\xCA\xB9\xD3\xC3\xD6\xD8\xC1\xA6"},  // 使用重力
    {"MainForm", "Button1.Caption", "Choice file",
     "\xD1\xA1\xD4\xF1\xCE\xC4\xBC\xFE"},  // 选择文件
    {"MainForm", "ChkDownProg.Caption", "Upgrade program",
     "\xCF\xC2\xCE\xBB\xBB\xFA\xB3\xCC\xD0\xF2"},  // 下位机程序
    {"MainForm", "btnopen.Caption", "Open File",
     "\xB4\xF2\xBF\xAA\xB2\xCE\xCA\xFD\xCE\xC4\xBC\xFE"},  // 打开参数文件
    {"MainForm", "btnDownload.Caption", "Download parameters",
     "\xCF\xC2\xD4\xD8\xD3\xB2\xBC\xFE\xB2\xCE\xCA\xFD"},  // 下载硬件参数
    {"MainForm", "btsave.Caption", "Save As...",
     "\xB2\xCE\xCA\xFD\xC1\xED\xB4\xE6"},  // 参数另存
    {"MainForm", "btnDispValue.Caption", "Display value",
     "\xCF\xD4\xCA\xBE\xC9\xE8\xB6\xA8\xD6\xB5"},  // 显示设定值
    {"MainForm", "btn3.Caption", "Version",
     "\xB0\xE6\xB1\xBE\xBA\xC5"},  // 版本号
    {"MainForm", "btnClose.Caption", "Close",
     "\xB9\xD8\xB1\xD5"},  // 关闭
    {"MainForm", "Button2.Caption", "Save",
     "\xB2\xCE\xCA\xFD\xB1\xA3\xB4\xE6"},  // 参数保存
    {"MainForm", "Label3.Caption", "Set Value:",
     "\xC9\xE8\xB6\xA8\xD6\xB5:"},  // 设定值:
    {"MainForm", "Label2.Caption", "Message\xA3\xBA",
     "\xD0\xC5\xCF\xA2\xA3\xBA"},  // 信息：
}};

constexpr bool SectionsInOrder() {
  for (std::size_t i = 0; i < kCatalogCount; ++i) {
    if (kCatalog[i].section != (i < kCatalogStringsCount ? kStringsSection : kMainFormSection)) return false;
  }
  return true;
}
static_assert(SectionsInOrder(), "all \"Strings\" entries come before the \"MainForm\" ones");

}  // namespace

std::span<const CatalogEntry, kCatalogCount> CatalogTable() { return kCatalog; }

}  // namespace facset
