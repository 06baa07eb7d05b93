#pragma once
// The subcommands of kestrel-cli. Each takes the arguments after its name and returns the
// program's exit status (ExitStatus below).
#include "TerminalWindow.h"
#include "Workflow.h"

#include <string>
#include <vector>

// Exit statuses of every subcommand (listed by `kestrel-cli --help`).
enum ExitStatus : int {
    ExitOk = 0,            // done: firmware applied, device up to date, identified, programmed
    ExitDevice = 1,        // the device was not found, or programming it failed
    ExitUsage = 2,         // a usage or file error
    ExitNewTool = 3,       // update: the server offers a new version of the tool itself
    ExitServer = 4,        // update: the server exchange failed
    ExitAnswer = 5,        // update: an answer that cannot be applied (unknown kind, bad tool)
    ExitInterrupted = 130, // update: ended by Ctrl-C (SIGINT) or SIGTERM
};

// Finds the device and prints its port, type, versions, identity, identity bytes and counters.
int RunIdentify(const std::vector<std::string>& args, TTerminalWindow& window);
// Finds the device and programs the image file FILE into it (image kind 3 at address 0).
int RunFlash(const std::vector<std::string>& args, TTerminalWindow& window);
// The whole upgrade, as the window's "在线更新" button runs it (see TerminalWorkflowUI.h).
int RunUpdate(const std::vector<std::string>& args, TTerminalWindow& window);

// The exit status of `update` for the way the action ended.
int UpdateExitStatus(TWorkflowResult result, bool interrupted);

// "port: 3 (com3, /dev/ttyUSB0)": the port of a found device, as every command shows it.
std::string PortLine(int comId);
