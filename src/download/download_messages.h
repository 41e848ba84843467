#pragma once
// The download's fixed log texts (never translated); their blanks belong to
// them. The catalog's texts are looked up by key where they are shown.

#include <string_view>

namespace facset {

inline constexpr std::string_view kMsgConnecting = " connect ...";
inline constexpr std::string_view kMsgConnectOk = " connect ok ";
inline constexpr std::string_view kMsgConnectErr = " connect err ";
inline constexpr std::string_view kMsgSetOk = " set ok ! ";
inline constexpr std::string_view kMsgSetFail = " set fail ";
inline constexpr std::string_view kMsgPortNotSet = "\xCE\xB4\xC9\xE8\xD6\xC3\xB4\xAE\xBF\xDA";  // 未设置串口 (GBK)
inline constexpr std::string_view kMsgStartCommandError = "StartCommand error";
inline constexpr std::string_view kMsgReconnectError = "connect error";
inline constexpr std::string_view kMsgReportRule = "***************************";

// Lines of ours that follow the usual ones and say what the usual ones cannot.
// After a stop during a firmware upgrade; the scale then needs a new upgrade.
inline constexpr std::string_view kMsgUpgradeStopped = "stopped: the scale may be left in the middle of a firmware upgrade";
// A step acknowledged by an answer that may belong to another request.
inline constexpr std::string_view kMsgNotProven =
    "the scale's answers could not be matched to the requests: download again";
// The serial line went away (the adapter unplugged, the port closed).
inline constexpr std::string_view kMsgLineGone = "the serial line went away: the run ended there";
// A request the scale's XOFF held back past the hold limit; it never left.
inline constexpr std::string_view kMsgHeld =
    "the scale's flow control (XOFF) held the request back; it was not sent: the run ended there";

}  // namespace facset
