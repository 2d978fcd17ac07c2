#include "link/Device.h"

#include <cerrno>

#include "link/Schemes.h"

namespace printer_link {
namespace {

Result Failure(Outcome outcome, int error, std::string node) {
    Result result;
    result.outcome = outcome;
    result.error = error;
    result.node = std::move(node);
    return result;
}

Opened FromTransport(OpenedTransport opened) {
    Opened result;
    if (opened.transport)
        result.device = std::make_unique<Device>(std::move(opened.transport), std::move(opened.identity));
    else
        result.failure = std::move(opened.failure);
    return result;
}

}  // namespace

Device::Device(std::unique_ptr<Transport> transport, std::string identity)
    : transport_(std::move(transport)), identity_(std::move(identity)) {
    if (transport_) node_ = transport_->Node();
}

Device::~Device() { Abandon(); }

Result Device::Write(const std::uint8_t* data, std::size_t length, const Pacing& pacing) {
    Result result;
    if (!transport_) return Failure(Outcome::OpenFailed, EBADF, node_);
    const std::size_t limit = std::max<std::size_t>(pacing.pieceSize, 1);
    std::size_t taken = 0;
    while (taken < length) {
        if (pacing.stop && pacing.stop->IsSet()) {
            result.outcome = Outcome::Stopped;
            result.node = node_;
            break;
        }
        const std::size_t piece = std::min(limit, length - taken);
        const Deadline deadline = Deadline::After(pacing.pieceTimeoutMs);
        // A device may take part of a piece (a socket with little room): the
        // rest is offered again within the same deadline.
        std::size_t done = 0;
        PieceResult step;
        while (done < piece) {
            step = transport_->Write(data + taken + done, piece - done, deadline, pacing.stop);
            done += std::min(step.taken, piece - done);
            if (step.outcome != Outcome::Sent) break;
            if (step.taken == 0) {
                step = PieceResult{Outcome::Reset, 0, 0};  // a device that takes nothing and reports no error
                break;
            }
        }
        taken += done;
        if (step.outcome != Outcome::Sent) {
            result.outcome = step.outcome;
            result.error = step.error;
            result.node = node_;  // named on failures only: a write path with no allocation
            break;
        }
    }
    if (transport_->ConfirmsPieces())
        result.sent = taken;
    else
        unconfirmed_ += taken;
    return result;
}

Result Device::Flush(int timeoutMs, const StopEvent* stop) {
    if (!transport_) return Failure(Outcome::OpenFailed, EBADF, node_);
    const PieceResult flushed = transport_->Flush(Deadline::After(timeoutMs), stop);
    if (flushed.outcome != Outcome::Sent) return Failure(flushed.outcome, flushed.error, node_);
    Result result;
    result.sent = unconfirmed_;
    unconfirmed_ = 0;
    return result;
}

Result Device::Close(int timeoutMs, const StopEvent* stop) {
    Result result;
    result.node = node_;
    if (!transport_) return result;
    const PieceResult finish = transport_->Finish(Deadline::After(timeoutMs), stop);
    if (finish.outcome == Outcome::Sent) {
        result.sent = unconfirmed_;
    } else {
        result.outcome = finish.outcome;
        result.error = finish.error;
    }
    Abandon();
    return result;
}

void Device::Abandon() {
    transport_.reset();
    unconfirmed_ = 0;
}

DeviceStatus Device::Status() const { return transport_ ? transport_->Status() : DeviceStatus{}; }

bool Device::CanRead() const { return transport_ && transport_->CanRead(); }

Result Device::Read(std::uint8_t* data, std::size_t capacity, int timeoutMs, const StopEvent* stop) {
    Result result;
    result.node = node_;
    if (!transport_ || !transport_->CanRead()) {
        result.outcome = Outcome::Unsupported;
        return result;
    }
    const PieceResult piece = transport_->Read(data, capacity, Deadline::After(timeoutMs), stop);
    result.outcome = piece.outcome;
    result.error = piece.error;
    result.received = piece.taken;
    return result;
}

Opened OpenDevice(std::string_view uri, const OpenOptions& options) {
    const auto colon = uri.find(':');
    if (colon == std::string_view::npos) return {nullptr, Failure(Outcome::BadUri, EINVAL, std::string(uri))};
    const std::string_view name = uri.substr(0, colon);
    const std::string_view rest = uri.substr(colon + 1);
    for (const Scheme& scheme : Schemes()) {
        if (scheme.name == name) return FromTransport(scheme.open(rest, options));
    }
    return {nullptr, Failure(Outcome::BadUri, EPROTONOSUPPORT, std::string(uri))};
}

Result Deliver(std::string_view uri, const std::uint8_t* data, std::size_t length, const OpenOptions& options,
               const Pacing& pacing, int finishTimeoutMs) {
    Opened opened = OpenDevice(uri, options);
    if (!opened.device) return opened.failure;
    Result written = opened.device->Write(data, length, pacing);
    if (!written.Ok()) return written;
    Result closed = opened.device->Close(finishTimeoutMs, pacing.stop);
    closed.sent += written.sent;
    return closed;
}

}  // namespace printer_link
