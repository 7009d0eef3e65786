#pragma once
// The application's diagnostic log: each line goes to the system log, to
// standard error as "Parlando: <line>", and to parlando-tray.txt in the app's
// data folder. No levels, no time stamps, no rotation.
#include "core/Log.h"
#include "core/SystemLog.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>

namespace parlando {

class TrayLog final : public Log {
public:
    static constexpr const char* fileName = "parlando-tray.txt";

    // folder: where the file lives (created when missing); none = no file.
    // err: where the "Parlando: " copy goes (stderr in the app).
    TrayLog(SystemLog& system, std::optional<std::filesystem::path> folder, std::FILE* err = stderr);

    void append(std::string_view message) override;

    std::optional<std::filesystem::path> filePath() const;

private:
    void appendToFile(std::string_view message);

    SystemLog& system_;
    std::optional<std::filesystem::path> folder_;
    std::FILE* err_;
    // Serialises writers so that every line stays whole and each thread's
    // lines keep their order in the file and on stderr.
    std::mutex mutex_;
};

}  // namespace parlando
