// The resources Windows reads from kestrel-cli.exe and from the same program built with another
// update trust: the application manifest, byte for byte app/Kestrel.manifest, and the version
// information (product "Kestrel", the project's version).
#include "TestFiles.h"
#include "WideText_win32.h"

#include <gtest/gtest.h>

#include <string>
#include <windows.h>

namespace {

std::string ManifestOf(const std::string& program) {
    HMODULE module = LoadLibraryExW(Widen(program).c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module)
        return "cannot load: error " + std::to_string(GetLastError());
    std::string text;
    if (HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)))
        if (HGLOBAL loaded = LoadResource(module, found))
            text.assign(static_cast<const char*>(LockResource(loaded)),
                        SizeofResource(module, found));
    FreeLibrary(module);
    return text;
}

std::string VersionText(const std::string& program, const wchar_t* name) {
    const std::wstring path = Widen(program);
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    std::string block(size, '\0');
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data()))
        return {};
    void* value = nullptr;
    UINT length = 0;
    std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(block.data(), key.c_str(), &value, &length) || length == 0)
        return {};
    return Narrow(static_cast<const wchar_t*>(value)); // the length counts the final zero
}

class ProgramResources : public ::testing::TestWithParam<const char*> {};

TEST_P(ProgramResources, ManifestAndVersion) {
    EXPECT_EQ(ManifestOf(GetParam()), ReadFileBytes(KESTREL_MANIFEST));
    EXPECT_EQ(VersionText(GetParam(), L"ProductName"), "Kestrel");
    EXPECT_EQ(VersionText(GetParam(), L"ProductVersion"), KESTREL_VERSION);
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramResources,
                         ::testing::Values(KESTREL_CLI_EXE, KESTREL_CLI_KEYED_EXE),
                         [](const auto& param) { return param.index == 0 ? "Cli" : "CliKeyed"; });

} // namespace
