#include "SingleInstance.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace parlando {

SingleInstance::SingleInstance(const std::filesystem::path& lockFile) {
    std::error_code ec;
    std::filesystem::create_directories(lockFile.parent_path(), ec);
    fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // A lock that cannot be taken for another reason (read-only home) must not
    // keep the app from starting.
    if (fd_ < 0) {
        acquired_ = true;
        return;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        acquired_ = true;
    } else {
        acquired_ = errno != EWOULDBLOCK;
    }
}

SingleInstance::~SingleInstance() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace parlando
