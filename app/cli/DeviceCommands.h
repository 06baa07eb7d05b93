#pragma once
// The device subcommands of kestrel-cli. Each takes the arguments after its name and returns the
// program's exit status: 0 success, 1 the device failed, 2 a usage or file error.
#include "TerminalWindow.h"

#include <string>
#include <vector>

// Finds the device and prints its port, type, versions, identity, identity bytes and counters.
int RunIdentify(const std::vector<std::string>& args, TTerminalWindow& window);
// Finds the device and programs the image file FILE into it (image kind 3 at address 0).
int RunFlash(const std::vector<std::string>& args, TTerminalWindow& window);

// Texts shared with the window program's workflow.
inline const char* const TextConnecting = "连接设备！请稍后......";
inline const char* const TextConnectFailed = "设备连接失败，请检查USB或电源连接！";
inline const char* const TextConnected = "连接成功！";
inline const char* const TextProgramming = "正在更新设备程序......请不要断开连接！";
inline const char* const TextUpdateDone = "软件更新成功！";
inline const char* const TextDownloadFailed = "程序下载失败！请检查电源或USB连接问题后重新尝试。";
