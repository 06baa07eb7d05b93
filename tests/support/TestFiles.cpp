// Test helpers that work the same on every platform: loopback addresses, temporary folders,
// whole files.
#include "TestFiles.h"
#include "SystemText.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

std::string UniqueLoopbackAddress() {
    static std::atomic<unsigned> counter{0};
    unsigned value = (static_cast<unsigned>(getpid()) * 64u + counter++) % (254u * 65536u);
    unsigned a = 1 + value / 65536u; // never 0, so never 127.0.0.x
    unsigned b = (value / 256u) % 256u;
    unsigned c = value % 256u;
    if (c == 0 || c == 255)
        c = 1 + (b % 253);
    std::ostringstream s;
    s << "127." << a << '.' << b << '.' << c;
    return s.str();
}

TempDir::TempDir() {
    // A name nobody has taken: create_directory fails on an existing one.
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate =
            std::filesystem::temp_directory_path() /
            ("kestrel-test-" + std::to_string(random()) + "-" + std::to_string(getpid()));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) {
            path_ = PathText(candidate);
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder in " +
                             PathText(std::filesystem::temp_directory_path()));
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(Utf8Path(path_), ec);
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(Utf8Path(path), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(Utf8Path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
