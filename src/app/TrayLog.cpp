#include "app/TrayLog.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace parlando {

TrayLog::TrayLog(SystemLog& system, std::optional<std::filesystem::path> folder, std::FILE* err)
    : system_(system), folder_(std::move(folder)), err_(err) {
    writer_ = std::thread([this] { run(); });
}

TrayLog::~TrayLog() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    writer_.join();
    if (fd_ >= 0) ::close(fd_);
}

std::optional<std::filesystem::path> TrayLog::filePath() const {
    if (!folder_) return std::nullopt;
    return *folder_ / fileName;
}

void TrayLog::append(std::string_view message) {
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= maxQueuedLines) {
            ++dropped_;
            return;
        }
        queue_.emplace_back(message);
    }
    wake_.notify_one();
}

void TrayLog::flush() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return (queue_.empty() && !writing_) || stopping_; });
}

void TrayLog::run() {
    // A standard error whose reader has gone must not kill the process: the
    // write fails with EPIPE instead, here where every write happens.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return !queue_.empty() || stopping_; });
        if (queue_.empty()) break;
        std::deque<std::string> batch;
        batch.swap(queue_);
        const std::size_t dropped = dropped_;
        dropped_ = 0;
        writing_ = true;
        lock.unlock();
        for (const auto& line : batch) write(line);
        if (dropped > 0) write("log: " + std::to_string(dropped) + " lines dropped (the log could not keep up)");
        lock.lock();
        writing_ = false;
        if (queue_.empty()) idle_.notify_all();
    }
    idle_.notify_all();
}

void TrayLog::write(const std::string& message) {
    system_.info(message);
    writeStderr(message);
    appendToFile(message);
}

void TrayLog::writeStderr(const std::string& message) {
    if (err_ == nullptr) return;
    const int fd = ::fileno(err_);
    if (fd < 0) return;
    // A pipe nobody drains fills up: skip the copy rather than stall the log.
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) return;
    std::string line = "Parlando: " + message + "\n";
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

bool TrayLog::openFile() {
    const std::filesystem::path file = *folder_ / fileName;
    if (fd_ >= 0) {
        // Still the file at our path? A moved or deleted log is replaced by a new one.
        struct stat atPath{}, open{};
        if (::stat(file.c_str(), &atPath) == 0 && ::fstat(fd_, &open) == 0 && atPath.st_ino == open.st_ino &&
            atPath.st_dev == open.st_dev)
            return true;
        ::close(fd_);
        fd_ = -1;
    }
    std::error_code ec;
    std::filesystem::create_directories(*folder_, ec);
    if (ec) {
        system_.error("log write failed: " + ec.message() + " (" + folder_->string() + ")");
        return false;
    }
    // Append mode puts every write at the current end, even if another
    // process appends to the same file.
    fd_ = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        system_.error(std::string("log write failed: ") + std::strerror(errno) + " (" + file.string() + ")");
        return false;
    }
    return true;
}

void TrayLog::appendToFile(const std::string& message) {
    if (!folder_ || !openFile()) return;
    std::string bytes = message + "\n";
    // One write per line, so a line never interleaves with another process's.
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n != static_cast<ssize_t>(bytes.size())) {
        system_.error(std::string("log write failed: ") + (n < 0 ? std::strerror(errno) : "short write") + " (" +
                      (*folder_ / fileName).string() + ")");
    }
}

}  // namespace parlando
