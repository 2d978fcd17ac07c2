#pragma once
// A firmware image or font file, checked before the printer hears anything:
// only a regular file is taken (a FIFO would block the download, a directory
// cannot be read), and no more is read than the file held when it was opened.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ferrik {

class ImageFile {
public:
    // Opens `path` for reading. Null on failure, with the reason in `why`
    // ("No such file or directory", "a directory, not a regular file", ...).
    static std::unique_ptr<ImageFile> Open(const std::string& path, std::string& why);
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Reads up to `length` bytes into `into`; `got` is 0 at the end. False on
    // a read error.
    bool Read(std::uint8_t* into, std::size_t length, std::size_t& got);

    // Bytes the file held when it was opened.
    std::uint64_t Size() const { return size_; }

private:
    ImageFile(int fd, std::uint64_t size) : fd_(fd), size_(size), left_(size) {}
    int fd_;
    std::uint64_t size_;
    std::uint64_t left_;             // bytes of the file not yet read
    std::vector<std::uint8_t> buffer_;  // read ahead in large pieces
    std::size_t at_ = 0;
};

// What a command line checks and shows before a download: the file must be
// a regular file that holds something, and the person at the terminal sees
// what is about to be written before any byte goes out. The window sends
// what it finds, as it always did.
struct ImageSummary {
    enum class Problem {
        None,
        Unreadable,  // it cannot be opened or read (missing, no permission): `why` says which
        NotRegular,  // a directory, FIFO, device or socket
        Empty,
    };
    Problem problem = Problem::None;
    std::string why;
    std::uint64_t size = 0;    // bytes of the file
    std::uint64_t blocks = 0;  // 256-byte blocks sent for it
    // The checksum the USB firmware download sends after the image: the
    // blocks as sent (a short last block padded as the download pads it),
    // the fill blocks after them.
    std::uint32_t checksum = 0;
};

ImageSummary InspectImage(const std::string& path);

}  // namespace ferrik
