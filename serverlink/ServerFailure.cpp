// The lines that say why an upgrade exchange with the server did not succeed.
#include "ServerFailure.h"

namespace {
// Every cause names the server as the user configured it, and the address it resolved to.
std::string Where(const TServerFailure& failure, const std::string& address) {
    return "upgrade server " + failure.host +
           (address.empty() || address == failure.host ? "" : " (" + address + ")") + " port " +
           failure.port + ": ";
}
} // namespace

std::string ServerFailureText(const TServerFailure& failure) {
    switch (failure.kind) {
    case TServerFailureKind::None:
        return {};
    case TServerFailureKind::NameDoesNotResolve:
        return Where(failure, "") + "the name does not resolve (" + failure.detail +
               "); check KESTREL_UPDATE_HOST and the network";
    case TServerFailureKind::ConnectFailed:
    case TServerFailureKind::DialogueFailed:
        return Where(failure, failure.address) + failure.detail;
    case TServerFailureKind::NoAddressAnswered: {
        std::string tried;
        for (const auto& [address, fault] : failure.attempts)
            tried += (tried.empty() ? "" : "; ") + address + ": " + fault;
        return Where(failure, "") + "no address of the name answered (tried " + tried + ")";
    }
    case TServerFailureKind::SessionError:
        return "the upgrade session failed unexpectedly: " + failure.detail;
    case TServerFailureKind::SessionErrorUnknown:
        return "the upgrade session failed unexpectedly";
    }
    return {};
}
