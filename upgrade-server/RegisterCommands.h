#pragma once
// The operator's commands on the register, which work while servers run on it (a running server
// takes a change within a second):
//   NAME rollout [--register URI] [--json]
//   NAME rollout pause|resume|advance|halt TYPE VERSION [--register URI]
//   NAME devices [--type T] [--version V] [--register URI] [--json]
#include <string>
#include <vector>

// Whether the arguments (argv[1..]) are a command on the register rather than the server's.
bool IsRegisterCommand(const std::vector<std::string>& args);
// Runs the command; its exit status. Its output goes to standard output, an error to standard
// error as one line starting with "NAME: ".
int RunRegisterCommand(const std::string& program, const std::vector<std::string>& args);

// The commands' usage lines ("  or:  NAME rollout ...") and their section of --help.
std::string RegisterUsageLines(const std::string& program);
std::string RegisterCommandsHelp();
