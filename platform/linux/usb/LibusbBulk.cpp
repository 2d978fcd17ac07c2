#include "platform/linux/usb/LibusbBulk.h"

#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

namespace platform_linux {
namespace {

constexpr int kPrinterClass = LIBUSB_CLASS_PRINTER;
constexpr int kVendorClass = LIBUSB_CLASS_VENDOR_SPEC;
constexpr int kEventSliceMs = 20;  // how often a waiting write looks at its deadline and stop event

int ErrnoOf(int libusbError) {
    switch (libusbError) {
        case LIBUSB_ERROR_ACCESS: return EACCES;
        case LIBUSB_ERROR_NO_DEVICE: return ENODEV;
        case LIBUSB_ERROR_NOT_FOUND: return ENOENT;
        case LIBUSB_ERROR_BUSY: return EBUSY;
        case LIBUSB_ERROR_TIMEOUT: return ETIMEDOUT;
        case LIBUSB_ERROR_PIPE: return EPIPE;
        case LIBUSB_ERROR_INTERRUPTED: return EINTR;
        case LIBUSB_ERROR_NO_MEM: return ENOMEM;
        case LIBUSB_ERROR_NOT_SUPPORTED: return ENOTSUP;
        case LIBUSB_ERROR_INVALID_PARAM: return EINVAL;
        default: return EIO;
    }
}

struct Endpoint {
    int interface = -1;
    unsigned char address = 0;
    unsigned char in = 0;   // the same interface's bulk IN endpoint; 0: no way back
    int inPacket = 64;      // its largest packet
};

// The printer-class interface with a bulk OUT endpoint, else a vendor-class
// one; with it, a bulk IN endpoint of the same setting where there is one.
Endpoint FindBulkOut(libusb_device* device) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0 &&
        libusb_get_config_descriptor(device, 0, &config) != 0)
        return {};
    Endpoint best;
    int bestClass = -1;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = interface.altsetting[a];
            const int cls = alt.bInterfaceClass;
            if ((cls != kPrinterClass && cls != kVendorClass) || (bestClass == kPrinterClass)) continue;
            Endpoint found;
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
                const bool out = (ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_OUT;
                if (out && found.interface < 0) {
                    found.interface = alt.bInterfaceNumber;
                    found.address = ep.bEndpointAddress;
                } else if (!out && found.in == 0) {
                    found.in = ep.bEndpointAddress;
                    if (ep.wMaxPacketSize > 0) found.inPacket = ep.wMaxPacketSize & 0x7ff;
                }
            }
            if (found.interface < 0) continue;
            best = found;
            bestClass = cls;
        }
    }
    libusb_free_config_descriptor(config);
    return best;
}

class LibusbTransport : public printer_link::Transport {
public:
    LibusbTransport(std::string node, libusb_context* context, libusb_device_handle* handle, Endpoint endpoint,
                    bool detached)
        : printer_link::Transport(std::move(node)), context_(context), handle_(handle), endpoint_(endpoint), detached_(detached) {}

    ~LibusbTransport() override {
        libusb_release_interface(handle_, endpoint_.interface);
        if (detached_) libusb_attach_kernel_driver(handle_, endpoint_.interface);
        libusb_close(handle_);
        libusb_exit(context_);
    }

    printer_link::PieceResult Write(const std::uint8_t* data, std::size_t length, const printer_link::Deadline& deadline,
                      const printer_link::StopEvent* stop) override {
        if (stop && stop->IsSet()) return {printer_link::Outcome::Stopped, 0, 0};
        libusb_transfer* transfer = libusb_alloc_transfer(0);
        if (!transfer) return printer_link::Dropped(ENOMEM);
        int completed = 0;
        // libusb takes a non-const buffer; an OUT transfer only reads it.
        libusb_fill_bulk_transfer(
            transfer, handle_, endpoint_.address, const_cast<unsigned char*>(data),
            static_cast<int>(std::min<std::size_t>(length, INT_MAX)),
            [](libusb_transfer* t) { *static_cast<int*>(t->user_data) = 1; }, &completed, 0);
        if (const int error = libusb_submit_transfer(transfer); error != 0) {
            libusb_free_transfer(transfer);
            return printer_link::Dropped(ErrnoOf(error));
        }
        const printer_link::Outcome abandoned = AwaitTransfer(transfer, completed, deadline, stop);
        printer_link::PieceResult result;
        switch (transfer->status) {
            case LIBUSB_TRANSFER_COMPLETED:
                result = {printer_link::Outcome::Sent, 0, static_cast<std::size_t>(transfer->actual_length)};
                break;
            case LIBUSB_TRANSFER_CANCELLED:
            case LIBUSB_TRANSFER_TIMED_OUT:
                // What a cancelled transfer moved is not known to have reached
                // the printer; the piece counts as not taken.
                result = {abandoned == printer_link::Outcome::Stopped ? printer_link::Outcome::Stopped : printer_link::Outcome::TimedOut, 0, 0};
                break;
            case LIBUSB_TRANSFER_NO_DEVICE:
                result = printer_link::Dropped(ENODEV);
                break;
            case LIBUSB_TRANSFER_STALL:
                result = printer_link::Dropped(EPIPE);
                break;
            default:
                result = printer_link::Dropped(EIO);
                break;
        }
        libusb_free_transfer(transfer);
        return result;
    }

    bool CanRead() const override { return endpoint_.in != 0; }

    // One bulk IN transfer of whole packets (a shorter buffer would overflow
    // on a full packet), handled in slices so that the deadline and the stop
    // event hold; what it brings beyond `capacity` waits for the next Read.
    printer_link::PieceResult Read(std::uint8_t* data, std::size_t capacity, const printer_link::Deadline& deadline,
                                   const printer_link::StopEvent* stop) override {
        if (endpoint_.in == 0) return {printer_link::Outcome::Unsupported, 0, 0};
        if (capacity == 0) return {};
        for (;;) {
            if (!pending_.empty()) return TakePending(data, capacity);
            if (stop && stop->IsSet()) return {printer_link::Outcome::Stopped, 0, 0};
            if (deadline.Bounded() && deadline.PollMs() == 0) return {printer_link::Outcome::TimedOut, 0, 0};
            const printer_link::PieceResult got = ReadTransfer(deadline, stop);
            if (got.outcome != printer_link::Outcome::Sent) return got;
            // A zero-length packet: nothing this time, ask again within the deadline.
        }
    }

private:
    // Runs libusb's events until `transfer` completes; cancels it once the
    // stop event is set or the deadline passes, and says which (Sent: neither).
    printer_link::Outcome AwaitTransfer(libusb_transfer* transfer, int& completed,
                                        const printer_link::Deadline& deadline, const printer_link::StopEvent* stop) {
        printer_link::Outcome abandoned = printer_link::Outcome::Sent;
        while (!completed) {
            if (abandoned == printer_link::Outcome::Sent) {
                if (stop && stop->IsSet())
                    abandoned = printer_link::Outcome::Stopped;
                else if (deadline.Passed())
                    abandoned = printer_link::Outcome::TimedOut;
                if (abandoned != printer_link::Outcome::Sent) libusb_cancel_transfer(transfer);
            }
            const int left = deadline.PollMs();
            const int slice = left < 0 ? kEventSliceMs : std::clamp(left, 1, kEventSliceMs);
            timeval tv{0, slice * 1000};
            libusb_handle_events_timeout_completed(context_, &tv, &completed);
        }
        return abandoned;
    }

    printer_link::PieceResult TakePending(std::uint8_t* data, std::size_t capacity) {
        const std::size_t n = std::min(capacity, pending_.size());
        std::copy_n(pending_.begin(), n, data);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
        return {printer_link::Outcome::Sent, 0, n};
    }

    // One transfer into pending_; Sent also when it brought nothing.
    printer_link::PieceResult ReadTransfer(const printer_link::Deadline& deadline,
                                           const printer_link::StopEvent* stop) {
        libusb_transfer* transfer = libusb_alloc_transfer(0);
        if (!transfer) return printer_link::Dropped(ENOMEM);
        std::vector<unsigned char> buffer(static_cast<std::size_t>(std::max(endpoint_.inPacket, 1)) * 8);
        int completed = 0;
        libusb_fill_bulk_transfer(
            transfer, handle_, endpoint_.in, buffer.data(), static_cast<int>(buffer.size()),
            [](libusb_transfer* t) { *static_cast<int*>(t->user_data) = 1; }, &completed, 0);
        if (const int error = libusb_submit_transfer(transfer); error != 0) {
            libusb_free_transfer(transfer);
            return printer_link::Dropped(ErrnoOf(error));
        }
        const printer_link::Outcome abandoned = AwaitTransfer(transfer, completed, deadline, stop);
        // Bytes that arrived before a cancel are the printer's and are kept.
        const std::size_t got = transfer->actual_length > 0 ? static_cast<std::size_t>(transfer->actual_length) : 0;
        pending_.insert(pending_.end(), buffer.begin(), buffer.begin() + static_cast<long>(got));
        printer_link::PieceResult result;
        switch (transfer->status) {
            case LIBUSB_TRANSFER_COMPLETED:
                break;
            case LIBUSB_TRANSFER_CANCELLED:
            case LIBUSB_TRANSFER_TIMED_OUT:
                if (got == 0) result = {abandoned == printer_link::Outcome::Stopped ? printer_link::Outcome::Stopped
                                                                                    : printer_link::Outcome::TimedOut,
                                        0, 0};
                break;
            case LIBUSB_TRANSFER_NO_DEVICE:
                result = printer_link::Dropped(ENODEV);
                break;
            case LIBUSB_TRANSFER_STALL:
                result = printer_link::Dropped(EPIPE);
                break;
            default:
                result = printer_link::Dropped(EIO);
                break;
        }
        libusb_free_transfer(transfer);
        return result;
    }

    std::vector<std::uint8_t> pending_;  // read from the printer, not yet handed over
    libusb_context* context_;
    libusb_device_handle* handle_;
    Endpoint endpoint_;
    bool detached_;
};

}  // namespace

printer_link::OpenedTransport OpenLibusbBulk(int bus, int address, const std::string& node) {
    libusb_context* context = nullptr;
    if (const int error = libusb_init(&context); error != 0) return printer_link::OpenFailure(ErrnoOf(error), node);
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    libusb_device* device = nullptr;
    for (ssize_t i = 0; i < count; ++i) {
        if (libusb_get_bus_number(list[i]) == bus && libusb_get_device_address(list[i]) == address) {
            device = libusb_ref_device(list[i]);
            break;
        }
    }
    if (list) libusb_free_device_list(list, 1);
    auto fail = [&](int error) {
        if (device) libusb_unref_device(device);
        libusb_exit(context);
        return printer_link::OpenFailure(error, node);
    };
    if (!device) return fail(ENODEV);
    const Endpoint endpoint = FindBulkOut(device);
    if (endpoint.interface < 0) return fail(ENOENT);
    libusb_device_handle* handle = nullptr;
    if (const int error = libusb_open(device, &handle); error != 0) return fail(ErrnoOf(error));
    libusb_unref_device(device);
    device = nullptr;
    // A kernel driver (usblp, or one bound by another program) gives the
    // interface back after the write.
    bool detached = false;
    if (libusb_kernel_driver_active(handle, endpoint.interface) == 1) {
        if (const int error = libusb_detach_kernel_driver(handle, endpoint.interface); error != 0) {
            libusb_close(handle);
            return fail(ErrnoOf(error));
        }
        detached = true;
    }
    if (const int error = libusb_claim_interface(handle, endpoint.interface); error != 0) {
        if (detached) libusb_attach_kernel_driver(handle, endpoint.interface);
        libusb_close(handle);
        return fail(ErrnoOf(error));
    }
    printer_link::OpenedTransport opened;
    opened.transport = std::make_unique<LibusbTransport>(node, context, handle, endpoint, detached);
    return opened;
}

}  // namespace platform_linux
