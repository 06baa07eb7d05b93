#include "RawClient.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

int ConnectFrom(const std::string& from, const std::string& address, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto endpoint = [](const std::string& ip, uint16_t p) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(p);
        inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
        return sa;
    };
    sockaddr_in local = endpoint(from, 0);
    sockaddr_in remote = endpoint(address, port);
    if ((!from.empty() && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) ||
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

RawClient::RawClient(const std::string& address, uint16_t port, const std::string& from)
    : fd_(ConnectFrom(from, address, port)) {
    reader_.Attach(fd_);
}

RawClient::~RawClient() {
    Close();
}

void RawClient::Close() {
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    reader_.Attach(-1);
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

std::optional<std::string> RawClient::ReadLine(std::chrono::milliseconds limit) {
    return reader_.ReadLine(limit);
}

std::optional<std::string> RawClient::ReadBytes(size_t n, std::chrono::milliseconds limit) {
    return reader_.ReadBytes(n, limit);
}

std::string RawClient::Exchange(const std::string& line) {
    SendLine(line);
    return ReadLine().value_or("<none>");
}

bool RawClient::WaitForClose(std::chrono::milliseconds limit) {
    return reader_.ReadToClose(limit);
}

bool RawClient::StaysQuiet(std::chrono::milliseconds period) {
    size_t before = reader_.Buffered().size();
    return !reader_.ReadToClose(period) && reader_.Buffered().size() == before;
}

testing::AssertionResult EndedQuietly(RawClient& client, TUpgradeServer& server,
                                      const std::string& logged, const std::string& needle) {
    if (!client.WaitForClose())
        return testing::AssertionFailure() << "the connection stayed open";
    if (!client.Leftover().empty())
        return testing::AssertionFailure() << "sent before closing: \"" << client.Leftover() << '"';
    client.Close();
    std::string log = server.LogLine(needle);
    if (log.find(logged) == std::string::npos)
        return testing::AssertionFailure() << "\"" << log << "\" has no " << logged;
    return testing::AssertionSuccess();
}

uint64_t RefusalCount(const std::string& line, const std::string& cap) {
    const std::string mark = " refused " + cap + " ";
    auto at = line.find(mark);
    if (at == std::string::npos || line.find(" in ", at) == std::string::npos)
        return 0;
    return std::stoull(line.substr(at + mark.size()));
}

std::string PageExchange(const std::string& address, const std::string& request) {
    RawClient client(address, 8080);
    client.SendRaw(request);
    client.WaitForClose();
    return client.Leftover();
}

std::string Page(TUpgradeServer& server, const std::string& request, uint16_t port) {
    RawClient client(server.Address(), port, UniqueLoopbackAddress());
    client.SendRaw(request);
    client.WaitForClose();
    return client.Leftover();
}

std::string Get(TUpgradeServer& server, const std::string& path, uint16_t port) {
    std::string answer = Page(server, "GET " + path + " HTTP/1.1\r\n\r\n", port);
    auto body = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.1 200 OK\r\n", 0) != 0 || body == std::string::npos)
        return "<not 200: " + answer + ">";
    return answer.substr(body + 4);
}

long long Sample(const std::string& page, const std::string& series) {
    std::istringstream lines(page);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind(series + " ", 0) == 0)
            return std::stoll(line.substr(series.size() + 1));
    return -1;
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

Download ReceiveUpToCrc(RawClient& client) {
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
    return d;
}

Download Receive(RawClient& client, std::chrono::milliseconds pace) {
    return ReceiveRest(client, ReceiveUpToCrc(client), pace);
}

Download ReceiveRest(RawClient& client, Download d, std::chrono::milliseconds pace) {
    if (d.values.empty())
        return d;
    auto length = static_cast<size_t>(std::stoll(d.length));
    client.SendLine(d.crc);
    for (;;) {
        size_t n = std::min<size_t>(8192, length - d.data.size());
        auto chunk = client.ReadBytes(n);
        if (!chunk)
            return d;
        d.data += *chunk;
        if (d.data.size() == length)
            break;
        std::this_thread::sleep_for(pace);
        if (client.Exchange("OK") != "OK")
            return d;
        client.SendLine("OK");
        ++d.handshakes;
    }
    client.SendLine("AllOK");
    d.closedAfterAllOk = client.WaitForClose();
    return d;
}
