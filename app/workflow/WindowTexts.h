#pragma once
// What the two windows (Qt on Linux, Win32 on Windows) share without a toolkit: their fixed
// texts, the address of the device information page and the local page shown when it cannot be
// loaded, the answers to --version and --help, and the last word on an unexpected failure.
#include <functional>
#include <optional>
#include <string>

namespace WindowText {
inline constexpr const char* ApplicationTitle = "VELT在线升级V1.0"; // the task-bar entry
inline constexpr const char* Caption = "VELT在线升级";              // followed by the version
inline constexpr const char* InitialStatus = "VELT在线升级：请连接QX40设备后按[在线更新]";
// The status text after the user cancelled the server exchange with But_Stop.
inline constexpr const char* Cancelled = "操作已取消！";
inline constexpr const char* Start = "在线更新";
inline constexpr const char* Stop = "取消操作";
inline constexpr const char* DeviceTypeLabel = "设备类型：";
inline constexpr const char* PortLabel = "通讯端口：";
inline constexpr const char* NotConnected = "未连接"; // the device type box at start
inline constexpr const char* NotUsed = "未使用";      // the port box at start
inline constexpr const char* DeviceTypeEntry = "QX40-TOOL";
inline constexpr const char* HintCaption = "操作提示";
// The status line's tooltip before the cause of a failure, and its context menu entry.
inline constexpr const char* CauseTooltip = "失败原因（右键可复制）：\n";
inline constexpr const char* CopyCause = "复制错误原因 (copy the cause)";
} // namespace WindowText

// The device information page: the base address (the environment variable KESTREL_INFO_BASE_URL
// when set, otherwise the one chosen at build time) and "/url/QX40Info.htm".
std::string InfoPageUrl();

// Why the page could not be loaded, as the fallback page tells it.
enum class TInfoFailure { NotFound, Refused, NameNotResolved, NoAnswer, Tls, Other };
// The short Chinese reason of a failure.
std::string InfoFailureText(TInfoFailure failure);
// The small local page shown instead of an information page that cannot be loaded, as HTML in
// UTF-8: in Chinese, that the device information is unavailable and the short reason, the
// address, a reload link "重新加载", and the English detail in small print. It wraps at any
// width: no horizontal scroll bar.
std::string InfoUnavailablePage(const std::string& url, TInfoFailure failure,
                                const std::string& detail);

// Before anything else, the window program's command line: with "--version" as its only
// argument it prints its name and version (and what it trusts for updates), with "--help" (or
// "-h") `usage`, on standard output, and ends with 0. It takes nothing else but "AG" (any letter
// case) as its one argument: anything else is refused with a line on standard error that names
// it and points at --help, and status 2. Either way without opening a window or touching a
// device; nothing: go on.
std::optional<int> AnswerCommandLine(int argc, const char* const* argv, const std::string& usage);

// The name of the window for the one-window-per-user rule: KESTREL_INSTANCE when set (any
// character other than a letter, digit, '.', '_' or '-' becomes '_'), otherwise "window".
std::string WindowInstanceName();

// The usage text of `kestrel --help`: the lines both window programs share, with each one's own
// end of the first paragraph (`portsLine`), further environment variables (`moreEnvironment`,
// whole lines) and closing paragraph (`ending`).
std::string WindowProgramUsage(const char* portsLine, const char* moreEnvironment,
                               const char* ending);

// Runs the window program's `body` and returns its exit status. Nothing escapes: an unexpected
// failure ends the program with its reason on standard error and status 1.
int RunWindowProgram(const std::function<int()>& body);
