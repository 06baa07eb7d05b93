#include "UpgradeSession.h"

#include "CRC16.h"
#include "Log.h"
#include "RequestKind.h"

#include <algorithm>
#include <cstdio>
#include <span>

namespace {
// The 13 values in record order, as the register keeps them.
using Value = SessionRecord::Value;
using enum SessionRecord::Value;

// The order in which the client announces its values, each as a key line and a value line.
struct AnnouncedKey {
    const char* key;
    Value value;
};
constexpr std::array<AnnouncedKey, 13> kAnnouncement{{
    {"OriginalID", OriginalID},
    {"SWVer", SWVer},
    {"UserName", UserName},
    {"UPType", UPType},
    {"HVer", HVer},
    {"SVer", SVer},
    {"UseCount", UseCount},
    {"RegInfo", RegInfo},
    {"PCInfo", PCInfo},
    {"CID1", CID1},
    {"CID2", CID2},
    {"CID3", CID3},
    {"CID4", CID4},
}};
constexpr int kAnnouncementSteps = 27; // 13 key and value pairs, then "IDOK"

const std::string kOk = "OK";

// Thrown once the session's end is recorded in end_ and the connection dealt with.
struct SessionEnded {};

// Source of the zero bytes sent beyond the end of a file (length fault).
const std::array<uint8_t, UpgradeSession::kChunkSize> kZeros{};

std::string CrcText(uint16_t crc, CrcFault fault) {
    char text[8];
    switch (fault) {
    case CrcFault::Empty:
        return "";
    case CrcFault::Lower:
        std::snprintf(text, sizeof text, "%04x", crc);
        return text;
    case CrcFault::Wrong:
        crc = static_cast<uint16_t>(~crc);
        break;
    case CrcFault::None:
        break;
    }
    std::snprintf(text, sizeof text, "%04X", crc);
    return text;
}
} // namespace

UpgradeSession::UpgradeSession(asio::ip::tcp::socket socket,
                               std::shared_ptr<const ServerContext> context,
                               ConnectionRegistry& registry)
    : Connection(std::move(socket), context->stepLimit, registry, context->generation),
      context_(std::move(context)), faults_(context_->faults),
      started_(std::chrono::steady_clock::now()) {}

void UpgradeSession::Launch(std::shared_ptr<UpgradeSession> session) {
    auto executor = session->Executor();
    asio::co_spawn(executor, Start(std::move(session)), asio::detached);
}

asio::awaitable<void> UpgradeSession::Serve() {
    context_->metrics->SessionStarted();
    try {
        co_await Dialogue();
    } catch (const SessionEnded&) { // NOLINT(bugprone-empty-catch): the normal end of a session
        // end_ says how.
    } catch (const std::exception&) {
        end_ = "error@" + StepName(step_);
    }
}

void UpgradeSession::Ended() {
    context_->metrics->SessionEnded(end_);
    // What a flood repeats thousands of times a second costs a count, not a line: a connection
    // that never said a word, one that ended before the first answer (a line of garbage), and
    // one that lost its place before it asked for anything. (A shutdown ends each session once:
    // those keep their lines.)
    GroupedLines& grouped = *context_->grouped;
    const bool announcing = step_.kind == StepKind::Announce;
    GroupedEnds* group = nullptr;
    if (LastFailure() != Failure::Shutdown) {
        if (BytesReceived() == 0)
            group = &grouped.silent;
        else if (LastFailure() == Failure::Displaced && announcing)
            group = &grouped.displaced;
        else if (announcing && step_.n == 1)
            group = &grouped.unanswered;
    }
    if (group)
        group->Add(PeerKey(), Peer());
    else
        WriteLogLine(LogLine());
    // The register keeps the sessions of devices that said who they are.
    if (received_[OriginalID])
        context_->fleet->Record(Record());
}

void UpgradeSession::BeginStep(Step step) {
    step_ = step;
    RestartClock();
}

void UpgradeSession::Fail() {
    end_ = std::string(FailureName(LastFailure())) + "@" + StepName(step_);
    throw SessionEnded{};
}

asio::awaitable<std::string> UpgradeSession::Receive() {
    std::string line;
    bool ok = co_await ReadLine(line, kMaxLine);
    if (!ok)
        Fail();
    co_return line;
}

asio::awaitable<void> UpgradeSession::Expect(const std::string& expected) {
    std::string line = co_await Receive();
    if (line != expected)
        co_await EndWith("unexpected@" + StepName(step_));
}

asio::awaitable<void> UpgradeSession::Send(const std::string& line) {
    static const char crlf[] = "\r\n";
    std::array<asio::const_buffer, 2> buffers{asio::buffer(line), asio::buffer(crlf, 2)};
    bool ok = co_await Write(buffers);
    if (!ok)
        Fail();
}

asio::awaitable<void> UpgradeSession::EndWith(const std::string& end) {
    end_ = end;
    co_await CloseGracefully();
    throw SessionEnded{};
}

asio::awaitable<void> UpgradeSession::FaultPoint(Step step) {
    if (faults_.ClosesAt(step))
        co_await EndWith("fault-close@" + StepName(step));
    if (faults_.StallsAt(step)) {
        end_ = "fault-stall@" + StepName(step);
        co_await Stall();
        throw SessionEnded{};
    }
}

asio::awaitable<void> UpgradeSession::Dialogue() {
    co_await Announcement();
    Settle();

    Decision decision =
        Decide(context_->catalogue, values_[UserName], values_[SVer], values_[SWVer], faults_.kind);
    if (!faults_.kind)
        heldFrom_ = context_->fleet->Stage(context_->catalogue, values_[OriginalID],
                                           values_[UserName], decision);
    BeginStep({StepKind::Length, 0});
    co_await FaultPoint(step_);
    if (!faults_.status && decision.kind == Decision::Kind::Data) {
        co_await Transfer(decision);
        co_return;
    }
    std::string status = faults_.status ? *faults_.status : decision.status;
    answer_ = "status:" + LogValue(status);
    co_await Send(status);
    co_await EndWith("status");
}

asio::awaitable<void> UpgradeSession::Announcement() {
    for (int n = 1; n <= kAnnouncementSteps; ++n) {
        BeginStep({StepKind::Announce, static_cast<uint64_t>(n)});
        std::string line = co_await Receive();
        bool refused = false;
        std::string reply = "OK";
        if (n == kAnnouncementSteps) {
            if (line != "IDOK")
                co_await EndWith("unexpected@" + StepName(step_));
            reply = "PASSOK";
        } else if (n % 2 == 1) {
            if (line != kAnnouncement[static_cast<size_t>(n / 2)].key)
                co_await EndWith("unexpected@" + StepName(step_));
        } else {
            // The values come back in the echo and the check line: bound them all together.
            valueBytes_ += line.size();
            if (valueBytes_ > kMaxLine)
                co_await EndWith("too-long@" + StepName(step_));
            Value v = kAnnouncement[static_cast<size_t>(n / 2 - 1)].value;
            values_[v] = std::move(line);
            received_[v] = true;
            if (v == OriginalID && !faults_.kind &&
                IsRefused(context_->catalogue, values_[OriginalID])) {
                refused = true;
                reply = "Rep";
            }
        }
        co_await FaultPoint(step_);
        if (auto it = faults_.replies.find(n); it != faults_.replies.end())
            reply = it->second;
        co_await Send(reply);
        if (refused) {
            answer_ = "rep";
            co_await EndWith("rep");
        }
    }
}

asio::awaitable<void> UpgradeSession::Transfer(const Decision& decision) {
    const CatalogueItem& item = *decision.item;
    data_ = item.data.get();
    answer_ = (decision.upType == RequestKind::Tool ? "tool:" : "firmware:") + item.version;
    length_ = faults_.length.value_or(data_->size());
    uint16_t crc = item.crc;
    if (length_ < data_->size())
        crc = Crc16(data_->data(), static_cast<int32_t>(length_));
    const std::string crcText = CrcText(crc, faults_.crc);
    const std::string lengthText = std::to_string(length_);
    if (faults_.corruptData) {
        uint64_t at = length_ / 2;
        corrupted_ = static_cast<uint8_t>((at < data_->size() ? (*data_)[at] : 0) ^ 0xFF);
    }
    co_await Send(lengthText);

    BeginStep({StepKind::LengthAck, 0});
    co_await Expect(lengthText);
    co_await FaultPoint(step_);
    co_await Send(faults_.lengthAck.value_or("OK"));

    co_await SendValues(decision.upType);

    BeginStep({StepKind::Crc, 0});
    co_await Expect("OK");
    co_await FaultPoint(step_);
    co_await Send(crcText);

    uint64_t offset = 0;
    for (uint64_t k = 1;; ++k) {
        BeginStep({StepKind::Chunk, k});
        // The first chunk follows the CRC echo, the others the handshake's last "OK". (A local:
        // GCC 12 mishandles a conditional temporary inside co_await.)
        const std::string& expected = k == 1 ? crcText : kOk;
        co_await Expect(expected);
        // Checked first in this loop: no coroutine frame per chunk for a fault that is not there.
        if (faults_.ActsAt(step_))
            co_await FaultPoint(step_);
        uint64_t end = offset + std::min(kChunkSize, length_ - offset);
        co_await SendData(offset, end);
        offset = end;
        if (offset == length_)
            break;
        BeginStep({StepKind::ChunkAck, k});
        co_await Expect("OK");
        if (faults_.ActsAt(step_))
            co_await FaultPoint(step_);
        co_await Send(faults_.chunkAck.value_or("OK"));
    }

    BeginStep({StepKind::AllOk, 0});
    co_await FaultPoint(step_);
    co_await Expect("AllOK");
    co_await EndWith("allok");
}

asio::awaitable<void> UpgradeSession::SendValues(int upType) {
    BeginStep({StepKind::Values, 0});
    co_await FaultPoint(step_);
    std::array<std::string, 13> echoed = values_;
    echoed[UPType] = std::to_string(upType);
    for (const auto& [index, text] : faults_.values)
        echoed[static_cast<size_t>(index - 1)] = text;
    std::string block;
    std::string check;
    for (const auto& value : echoed) {
        block += value + "\r\n";
        check += value + " ";
    }
    bool ok = co_await Write(asio::buffer(block));
    if (!ok)
        Fail();

    BeginStep({StepKind::Check, 0});
    co_await FaultPoint(step_);
    if (faults_.check)
        check = *faults_.check;
    else if (faults_.checkNoSpace)
        check.pop_back();
    co_await Send(check);
}

asio::awaitable<void> UpgradeSession::SendData(uint64_t from, uint64_t to) {
    // A byte:N fault inside this range: send up to N, then let the fault act.
    if (auto n = ByteFaultIn(from, to)) {
        co_await SendPieces(from, *n);
        co_await FaultPoint({StepKind::Byte, *n});
        from = *n;
    }
    co_await SendPieces(from, to);
}

asio::awaitable<void> UpgradeSession::SendPieces(uint64_t from, uint64_t to) {
    // The pieces of [from, to): the shared file, generated zeros past its end, the corrupted byte.
    std::array<asio::const_buffer, 5> pieces;
    size_t count = 0;
    auto add = [&](uint64_t a, uint64_t b) {
        uint64_t fileEnd = std::min<uint64_t>(b, data_->size());
        if (a < fileEnd)
            pieces[count++] = asio::buffer(data_->data() + a, static_cast<size_t>(fileEnd - a));
        if (std::max(a, fileEnd) < b)
            pieces[count++] =
                asio::buffer(kZeros.data(), static_cast<size_t>(b - std::max(a, fileEnd)));
    };
    uint64_t bad = length_ / 2;
    if (faults_.corruptData && bad >= from && bad < to) {
        add(from, bad);
        pieces[count++] = asio::buffer(&corrupted_, 1);
        add(bad + 1, to);
    } else {
        add(from, to);
    }
    if (count == 0)
        co_return;
    bool ok = co_await Write(std::span<const asio::const_buffer>(pieces.data(), count));
    if (!ok)
        Fail();
    sent_ += to - from;
    context_->metrics->DataSent(to - from);
}

std::optional<uint64_t> UpgradeSession::ByteFaultIn(uint64_t from, uint64_t to) const {
    for (const auto* fault : {&faults_.closeAt, &faults_.stallAt}) {
        if (*fault && (*fault)->kind == StepKind::Byte) {
            uint64_t n = (*fault)->n;
            if ((n == 0 && from == 0 && to > 0) || (n > from && n <= to))
                return n;
        }
    }
    return std::nullopt;
}

std::string UpgradeSession::LogLine() const {
    auto value = [&](Value v) { return received_[v] ? LogValue(values_[v]) : std::string("-"); };
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - started_)
                  .count();
    return LogTime(std::chrono::system_clock::now()) + " " + Peer() + " id=" + value(OriginalID) +
           " type=" + value(UserName) + " hver=" + value(HVer) + " sver=" + value(SVer) +
           " swver=" + value(SWVer) + " answer=" + answer_ +
           (heldFrom_.empty() ? "" : " held=" + LogValue(heldFrom_)) + " end=" + end_ +
           " sent=" + std::to_string(sent_) + " ms=" + std::to_string(ms);
}

SessionRecord UpgradeSession::Record() const {
    static_assert(static_cast<size_t>(OriginalID) == SessionRecord::OriginalID &&
                  static_cast<size_t>(SWVer) == SessionRecord::SWVer);
    SessionRecord r;
    auto now = std::chrono::system_clock::now();
    r.endedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    r.peer = Peer();
    for (size_t i = 0; i < values_.size(); ++i)
        if (received_[i])
            r.values[i] = values_[i].substr(0, kRecordValueBytes);
    r.answer = answer_;
    r.heldFrom = heldFrom_;
    r.end = end_;
    r.bytesSent = sent_;
    r.durationMs = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - started_)
                                             .count());
    return r;
}
