#pragma once
// Text inside the programs is UTF-8 on every platform. These are the places where it meets the
// C and C++ libraries' file names, the environment and the program's own arguments, which on
// Windows take or give the ANSI code page unless they are asked for UTF-16.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A filesystem path from a UTF-8 text (std::filesystem::path(std::string) would read the ANSI
// code page on Windows), and back.
std::filesystem::path Utf8Path(std::string_view utf8);
std::string PathText(const std::filesystem::path& path);

// std::fopen of a UTF-8 path; errno is set on failure as fopen sets it.
std::FILE* OpenFile(const std::string& path, const char* mode);
// Removes a file; false (and errno is left alone) when it cannot be removed.
bool RemoveFile(const std::string& path);

// The value of an environment variable, UTF-8; nothing when it is not set.
std::optional<std::string> EnvironmentVariable(const char* name);

// The program's arguments in UTF-8, its own name first: argv on POSIX, the wide command line
// on Windows (argv there is in the ANSI code page and loses what it cannot hold).
std::vector<std::string> ProgramArguments(int argc, char** argv);
