#include "app/TrayLog.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

namespace parlando {

TrayLog::TrayLog(SystemLog& system, std::optional<std::filesystem::path> folder, std::FILE* err)
    : system_(system), folder_(std::move(folder)), err_(err) {}

std::optional<std::filesystem::path> TrayLog::filePath() const {
    if (!folder_) return std::nullopt;
    return *folder_ / fileName;
}

void TrayLog::append(std::string_view message) {
    std::lock_guard lock(mutex_);
    system_.info(message);
    if (err_ != nullptr) {
        std::string line = "Parlando: ";
        line.append(message);
        line.push_back('\n');
        std::fwrite(line.data(), 1, line.size(), err_);
        std::fflush(err_);
    }
    appendToFile(message);
}

void TrayLog::appendToFile(std::string_view message) {
    if (!folder_) return;
    std::error_code ec;
    std::filesystem::create_directories(*folder_, ec);
    if (ec) {
        system_.error("log write failed: " + ec.message() + " (" + folder_->string() + ")");
        return;
    }
    const std::filesystem::path file = *folder_ / fileName;
    std::string bytes(message);
    bytes.push_back('\n');
    // Append mode puts every write at the current end, even if another
    // process appends to the same file.
    std::FILE* f = std::fopen(file.c_str(), "ab");
    if (f == nullptr) {
        system_.error(std::string("log write failed: ") + std::strerror(errno) + " (" + file.string() + ")");
        return;
    }
    // One buffer the size of the line, so the line leaves in a single write.
    std::setvbuf(f, nullptr, _IOFBF, bytes.size() + 1);
    const std::size_t written = std::fwrite(bytes.data(), 1, bytes.size(), f);
    const int closeResult = std::fclose(f);
    if (written != bytes.size() || closeResult != 0) {
        system_.error(std::string("log write failed: ") + std::strerror(errno) + " (" + file.string() + ")");
    }
}

}  // namespace parlando
