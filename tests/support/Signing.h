#pragma once
// Signing with the tests' keys (made by minisign in the build folder, cmake/TestSigning.cmake):
// `trusted` is built into the keyed test programs, `other` is trusted by nothing.
#include <string>

// The paths of a key pair's files: TestKeyFile("trusted", ".pub"), TestKeyFile("other", ".key").
std::string TestKeyFile(const std::string& name, const std::string& suffix);
// A test key's id as minisign names it in the comment line of its .pub file.
std::string TestKeyId(const std::string& name);
// The .minisig text of `bytes` signed by minisign with the secret key `key` ("trusted" or
// "other"), pre-hashed as minisign signs by default or, with `legacy`, the plain Ed25519 form.
std::string MinisignSignature(const std::string& bytes, const std::string& key = "trusted",
                              bool legacy = false);
