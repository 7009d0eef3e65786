#include "MeetingRetranscribe.h"

#include "AudioFile.h"
#include "meeting/MeetingText.h"
#include "meeting/adapters/FileMeetingStorage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>

namespace parlando::transcribe {

std::variant<MeetingAudio, std::string> loadMeeting(const std::filesystem::path& folder) {
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) return "not a meeting folder: " + folder.string();
    std::vector<std::uint8_t> sides[2];
    bool any = false;
    const char* names[2] = {"self.wav", "others.wav"};
    for (int i = 0; i < 2; ++i) {
        const auto path = folder / names[i];
        if (!std::filesystem::exists(path, ec)) continue;
        auto loaded = loadAsSpeechPcm(path.string());
        if (auto* e = std::get_if<AudioLoadError>(&loaded)) return "cannot read " + path.string() + ": " + e->message;
        sides[i] = std::move(std::get<std::vector<std::uint8_t>>(loaded));
        any = true;
    }
    if (!any) return "neither self.wav nor others.wav in " + folder.string();

    MeetingAudio meeting;
    meeting.folderName = std::filesystem::absolute(folder).lexically_normal().filename().string();
    if (meeting.folderName.empty()) meeting.folderName = std::filesystem::absolute(folder).parent_path().filename().string();
    std::optional<WallTime> started = readWavStartTime(folder / names[0]);
    if (!started) started = readWavStartTime(folder / names[1]);
    if (!started) started = meeting_text::parseFolderName(meeting.folderName);
    if (!started) return "cannot tell when the meeting started: no start time in the recordings or the folder's name";
    meeting.startedAt = *started;

    // The shorter side is padded with silence; both start together.
    const std::size_t frames = std::max(sides[0].size(), sides[1].size()) / 2;
    meeting.stereo.assign(frames * 4, 0);
    for (int side = 0; side < 2; ++side)
        for (std::size_t f = 0; f < sides[side].size() / 2; ++f)
            std::memcpy(meeting.stereo.data() + f * 4 + side * 2, sides[side].data() + f * 2, 2);
    return meeting;
}

std::string meetingTranscript(const MeetingAudio& meeting, std::vector<Transcript> finals) {
    std::stable_sort(finals.begin(), finals.end(),
                     [](const Transcript& a, const Transcript& b) { return a.start.value_or(0) < b.start.value_or(0); });
    std::string text = meeting_text::header(meeting.folderName);
    for (const auto& t : finals) {
        const std::string body = meeting_text::trimmed(t.text);
        if (body.empty()) continue;
        const auto at = meeting.startedAt + std::chrono::duration_cast<WallTime::duration>(
                                                std::chrono::duration<double>(t.start.value_or(0)));
        text += meeting_text::line(meeting_text::clockTime(at), meeting_text::speakerLabel(t.channelIndex), body) + "\n";
    }
    return text;
}

std::optional<std::string> writeReplacing(const std::filesystem::path& path, const std::string& text) {
    const auto temp = path.string() + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) return "cannot write " + temp + ": " + std::strerror(errno);
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        return "cannot replace " + path.string() + ": " + ec.message();
    }
    return std::nullopt;
}

}  // namespace parlando::transcribe
