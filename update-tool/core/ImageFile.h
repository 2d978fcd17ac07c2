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

private:
    ImageFile(int fd, std::uint64_t size) : fd_(fd), left_(size) {}
    int fd_;
    std::uint64_t left_;             // bytes of the file not yet read
    std::vector<std::uint8_t> buffer_;  // read ahead in large pieces
    std::size_t at_ = 0;
};

}  // namespace ferrik
