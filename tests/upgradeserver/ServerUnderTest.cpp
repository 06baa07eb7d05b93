#include "ServerUnderTest.h"

#include "CRC16.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int MillisLeft(std::chrono::steady_clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}
} // namespace

ServerUnderTest::ServerUnderTest(const std::map<std::string, std::string>& files,
                                 const std::string& manifest, const std::vector<std::string>& args)
    : address_(UniqueLoopbackAddress()) {
    for (const auto& [name, bytes] : files)
        WriteFileBytes(dir_ / name, bytes);
    WriteFileBytes(dir_ / "manifest", manifest);
    std::vector<std::string> argv{KESTREL_PATH_UPGRADE_SERVER,
                                  "--catalogue",
                                  dir_.Path(),
                                  "--address",
                                  address_,
                                  "--http-port",
                                  "8080"};
    argv.insert(argv.end(), args.begin(), args.end());
    process_ = std::make_unique<ChildProcess>(argv);
    auto line = process_->ReadLine(60s);
    if (!line)
        throw std::runtime_error("upgrade-server did not start");
    firstLine_ = *line;
}

std::string ServerUnderTest::LogLine(const std::string& needle) {
    return process_->WaitForLine(needle, 60s).value_or("<no log line with " + needle + ">");
}

ServerUnderTest StartDefault(const std::string& image, const std::vector<std::string>& args,
                             const std::string& extraManifest) {
    return ServerUnderTest({{"fw.bin", image}}, "firmware QX40 1.21 fw.bin\n" + extraManifest,
                           args);
}

RawClient::RawClient(const std::string& address, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return;
    }
    fd_ = fd;
}

RawClient::~RawClient() {
    Close();
}

void RawClient::Close() {
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

void RawClient::SendRaw(const std::string& bytes) {
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

bool RawClient::Fill(std::chrono::steady_clock::time_point until) {
    if (fd_ < 0 || closedByPeer_)
        return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, MillisLeft(until)) <= 0)
        return false;
    char buf[16384];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
        closedByPeer_ = true;
        return false;
    }
    buffer_.append(buf, static_cast<size_t>(n));
    return true;
}

std::optional<std::string> RawClient::ReadLine(std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto end = buffer_.find("\r\n");
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 2);
            return line;
        }
        if (!Fill(until))
            return std::nullopt;
    }
}

std::optional<std::string> RawClient::ReadBytes(size_t n, std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (buffer_.size() < n) {
        if (!Fill(until))
            return std::nullopt;
    }
    std::string bytes = buffer_.substr(0, n);
    buffer_.erase(0, n);
    return bytes;
}

std::string RawClient::Exchange(const std::string& line) {
    SendLine(line);
    return ReadLine().value_or("<none>");
}

bool RawClient::WaitForClose(std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (Fill(until)) {
    }
    return closedByPeer_;
}

bool RawClient::StaysQuiet(std::chrono::milliseconds period) {
    size_t before = buffer_.size();
    auto until = std::chrono::steady_clock::now() + period;
    while (Fill(until)) {
    }
    return !closedByPeer_ && buffer_.size() == before;
}

Request DefaultRequest() {
    return {{"OriginalID", "A1B2C3D4"},
            {"SWVer", "1.4"},
            {"UserName", "QX40"},
            {"UPType", "3"},
            {"HVer", "2"},
            {"SVer", "1.20"},
            {"UseCount", "17"},
            {"RegInfo", "0000001100000022"},
            {"PCInfo", "00-1A-2B-3C-4D-5E"},
            {"CID1", "01"},
            {"CID2", "02"},
            {"CID3", "03"},
            {"CID4", "04"}};
}

void SetValue(Request& request, const std::string& key, const std::string& value) {
    for (auto& [k, v] : request)
        if (k == key)
            v = value;
}

std::vector<std::string> Announce(RawClient& client, const Request& request) {
    std::vector<std::string> replies;
    auto step = [&](const std::string& line, const std::string& expected) {
        replies.push_back(client.Exchange(line));
        return replies.back() == expected;
    };
    for (const auto& [key, value] : request) {
        if (!step(key, "OK") || !step(value, "OK"))
            return replies;
    }
    step("IDOK", "PASSOK");
    return replies;
}

Download Receive(RawClient& client) {
    Download d;
    d.length = client.ReadLine().value_or("<none>");
    long long length = 0;
    try {
        length = std::stoll(d.length);
    } catch (...) {
        return d;
    }
    if (length <= 0 || client.Exchange(std::to_string(length)) != "OK")
        return d;
    for (int i = 0; i < 13; ++i)
        d.values.push_back(client.ReadLine().value_or("<none>"));
    d.check = client.ReadLine().value_or("<none>");
    d.crc = client.Exchange("OK");
    client.SendLine(d.crc);
    for (;;) {
        size_t n = std::min<size_t>(8192, static_cast<size_t>(length) - d.data.size());
        auto chunk = client.ReadBytes(n);
        if (!chunk)
            return d;
        d.data += *chunk;
        if (d.data.size() == static_cast<size_t>(length))
            break;
        if (client.Exchange("OK") != "OK")
            return d;
        client.SendLine("OK");
        ++d.handshakes;
    }
    client.SendLine("AllOK");
    d.closedAfterAllOk = client.WaitForClose();
    return d;
}
