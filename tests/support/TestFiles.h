#pragma once
// Test helpers that work the same on every platform: loopback addresses, temporary folders,
// whole files. Paths are UTF-8 on every platform.
#include <string>

// A loopback address of its own for one server in this test process (127.x.y.z, never
// 127.0.0.1), so that tests running side by side never share a port.
std::string UniqueLoopbackAddress();

// A fresh empty directory under the system's temporary folder, removed with its content when
// the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Whole-file helpers for tests.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
