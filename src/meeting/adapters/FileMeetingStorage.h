#pragma once
// The meeting's files on disk: folders through std::filesystem, the
// transcript through POSIX calls (each line synchronised as it is written),
// the recordings through libsndfile.
#include "meeting/MeetingPorts.h"

namespace parlando {

class FileMeetingStorage final : public MeetingStorage {
public:
    bool exists(const std::filesystem::path& path) override;
    std::optional<std::string> createDirectories(const std::filesystem::path& path) override;
    std::unique_ptr<TextAppender> createText(const std::filesystem::path& path, const std::string& header,
                                             std::string* error) override;
    std::unique_ptr<WavWriter> createWav(const std::filesystem::path& path, WallTime startedAt,
                                         std::string* error) override;
};

// The start time stored in a recording by createWav(), if there is one.
std::optional<WallTime> readWavStartTime(const std::filesystem::path& path);

}  // namespace parlando
