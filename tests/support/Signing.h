#pragma once
// Signing with the tests' keys (made by minisign in the build folder, cmake/TestSigning.cmake):
// `trusted` is built into the keyed test programs, `other` is trusted by nothing.
#include <string>

// The paths of a key pair's files: TestKeyFile("trusted", ".pub"), TestKeyFile("other", ".key").
std::string TestKeyFile(const std::string& name, const std::string& suffix);
// A test key's id as minisign names it in the comment line of its .pub file.
std::string TestKeyId(const std::string& name);
// The release statements the maker signs (the trusted comment of a release signature).
std::string FirmwareStatement(const std::string& version, const std::string& device = "QX40");
std::string ToolStatement(const std::string& version, const std::string& platform = "linux-x86_64");
// The .minisig text of `bytes` signed by minisign with the secret key `key` ("trusted" or
// "other", or the path of a .key file), pre-hashed as minisign signs by default or, with
// `legacy`, the plain Ed25519 form; `comment` is its trusted comment.
std::string MinisignSignature(const std::string& bytes, const std::string& key = "trusted",
                              bool legacy = false,
                              const std::string& comment = "signed by the tests");
