#include "Signing.h"

#include "ChildProcess.h"

#include <stdexcept>

std::string TestKeyFile(const std::string& name, const std::string& suffix) {
    return std::string(KESTREL_TEST_SIGNING_DIR) + "/" + name + suffix;
}

std::string TestKeyId(const std::string& name) {
    std::string pub = ReadFileBytes(TestKeyFile(name, ".pub"));
    std::string first = pub.substr(0, pub.find('\n'));
    return first.substr(first.rfind(' ') + 1);
}

std::string FirmwareStatement(const std::string& version, const std::string& device) {
    return "kestrel-release kind=firmware device=" + device + " version=" + version;
}

std::string ToolStatement(const std::string& version, const std::string& platform) {
    return "kestrel-release kind=tool platform=" + platform + " version=" + version;
}

std::string MinisignSignature(const std::string& bytes, const std::string& key, bool legacy,
                              const std::string& comment) {
    TempDir dir;
    WriteFileBytes(dir / "file", bytes);
    std::string keyFile = key.find('/') != std::string::npos ? key : TestKeyFile(key, ".key");
    std::vector<std::string> argv = {KESTREL_PATH_MINISIGN, "-S", "-s",   keyFile, "-m",
                                     dir / "file",          "-t", comment};
    if (legacy)
        argv.emplace_back("-l");
    ChildProcess minisign(argv, {}, true);
    TRun run = Finish(minisign, std::chrono::seconds(60));
    if (run.status != 0)
        throw std::runtime_error("minisign could not sign: " + run.err);
    return ReadFileBytes(dir / "file.minisig");
}
