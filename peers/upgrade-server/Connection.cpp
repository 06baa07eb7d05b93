#include "Connection.h"

#include <algorithm>
#include <vector>

ConnectionRegistry::Admission
ConnectionRegistry::Add(const std::shared_ptr<Connection>& connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_)
        return Admission::Stopping;
    if (live_.size() >= limits_.maxSessions)
        return Admission::MaxSessions;
    size_t& fromPeer = perPeer_[connection->PeerKey()];
    if (fromPeer >= limits_.maxPerPeer)
        return Admission::MaxPerPeer;
    ++fromPeer;
    live_.emplace(connection.get(), Entry{connection, connection->PeerKey()});
    return Admission::Accepted;
}

void ConnectionRegistry::Remove(const Connection* connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = live_.find(connection);
    if (it == live_.end())
        return;
    auto peer = perPeer_.find(it->second.peer);
    if (peer != perPeer_.end() && --peer->second == 0)
        perPeer_.erase(peer);
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
        c->RequestShutdown();
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

Connection::Connection(asio::ip::tcp::socket socket, std::chrono::milliseconds stepLimit,
                       ConnectionRegistry& registry)
    : socket_(std::move(socket)), executor_(socket_.get_executor()), timer_(executor_),
      stepLimit_(stepLimit), registry_(registry), accepted_(std::chrono::steady_clock::now()),
      sessionLimited_(registry.Limits().sessionBase.count() > 0) {
    auto firstLine = registry.Limits().firstLine;
    deadline_ = accepted_ + (firstLine.count() > 0 ? std::min(firstLine, stepLimit) : stepLimit);
    std::error_code ec;
    auto remote = socket_.remote_endpoint(ec);
    peer_ = ec ? std::string("?") : EndpointText(remote);
    peerKey_ = ec ? std::string("?") : PeerKeyOf(remote.address());
    // Replies are short lines the client waits for: send them at once, not after the previous
    // segment's acknowledgement.
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    socket_.non_blocking(true, ec);
}

void Connection::RequestShutdown() {
    asio::post(executor_, [self = shared_from_this()] {
        self->shutdown_ = true;
        std::error_code ec;
        self->socket_.close(ec);
    });
}

asio::awaitable<void> Connection::Start(std::shared_ptr<Connection> self) {
    asio::co_spawn(self->executor_, Watch(self), asio::detached);
    try {
        co_await self->Serve();
    } catch (const std::exception&) {
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
        if (sessionEnd < deadline_)
            return {sessionEnd, Failure::TooSlow};
    }
    return {deadline_, Failure::Timeout};
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
        if (std::chrono::steady_clock::now() >= deadline) {
            self->timedOut_ = failure;
            self->deadline_ = std::chrono::steady_clock::time_point::max();
            self->sessionLimited_ = false;
            self->socket_.close(ec);
        }
    }
}

void Connection::RestartClock() {
    if (timedOut_ != Failure::None)
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
}

bool Connection::Check(const std::error_code& ec) {
    if (!ec)
        return true;
    if (shutdown_)
        failure_ = Failure::Shutdown;
    else if (timedOut_ != Failure::None)
        failure_ = timedOut_;
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
