#include "ServerLink.h"

#include "HostToIP.h"
#include "ResultCodes.h"
#include "TcpSocket.h"

#include <algorithm>
#include <exception>
#include <random>
#include <utility>

TServerLink::TServerLink(TTcpClient& tcp, TWindowLink& window) : tcp_(tcp), window_(window) {}

void TServerLink::Prepare(TExchangeListener* listener) {
    SetFailure({});
    record_.ClearCode();
    stopRequested_.store(false);
    listener_ = listener;
}

void TServerLink::CheckStop() {
    if (stopRequested_.load() || record_.Code() != 0)
        tcp_.Disconnect();
}

void TServerLink::TTcpTransport::SendLine(const std::string& line) {
    link_.CheckStop();
    link_.sessionPack_.Line = line;
    link_.tcp_.SendText(line);
}

std::string TServerLink::TTcpTransport::ReceiveLine() {
    link_.CheckStop();
    link_.tcp_.RecvText(link_.sessionPack_.Line);
    return link_.sessionPack_.Line;
}

void TServerLink::TTcpTransport::ReceiveData(uint8_t* into, int count) {
    link_.CheckStop();
    if (!link_.dataStart_) {
        link_.dataStart_ = std::chrono::steady_clock::now();
        link_.BoundSession();
    }
    link_.tcp_.RecvDataInto(into, count);
    // A chunk cut short ends the session anyway (as a lost connection): its whole count is taken.
    link_.dataReceived_ += count;
    link_.BoundSession();
}

namespace {
bool IsIpv6(const std::string& address) {
    return address.find(':') != std::string::npos;
}
} // namespace

int32_t TServerLink::Session() {
    window_.ShowStatus("升级开始：");
    window_.ProgressBar().SetPosition(0);
    TCliInfo request = record_.Request();

    const std::string name = UpgradeServerHost();
    std::string why;
    const std::vector<std::string> addresses =
        resolver_ ? resolver_(name, &why) : HostAddresses(name, &why);
    if (addresses.empty()) {
        SetFailure({.kind = TServerFailureKind::NameDoesNotResolve,
                    .host = name,
                    .port = kUpgradeServerPort,
                    .detail = why});
        return kResultConnectFailed;
    }
    // The whole session is bounded from the connection on; the bound ends with the session.
    sessionStart_ = std::chrono::steady_clock::now();
    dataStart_.reset();
    dataReceived_ = 0;
    BoundSession();
    struct TUnbound {
        TTcpClient& tcp;
        ~TUnbound() { tcp.SetSessionEnd(std::nullopt); }
    } unbound{tcp_};
    if (TServerFailure failure = ConnectToOneOf(addresses, name); failure.Failed()) {
        SetFailure(std::move(failure));
        return kResultConnectFailed;
    }
    TUpgradeDialogue dialogue(transport_, record_, window_, listener_);
    int32_t result = dialogue.Run(request);
    if (result != kResultSuccess)
        SetFailure({.kind = TServerFailureKind::DialogueFailed,
                    .host = name,
                    .address = sessionPack_.Host,
                    .port = kUpgradeServerPort,
                    .detail = dialogue.Cause()});
    return result;
}

TServerFailure TServerLink::ConnectToOneOf(const std::vector<std::string>& addresses,
                                           const std::string& name) {
    // As RFC 8305 recommends, simply: one address after another, in the resolver's order, each
    // with its share of the time left, so that one that never answers leaves time for the rest.
    const auto end = std::chrono::steady_clock::now() + tcp_.RecvTimeLimit();
    TServerFailure failure{
        .kind = TServerFailureKind::NoAddressAnswered, .host = name, .port = kUpgradeServerPort};
    for (size_t i = 0; i < addresses.size(); ++i) {
        // The worker made a client for IPv4; another attempt, or another family, needs its own.
        if (i > 0 || IsIpv6(addresses[i]))
            tcp_.CreateClient(IsIpv6(addresses[i]));
        sessionPack_.Host = addresses[i];
        sessionPack_.Port = kUpgradeServerPort;
        tcp_.LoadPack(sessionPack_);
        CheckStop();
        const auto share = (end - std::chrono::steady_clock::now()) / (addresses.size() - i);
        if (tcp_.Connect(std::max(std::chrono::ceil<std::chrono::milliseconds>(share),
                                  std::chrono::milliseconds(1))))
            return {};
        failure.attempts.emplace_back(addresses[i], tcp_.LastFailure());
    }
    if (addresses.size() == 1) {
        failure.kind = TServerFailureKind::ConnectFailed;
        failure.address = addresses[0];
        failure.detail = tcp_.LastFailure();
    }
    return failure;
}

void TServerLink::SetResolver(TResolver resolver) {
    resolver_ = std::move(resolver);
}

void TServerLink::SetSessionLimits(std::chrono::milliseconds base, int64_t minRate) {
    sessionBaseMs_.store(base.count());
    sessionMinRate_.store(std::max<int64_t>(minRate, 1));
}

namespace {
// A duration in a cause: to the millisecond below 10 s, to the second above.
std::string CauseDuration(std::chrono::steady_clock::duration d) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d);
    return DurationText(
        ms < std::chrono::seconds(10) ? ms : std::chrono::round<std::chrono::seconds>(ms));
}
} // namespace

void TServerLink::BoundSession() {
    const std::chrono::milliseconds base(sessionBaseMs_.load());
    const auto baseEnd = sessionStart_ + base;
    if (!dataStart_) {
        tcp_.SetSessionEnd(baseEnd, "did not come to its data within " + DurationText(base) +
                                        " of the connection's start");
        return;
    }
    // The first time after `base` at which D + g < minRate * (t - d) (SetSessionLimits).
    const int64_t rate = sessionMinRate_.load();
    const auto keptUp = std::chrono::microseconds((dataReceived_ + ServerLimits::SessionRateGrace) *
                                                  1'000'000 / rate);
    const auto end = std::max<std::chrono::steady_clock::time_point>(baseEnd, *dataStart_ + keptUp);
    tcp_.SetSessionEnd(end, "did not complete the session within " +
                                CauseDuration(end - sessionStart_) + " (after " +
                                DurationText(base) + " its data must keep up with " +
                                std::to_string(rate) + " bytes a second; " +
                                std::to_string(dataReceived_) + " bytes came in the " +
                                CauseDuration(end - *dataStart_) + " since the data began)");
}

void TServerLink::SetFailure(TServerFailure failure) {
    std::lock_guard lock(failureMutex_);
    failure_ = std::move(failure);
}

TServerFailure TServerLink::Failure() const {
    std::lock_guard lock(failureMutex_);
    return failure_;
}

std::string TServerLink::Cause() const {
    std::lock_guard lock(failureMutex_);
    return ServerFailureText(failure_);
}

void TServerLink::RunSession() {
    try {
        sessionResult_.store(Session());
    } catch (const std::exception& e) {
        // Whatever failed, the session has an outcome the window can act on.
        SetFailure({.kind = TServerFailureKind::SessionError, .detail = e.what()});
        sessionResult_.store(kResultTransferFailed);
    } catch (...) {
        SetFailure({.kind = TServerFailureKind::SessionErrorUnknown});
        sessionResult_.store(kResultTransferFailed);
    }
}

std::string TServerLink::Exchange(const std::string& line) {
    return transport_.Exchange(line);
}

void TServerLink::Report(TExchangePhase phase) {
    if (listener_)
        listener_->ExchangePhase(phase);
}

void TServerLink::CloseClient() {
    tcp_.Disconnect();
    tcp_.FreeClient();
}

void TServerLink::ShowResult(int32_t code) {
    // Four digits drawn anew for every message.
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<int> draw(0, 65534);
    uint16_t r = static_cast<uint16_t>(draw(generator));
    sessionResult_.store(MapResult(code));
    window_.ShowStatus(ResultText(code, r));
}

TServerLink& DefaultServerLink() {
    static TServerLink link(DefaultTcpClient(), MainWindowFollower());
    return link;
}
