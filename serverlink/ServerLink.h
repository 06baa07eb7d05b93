#pragma once
// The server link: one upgrade exchange at a time over a TCP client, the request record it
// shares with the window, the session's result and the stop flag. The worker thread (TUPThread)
// drives it and shows the session's progress and result on the link's window; the window's side
// reaches it through the record and the cancel (Record(), CloseClient).
#include "CliInfo.h"
#include "Dialogue.h"
#include "ServerFailure.h"
#include "TCP.h"
#include "WindowLink.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class TServerLink {
public:
    // `window` shows the session's status texts and progress.
    TServerLink(TTcpClient& tcp, TWindowLink& window);
    TServerLink(const TServerLink&) = delete;
    TServerLink& operator=(const TServerLink&) = delete;

    TSharedCliInfo& Record() { return record_; }
    TTcpClient& Tcp() { return tcp_; }

    // Before a worker starts: ResultCode 0, no stop requested, phases go to `listener` (or
    // nowhere) until the next exchange.
    void Prepare(TExchangeListener* listener);
    // The termination request: every following step fails as on a lost connection.
    void RequestStop() { stopRequested_.store(true); }

    // The dialogue with the server over the TCP client (created, not yet connected); sets the
    // session result and leaves the connection open.
    void RunSession();
    // Sends a line and returns the reply line.
    std::string Exchange(const std::string& line);
    // The session's result, mapped in place by ShowResult.
    int32_t SessionResult() const { return sessionResult_.load(); }
    void SetSessionResult(int32_t result) { sessionResult_.store(result); }

    // Reports the phase to the exchange's listener.
    void Report(TExchangePhase phase);
    // Disconnects and releases the TCP client; may be called from any thread, any number of
    // times.
    void CloseClient();
    // Maps the code (a server status, 0 or less, becomes a result code) into the session result
    // and shows its message in the status line, with four fresh random hex digits and the code
    // in hex.
    void ShowResult(int32_t code);
    // Why the last exchange did not succeed, one English line naming the server's host and port:
    // the name did not resolve, the connection was refused or timed out, or at which step the
    // server stopped answering or what it answered instead. Empty after a success (and while
    // an exchange runs). From any thread.
    std::string Cause() const;
    // The same failure as a value: its kind and detail (kind None after a success). From any
    // thread.
    TServerFailure Failure() const;

    // The bound of a whole session (ServerLimits::SessionBase and SessionMinRate unless set),
    // by what arrives, whatever length the server announced. The session may take `base` from
    // the connection's start; the data must have begun by then. After `base` it goes on only
    // while its data keeps up with `minRate` bytes a second from the data's start (d), with a
    // grace of g = ServerLimits::SessionRateGrace bytes: at a time t > base, with D bytes of data
    // complete, it ends when
    //     D + g < minRate * (t - d),
    // that is at max(base, d + (D + g) / minRate), as on a lost connection, its cause naming the
    // bound. An honest transfer at `minRate` or faster from its start stays a chunk ahead of that;
    // a server that sends 8 KiB every 29 s (with the defaults) is cut at `base` (120 s), or, when
    // its data begins just before `base`, 24 s after the data's start at the latest.
    // For sessions that begin afterwards.
    void SetSessionLimits(std::chrono::milliseconds base, int64_t minRate);

    // How the server's name becomes its addresses (HostAddresses unless set), for sessions that
    // begin afterwards. Each address is tried in the order given.
    using TResolver = std::function<std::vector<std::string>(const std::string&, std::string*)>;
    void SetResolver(TResolver resolver);

private:
    // The transport of the dialogue: the TCP client, each step preceded by the stop check.
    class TTcpTransport : public TLineTransport {
    public:
        explicit TTcpTransport(TServerLink& link) : link_(link) {}
        void SendLine(const std::string& line) override;
        std::string ReceiveLine() override;
        void ReceiveData(uint8_t* into, int count) override;
        std::string LastFault() const override { return link_.tcp_.LastFailure(); }

    private:
        TServerLink& link_;
    };

    int32_t Session();
    // Connects to the first of `addresses` that answers, each tried with its share of what is
    // left of the connection limit; why none did, kind None when one answered.
    TServerFailure ConnectToOneOf(const std::vector<std::string>& addresses,
                                  const std::string& name);
    // Sets the end of the session that began at sessionStart_ (SetSessionLimits), for the data
    // received so far.
    void BoundSession();
    void SetFailure(TServerFailure failure);
    // A cancel (non-zero ResultCode put back by the window) or a termination request: the
    // connection is closed, so every following step fails as on a lost connection.
    void CheckStop();

    TTcpClient& tcp_;
    TWindowLink& window_;
    TTcpTransport transport_{*this};
    TSharedCliInfo record_;
    std::atomic<int32_t> sessionResult_{0};
    std::atomic<bool> stopRequested_{false};
    TExchangeListener* listener_ = nullptr; // set before the worker starts
    mutable std::mutex failureMutex_;
    TServerFailure failure_;
    TPack sessionPack_; // the session's connection record; the worker's only
    std::chrono::steady_clock::time_point sessionStart_; // the worker's only
    // When the session's data began (none yet: not begun) and how much of it is complete.
    std::optional<std::chrono::steady_clock::time_point> dataStart_; // the worker's only
    int64_t dataReceived_ = 0;                                       // the worker's only
    std::atomic<long long> sessionBaseMs_{ServerLimits::SessionBase.count()};
    std::atomic<int64_t> sessionMinRate_{ServerLimits::SessionMinRate};
    TResolver resolver_; // set before the worker starts
};

// The link of the default TCP client, whose window is MainWindowFollower(): the one of the
// global functions of UPT.h and of TUPThread's one-argument constructor.
TServerLink& DefaultServerLink();
