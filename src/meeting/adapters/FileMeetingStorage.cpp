#include "meeting/adapters/FileMeetingStorage.h"

#include "meeting/MeetingText.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sndfile.h>
#include <system_error>
#include <unistd.h>

namespace parlando {

namespace {

std::string errnoText(int err) { return std::strerror(err); }

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

class FdAppender final : public TextAppender {
public:
    explicit FdAppender(int fd) : fd_(fd) {}
    ~FdAppender() override { close(); }
    std::optional<std::string> append(const std::string& text) override {
        if (fd_ < 0) return std::string("file closed");
        if (!writeAll(fd_, text.data(), text.size()) || ::fsync(fd_) != 0) return errnoText(errno);
        return std::nullopt;
    }
    void close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

class SndfileWriter final : public WavWriter {
public:
    SndfileWriter(SNDFILE* file, int fd) : file_(file), fd_(fd) {}
    ~SndfileWriter() override { close(); }
    std::optional<std::string> write(const std::int16_t* frames, std::size_t count) override {
        if (file_ == nullptr) return std::string("file closed");
        const auto n = sf_writef_short(file_, frames, static_cast<sf_count_t>(count));
        if (n != static_cast<sf_count_t>(count)) return std::string(sf_strerror(file_));
        return std::nullopt;
    }
    std::optional<std::string> commit() override {
        if (file_ == nullptr) return std::string("file closed");
        // The header then says how long the data is, so a process killed now
        // leaves a file that players read up to this point.
        sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
        if (sf_error(file_) != SF_ERR_NO_ERROR) return std::string(sf_strerror(file_));
        // Write-back starts now without the main thread waiting for the disk.
        ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
        return std::nullopt;
    }
    void close() override {
        if (file_ == nullptr) return;
        sf_close(file_);  // finalises the header, closes fd_
        file_ = nullptr;
    }

private:
    SNDFILE* file_;
    int fd_;
};

}  // namespace

bool FileMeetingStorage::exists(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

std::optional<std::string> FileMeetingStorage::createDirectories(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) return "Failed to create folder " + path.string() + ": " + ec.message();
    return std::nullopt;
}

std::unique_ptr<TextAppender> FileMeetingStorage::createText(const std::filesystem::path& path,
                                                            const std::string& header, std::string* error) {
    // Written beside it and renamed over it: the file is either the old one or the whole header.
    const auto temp = path.string() + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errnoText(errno);
        return nullptr;
    }
    const bool ok = writeAll(fd, header.data(), header.size()) && ::fsync(fd) == 0;
    const int err = errno;
    ::close(fd);
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        *error = errnoText(ok ? errno : err);
        ::unlink(temp.c_str());
        return nullptr;
    }
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        *error = errnoText(errno);
        return nullptr;
    }
    return std::make_unique<FdAppender>(fd);
}

std::unique_ptr<WavWriter> FileMeetingStorage::createWav(const std::filesystem::path& path, WallTime startedAt,
                                                         std::string* error) {
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errnoText(errno);
        return nullptr;
    }
    SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (file == nullptr) {
        *error = sf_strerror(nullptr);
        return nullptr;
    }
    // Strings go into the header before any audio, so every rewrite keeps them.
    sf_set_string(file, SF_STR_DATE, meeting_text::isoTimestamp(startedAt).c_str());
    sf_set_string(file, SF_STR_SOFTWARE, "Parlando");
    auto writer = std::make_unique<SndfileWriter>(file, fd);
    writer->commit();
    return writer;
}

std::optional<WallTime> readWavStartTime(const std::filesystem::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return std::nullopt;
    const char* date = sf_get_string(file, SF_STR_DATE);
    std::optional<WallTime> t = date ? meeting_text::parseIsoTimestamp(date) : std::nullopt;
    sf_close(file);
    return t;
}

}  // namespace parlando
