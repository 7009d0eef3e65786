#pragma once
// One Parlando per user: a second copy would listen to the same hotkey and
// paste every dictation twice.
#include <filesystem>

namespace parlando {

class SingleInstance {
public:
    // Takes the lock file's lock; held until destruction.
    explicit SingleInstance(const std::filesystem::path& lockFile);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // False when another process holds the lock.
    bool acquired() const { return acquired_; }

private:
    int fd_ = -1;
    bool acquired_ = false;
};

}  // namespace parlando
