#include "Connection.h"

#include <algorithm>
#include <optional>
#include <tuple>
#include <vector>

using namespace std::chrono_literals;

namespace {
// A connection's first line follows its accept within a round trip: until then it is not judged
// by the bytes it moved.
constexpr auto kFirstBytesGrace = 500ms;
} // namespace

ConnectionRegistry::Admission
ConnectionRegistry::Add(const std::shared_ptr<Connection>& connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_)
        return Admission::Stopping;
    const std::string& peer = connection->PeerKey();
    auto fromPeer = peers_.find(peer);
    PeerPlaces* places = fromPeer == peers_.end() ? nullptr : &fromPeer->second;
    if (places && places->live >= limits_.maxPerPeer)
        return Admission::MaxPerPeer;
    const std::string& network = connection->NetworkKey();
    auto fromNetwork = perNetwork_.find(network);
    if (!network.empty() && fromNetwork != perNetwork_.end() &&
        fromNetwork->second >= limits_.maxPerNetwork)
        return Admission::MaxPerNetwork;
    const auto now = std::chrono::steady_clock::now();
    if (!TakeToken(peer, now))
        return Admission::ConnectRate;
    if (held_ >= limits_.maxSessions) {
        auto victim = Victim(places, now);
        if (!victim)
            return Admission::MaxSessions;
        Entry& entry = live_.at(victim.get());
        ReleasePlace(entry);
        entry.displaced = true;
        victim->RequestClose(Connection::Failure::Displaced);
    }
    if (!places)
        places = &peers_[peer];
    ++places->live;
    if (!network.empty())
        ++perNetwork_[network];
    Entry& entry =
        live_.emplace(connection.get(), Entry{connection, peer, network, places}).first->second;
    entry.slot = places->held.size();
    places->held.push_back(&entry);
    ++held_;
    return Admission::Accepted;
}

bool ConnectionRegistry::TakeToken(const std::string& peer,
                                   std::chrono::steady_clock::time_point now) {
    if (limits_.connectRate == 0)
        return true;
    const auto burst = static_cast<double>(limits_.connectBurst);
    const auto rate = static_cast<double>(limits_.connectRate);
    auto refilled = [&](const Bucket& b) {
        return std::min(burst,
                        b.tokens + rate * std::chrono::duration<double>(now - b.last).count());
    };
    // A full bucket is what a peer not seen yet gets: once a second they go, so that a flood from
    // many addresses leaves no memory behind.
    if (now - bucketsPruned_ >= 1s) {
        std::erase_if(buckets_, [&](const auto& item) { return refilled(item.second) >= burst; });
        bucketsPruned_ = now;
    }
    Bucket& bucket = buckets_.try_emplace(peer, Bucket{burst, now}).first->second;
    bucket.tokens = refilled(bucket);
    bucket.last = now;
    if (bucket.tokens < 1)
        return false;
    bucket.tokens -= 1;
    return true;
}

std::shared_ptr<Connection> ConnectionRegistry::Victim(const PeerPlaces* own,
                                                       std::chrono::steady_clock::time_point now) {
    size_t most = 0;
    size_t holding = 0; // peers holding places
    for (const auto& [key, peer] : peers_) {
        most = std::max(most, peer.held.size());
        holding += !peer.held.empty();
    }
    const size_t ownPlaces = own ? own->held.size() : 0;
    if (ownPlaces >= most)
        return nullptr;
    holding += ownPlaces == 0;
    // Beyond its fair share, a peer's sessions past their opening lose their protection.
    const bool overShare = most > 1 && most * holding > limits_.maxSessions;
    struct Candidate {
        std::shared_ptr<Connection> connection;
        bool spared;     // young and nothing received yet
        double rate = 0; // bytes a second lately
    };
    auto rank = [](const Candidate& x) {
        return std::tuple(x.spared, x.spared ? 0.0 : x.rate, x.connection->Accepted());
    };
    std::optional<Candidate> least;
    for (const auto& [key, peer] : peers_) {
        if (peer.held.size() != most)
            continue;
        for (const Entry* entry : peer.held) {
            auto c = entry->connection.lock();
            if (!c)
                continue;
            auto progress = c->RecentProgress();
            auto elapsed = std::max<std::chrono::duration<double>>(now - progress.since, 1ms);
            Candidate candidate{c, progress.bytes == 0 && now - c->Accepted() < kFirstBytesGrace,
                                static_cast<double>(progress.bytes) / elapsed.count()};
            if (!overShare && c->Settled() && KeepsMinimumProgress(candidate.rate))
                continue;
            if (!least || rank(candidate) < rank(*least))
                least = std::move(candidate);
        }
    }
    return least ? least->connection : nullptr;
}

bool ConnectionRegistry::KeepsMinimumProgress(double rate) const {
    if (limits_.progressWindow.count() == 0)
        return true;
    return rate * std::chrono::duration<double>(limits_.progressWindow).count() >=
           static_cast<double>(limits_.minProgress);
}

void ConnectionRegistry::ReleasePlace(Entry& entry) {
    std::vector<Entry*>& held = entry.places->held;
    held[entry.slot] = held.back();
    held[entry.slot]->slot = entry.slot;
    held.pop_back();
    --held_;
}

size_t ConnectionRegistry::CloseGenerationsBefore(uint64_t oldest) {
    std::vector<std::shared_ptr<Connection>> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [key, entry] : live_)
            if (auto c = entry.connection.lock(); c && c->Generation() < oldest)
                old.push_back(std::move(c));
    }
    for (auto& c : old)
        c->RequestClose(Connection::Failure::Superseded);
    return old.size();
}

void ConnectionRegistry::Remove(const Connection* connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = live_.find(connection);
    if (it == live_.end())
        return;
    Entry& entry = it->second;
    if (!entry.displaced)
        ReleasePlace(entry);
    if (--entry.places->live == 0)
        peers_.erase(entry.peer);
    auto network = perNetwork_.find(entry.network);
    if (network != perNetwork_.end() && --network->second == 0)
        perNetwork_.erase(network);
    live_.erase(it);
    ++ended_;
}

bool ConnectionRegistry::Idle(uint64_t& ended) {
    std::lock_guard<std::mutex> lock(mutex_);
    ended = ended_;
    return live_.empty();
}

void ConnectionRegistry::ShutdownAll() {
    std::vector<std::shared_ptr<Connection>> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (auto& [key, entry] : live_)
            if (auto c = entry.connection.lock())
                all.push_back(std::move(c));
    }
    for (auto& c : all)
        c->RequestClose(Connection::Failure::Shutdown);
}

std::string EndpointText(const asio::ip::tcp::endpoint& endpoint) {
    auto address = endpoint.address();
    std::string text = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return text + ":" + std::to_string(endpoint.port());
}

std::string PeerKeyOf(const asio::ip::address& address) {
    if (address.is_v4())
        return address.to_string();
    auto v6 = address.to_v6();
    if (v6.is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
    auto bytes = v6.to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return asio::ip::address_v6(bytes).to_string() + "/64";
}

std::string NetworkKeyOf(const asio::ip::address& address) {
    if (address.is_v4() || address.to_v6().is_v4_mapped())
        return {};
    auto bytes = address.to_v6().to_bytes();
    std::fill(bytes.begin() + 7, bytes.end(), 0);
    return asio::ip::address_v6(bytes).to_string() + "/56";
}

Connection::Connection(asio::ip::tcp::socket socket, std::chrono::milliseconds stepLimit,
                       ConnectionRegistry& registry, uint64_t generation)
    : socket_(std::move(socket)), executor_(socket_.get_executor()), timer_(executor_),
      stepLimit_(stepLimit), registry_(registry), accepted_(std::chrono::steady_clock::now()),
      sessionLimited_(registry.Limits().sessionBase.count() > 0),
      progressLimited_(registry.Limits().progressWindow.count() > 0),
      progressSince_(accepted_.time_since_epoch().count()),
      windowEnd_(accepted_ + registry.Limits().progressWindow), generation_(generation) {
    auto firstLine = registry.Limits().firstLine;
    deadline_ = accepted_ + (firstLine.count() > 0 ? std::min(firstLine, stepLimit) : stepLimit);
    std::error_code ec;
    auto remote = socket_.remote_endpoint(ec);
    peer_ = ec ? std::string("?") : EndpointText(remote);
    peerKey_ = ec ? std::string("?") : PeerKeyOf(remote.address());
    networkKey_ = ec ? std::string() : NetworkKeyOf(remote.address());
    // Replies are short lines the client waits for: send them at once, not after the previous
    // segment's acknowledgement.
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    socket_.non_blocking(true, ec);
}

void Connection::RequestClose(Failure why) {
    asio::post(executor_, [self = shared_from_this(), why] {
        // A shutdown names the end even of a connection already closed for another reason.
        if (self->closedFor_ == Failure::None || why == Failure::Shutdown)
            self->closedFor_ = why;
        self->StopClock();
        std::error_code ec;
        self->socket_.close(ec);
    });
}

asio::awaitable<void> Connection::Start(std::shared_ptr<Connection> self) {
    asio::co_spawn(self->executor_, Watch(self), asio::detached);
    try {
        co_await self->Serve();
    } catch (const std::exception&) { // NOLINT(bugprone-empty-catch): swallowed on purpose
        // Serve reports its own outcome; an exception here only means the connection is done.
    }
    self->done_ = true;
    self->timer_.cancel();
    std::error_code ec;
    self->socket_.close(ec);
    self->registry_.Remove(self.get());
    self->Ended();
}

std::pair<std::chrono::steady_clock::time_point, Connection::Failure>
Connection::NextDeadline() const {
    if (sessionLimited_) {
        const ConnectionLimits& limits = registry_.Limits();
        // Every minRate bytes moved earn the session one more second.
        auto earned = std::chrono::milliseconds(moved_ * 1000 / limits.minRate);
        auto sessionEnd = accepted_ + limits.sessionBase + earned;
        if (sessionEnd < deadline_ && (!progressLimited_ || sessionEnd < windowEnd_))
            return {sessionEnd, Failure::TooSlow};
    }
    if (progressLimited_ && windowEnd_ < deadline_)
        return {windowEnd_, Failure::NoProgress};
    return {deadline_, Failure::Timeout};
}

bool Connection::ProgressMade() {
    const ConnectionLimits& limits = registry_.Limits();
    uint64_t moved = moved_.load(std::memory_order_relaxed);
    if (moved - windowStart_ < limits.minProgress)
        return false;
    progressBase_.store(windowStart_, std::memory_order_relaxed);
    progressSince_.store((windowEnd_ - limits.progressWindow).time_since_epoch().count(),
                         std::memory_order_relaxed);
    windowStart_ = moved;
    windowEnd_ += limits.progressWindow;
    return true;
}

asio::awaitable<void> Connection::Watch(std::shared_ptr<Connection> self) {
    while (!self->done_) {
        // The session's deadline only moves later as bytes move: it is looked at again when
        // the timer goes off. The step's may move earlier: RestartClock cancels the timer then.
        self->timer_.expires_at(self->NextDeadline().first);
        std::error_code ec;
        co_await self->timer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        if (self->done_)
            break;
        auto [deadline, failure] = self->NextDeadline();
        if (std::chrono::steady_clock::now() < deadline ||
            (failure == Failure::NoProgress && self->ProgressMade()))
            continue;
        self->closedFor_ = failure;
        self->StopClock();
        self->socket_.close(ec);
    }
}

void Connection::RestartClock() {
    if (closedFor_ != Failure::None)
        return;
    if (firstLineDone_) {
        deadline_ = std::chrono::steady_clock::now() + stepLimit_;
        if (deadline_ < timer_.expiry())
            timer_.cancel();
    }
    // Before the first line the deadline set at the accept stays.
}

void Connection::StopClock() {
    deadline_ = std::chrono::steady_clock::time_point::max();
    sessionLimited_ = false;
    progressLimited_ = false;
}

bool Connection::Check(const std::error_code& ec) {
    if (!ec)
        return true;
    if (closedFor_ != Failure::None)
        failure_ = closedFor_;
    else if (ec == asio::error::not_found)
        failure_ = Failure::TooLong;
    else if (ec == asio::error::eof || ec == asio::error::connection_reset ||
             ec == asio::error::broken_pipe || ec == asio::error::connection_aborted)
        failure_ = Failure::Closed;
    else
        failure_ = Failure::Error;
    return false;
}

const char* Connection::FailureName(Failure failure) {
    switch (failure) {
    case Failure::None:
        return "none";
    case Failure::Closed:
        return "closed";
    case Failure::Timeout:
        return "timeout";
    case Failure::TooSlow:
        return "too-slow";
    case Failure::NoProgress:
        return "no-progress";
    case Failure::Displaced:
        return "displaced";
    case Failure::Superseded:
        return "superseded";
    case Failure::Shutdown:
        return "shutdown";
    case Failure::TooLong:
        return "too-long";
    case Failure::Error:
        break;
    }
    return "error";
}

asio::awaitable<bool> Connection::ReadUntil(std::string_view delimiter, size_t maxLength,
                                            std::string& text) {
    // The delimiter is looked for in what has been read before more is read: a line that is
    // already there costs no operation at all.
    constexpr size_t kReadSize = 512; // as Asio reads for a line: little room held per session
    size_t searchFrom = 0;
    for (;;) {
        size_t found = input_.find(delimiter, searchFrom);
        if (found != std::string::npos && found + delimiter.size() <= maxLength) {
            size_t n = found + delimiter.size();
            text.assign(input_, 0, n);
            input_.erase(0, n);
            // A long line is over: its room is not kept for the rest of the session.
            if (input_.capacity() > 4 * kReadSize && input_.size() <= kReadSize)
                input_.shrink_to_fit();
            firstLineDone_ = true;
            co_return true;
        }
        if (input_.size() >= maxLength)
            co_return Check(asio::error::not_found);
        searchFrom = input_.size() >= delimiter.size() ? input_.size() - delimiter.size() + 1 : 0;
        // Asio reads at once what is already there (on a context of one thread that completes
        // without a hand-off) and waits for the socket otherwise.
        size_t old = input_.size();
        input_.resize(old + std::min(kReadSize, maxLength - old));
        std::error_code ec;
        size_t n =
            co_await socket_.async_read_some(asio::buffer(input_.data() + old, input_.size() - old),
                                             asio::redirect_error(asio::use_awaitable, ec));
        input_.resize(old + n);
        moved_ += n;
        received_ += n;
        if (!Check(ec))
            co_return false;
    }
}

asio::awaitable<bool> Connection::ReadLine(std::string& line, size_t maxLength) {
    bool ok = co_await ReadUntil("\r\n", maxLength + 2, line);
    if (!ok)
        co_return false;
    line.resize(line.size() - 2);
    co_return true;
}

asio::awaitable<bool> Connection::WriteRest(std::vector<asio::const_buffer> buffers, size_t skip) {
    auto first = buffers.begin();
    while (first != buffers.end() && skip >= first->size())
        skip -= (first++)->size();
    if (first != buffers.end())
        *first += skip;
    std::vector<asio::const_buffer> rest(first, buffers.end());
    std::error_code ec;
    moved_ +=
        co_await asio::async_write(socket_, rest, asio::redirect_error(asio::use_awaitable, ec));
    co_return Check(ec);
}

asio::awaitable<void> Connection::Drain() {
    char scratch[512];
    for (;;) {
        std::error_code ec;
        co_await socket_.async_read_some(asio::buffer(scratch),
                                         asio::redirect_error(asio::use_awaitable, ec));
        if (ec)
            break;
    }
    std::error_code ec;
    socket_.close(ec);
}

asio::awaitable<void> Connection::CloseGracefully() {
    std::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
    firstLineDone_ = true; // the wait for the peer's close has a step limit of its own
    RestartClock();
    co_await Drain();
}

asio::awaitable<void> Connection::Stall() {
    StopClock();
    co_await Drain();
}
