#pragma once
// The subcommands of kestrel-cli. Each takes its run (options, output, the JSON object) and the
// links it works on, and returns the program's exit status (ExitStatus below).
#include "CommandLine.h"
#include "DeviceLink.h"
#include "ServerLink.h"
#include "Workflow.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Exit statuses of every subcommand (listed by `kestrel-cli --help`).
enum ExitStatus : int {
    ExitOk = 0,            // done: firmware applied, device up to date, identified, programmed
    ExitDevice = 1,        // the device was not found, or programming it failed
    ExitUsage = 2,         // a usage error, or an image file that cannot be programmed
    ExitNewTool = 3,       // update: the server offers a new version of the tool itself
    ExitServer = 4,        // update: the server exchange failed
    ExitAnswer = 5,        // update: an answer that cannot be applied (unknown kind, bad tool)
    ExitInternal = 70,     // an unexpected failure inside kestrel-cli (a fault to report)
    ExitInterrupted = 130, // ended by Ctrl-C (SIGINT) or SIGTERM
};

// Finds the device and prints its port, type, versions, identity, identity bytes and counters.
int RunIdentify(TCliRun& run, TDeviceLink& device);
// Finds the device and programs the image file (ImageKind::Firmware at address 0) into it.
int RunFlash(TCliRun& run, TDeviceLink& device);
// The whole upgrade, as the window's "在线更新" button runs it (see TerminalWorkflowUI.h), with
// the device on `device` and the upgrade server on `server`.
int RunUpdate(TCliRun& run, TDeviceLink& device, TServerLink& server);
// Lists every serial port: number, path, USB details, whether another program holds it.
int RunPorts(TCliRun& run);

// The port of --port for identify, flash and update, into `port` (left empty when none was
// given). False, once the user was told, for a value that names no existing port (the command
// then ends with ExitUsage); a serial device outside the numbered list is taken by its path.
bool PortToTry(TCliRun& run, std::optional<TPortId>& port);

// The exit status of `update` for the way the action ended.
int UpdateExitStatus(TWorkflowResult result, bool interrupted);

// "port: 3 (COM3, /dev/ttyUSB0)": the port of a found device, as every command shows it;
// "port: /dev/pts/5 (not in the numbered list)" for a device named by a path outside the list.
std::string PortLine(const TPortId& port);
// The device a link found last as a JSON object: port, type, versions, identity, counters.
TJson DeviceJson(const TIOPack& device);
// A signed file's release statement as a JSON object: kind, device or platform, version.
TJson StatementJson(const TReleaseStatement& statement);

// Reads an image file for `flash`. Refuses, with one line naming the file and the problem in
// `error`, a path that does not exist or cannot be read, a directory or anything but a regular
// file, an empty file and one larger than the largest image the server link accepts.
bool ReadImageFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);
