// The file scheme (tests): file:PATH, a file or a FIFO.
#include <memory>

#include "link/FdTransport.h"
#include "link/Schemes.h"

namespace printer_link {

// Appends to a file (created when missing), or writes into a FIFO that has a reader.
OpenedTransport OpenFile(std::string_view rest, const OpenOptions&) {
    return OpenFd(std::string(WithoutSlashes(rest)), O_WRONLY | O_CREAT | O_APPEND,
                  [](int fd, std::string node) -> std::unique_ptr<Transport> {
                      return std::make_unique<FdTransport>(fd, std::move(node), FdTransport::Completion::OnWrite,
                                                           false);
                  });
}

}  // namespace printer_link
