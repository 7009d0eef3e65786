#include "fakes/Fakes.h"

namespace parlando::testing {

void MemoryLog::append(std::string_view message) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(message);
}
std::vector<std::string> MemoryLog::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}
bool MemoryLog::contains(std::string_view needle) const { return count(needle) > 0; }
std::size_t MemoryLog::count(std::string_view needle) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& l : lines_) n += l.find(needle) != std::string::npos ? 1 : 0;
    return n;
}
void MemoryLog::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

void FakeSystemLog::info(std::string_view message) {
    std::lock_guard lock(mutex_);
    infos_.emplace_back(message);
}
void FakeSystemLog::error(std::string_view message) {
    std::lock_guard lock(mutex_);
    errors_.emplace_back(message);
}
std::vector<std::string> FakeSystemLog::infos() const {
    std::lock_guard lock(mutex_);
    return infos_;
}
std::vector<std::string> FakeSystemLog::errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
}

}  // namespace parlando::testing
