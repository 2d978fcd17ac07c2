#include "update-tool/core/ImageFile.h"

#include "protocol/Firmware.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ferrik {

namespace {
constexpr std::size_t kReadAhead = 64 * 1024;

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory, not a regular file";
    if (S_ISFIFO(mode)) return "a FIFO, not a regular file";
    if (S_ISSOCK(mode)) return "a socket, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device, not a regular file";
    return "not a regular file";
}
}  // namespace

std::unique_ptr<ImageFile> ImageFile::Open(const std::string& path, std::string& why) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        why = std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    const bool known = ::fstat(fd, &info) == 0;
    if (!known || !S_ISREG(info.st_mode)) {
        why = known ? KindOf(info.st_mode) : std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<ImageFile>(new ImageFile(fd, static_cast<std::uint64_t>(info.st_size)));
}

ImageFile::~ImageFile() { ::close(fd_); }

bool ImageFile::Read(std::uint8_t* into, std::size_t length, std::size_t& got) {
    got = 0;
    while (got < length) {
        if (at_ == buffer_.size()) {
            buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kReadAhead, left_)));
            at_ = 0;
            if (buffer_.empty()) return true;
            std::size_t filled = 0;
            while (filled < buffer_.size()) {
                const ssize_t n = ::read(fd_, buffer_.data() + filled, buffer_.size() - filled);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) return false;
                if (n == 0) break;  // the file shrank meanwhile
                filled += static_cast<std::size_t>(n);
            }
            buffer_.resize(filled);
            left_ = filled == 0 ? 0 : left_ - filled;
            if (buffer_.empty()) return true;
        }
        const std::size_t take = std::min(length - got, buffer_.size() - at_);
        std::memcpy(into + got, buffer_.data() + at_, take);
        at_ += take;
        got += take;
    }
    return true;
}

ImageSummary InspectImage(const std::string& path) {
    ImageSummary summary;
    auto file = ImageFile::Open(path, summary.why);
    if (!file) {
        struct stat info {};
        const bool other = ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
        summary.problem = other ? ImageSummary::Problem::NotRegular : ImageSummary::Problem::Unreadable;
        return summary;
    }
    summary.size = file->Size();
    if (summary.size == 0) {
        summary.problem = ImageSummary::Problem::Empty;
        summary.why = "an empty file";
        return summary;
    }
    // Read as the USB download reads: each block into the same buffer, which
    // starts zeroed, and the whole buffer counted.
    constexpr std::size_t kBlock = protocol::kFirmwareBlockSize;
    std::uint8_t block[kBlock] = {};
    for (;;) {
        std::size_t got = 0;
        if (!file->Read(block, kBlock, got)) {
            summary.problem = ImageSummary::Problem::Unreadable;
            summary.why = std::strerror(errno);
            return summary;
        }
        if (got == 0) break;
        ++summary.blocks;
        summary.checksum = protocol::FirmwareChecksum(block, kBlock, summary.checksum);
    }
    std::fill(std::begin(block), std::end(block), protocol::kFirmwareFillByte);
    const int fillBlocks = protocol::kUsbTrailerBlocks + (summary.blocks % 2 == 1 ? 1 : 0);
    for (int i = 0; i < fillBlocks; ++i) summary.checksum = protocol::FirmwareChecksum(block, kBlock, summary.checksum);
    return summary;
}

}  // namespace ferrik
