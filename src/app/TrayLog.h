#pragma once
// The application's diagnostic log: each line goes to the system log, to
// standard error as "Parlando: <line>", and to parlando-tray.txt in the app's
// data folder. No levels, no time stamps, no rotation.
//
// append() only queues the line: one writer thread does the writing, so no
// caller (the audio and network threads among them) ever waits on the disk,
// on syslog or on a standard error nobody reads.
#include "core/Log.h"
#include "core/SystemLog.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace parlando {

class TrayLog final : public Log {
public:
    static constexpr const char* fileName = "parlando-tray.txt";
    // Lines waiting beyond this (a wedged disk) are dropped and counted.
    static constexpr std::size_t maxQueuedLines = 20000;

    // folder: where the file lives (created when missing); none = no file.
    // err: where the "Parlando: " copy goes (stderr in the app).
    TrayLog(SystemLog& system, std::optional<std::filesystem::path> folder, std::FILE* err = stderr);
    // Writes what is queued, then stops the writer.
    ~TrayLog() override;
    TrayLog(const TrayLog&) = delete;
    TrayLog& operator=(const TrayLog&) = delete;

    void append(std::string_view message) override;
    // Waits until every line appended so far has been written.
    void flush();

    std::optional<std::filesystem::path> filePath() const;

private:
    void run();
    void write(const std::string& message);
    void writeStderr(const std::string& message);
    void appendToFile(const std::string& message);
    bool openFile();

    SystemLog& system_;
    std::optional<std::filesystem::path> folder_;
    std::FILE* err_;
    int fd_ = -1;  // the log file, kept open; the writer thread's only

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::string> queue_;
    std::size_t dropped_ = 0;
    bool writing_ = false;
    bool stopping_ = false;
    std::thread writer_;
};

}  // namespace parlando
