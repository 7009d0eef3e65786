#pragma once
// A finished meeting transcribed again from its two recordings: the two
// sides as one two-channel stream, the results as the live transcript's
// lines, time-stamped with the meeting's start plus their place in the audio.
#include "core/MainLoop.h"
#include "speech/Transcript.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <variant>
#include <vector>

namespace parlando::transcribe {

struct MeetingAudio {
    std::vector<std::uint8_t> stereo;  // channel 0 self.wav, channel 1 others.wav
    WallTime startedAt;
    std::string folderName;
};

// Reads self.wav and others.wav (a missing side is silence); the start time
// from the recordings, else the minute in the folder's name.
std::variant<MeetingAudio, std::string> loadMeeting(const std::filesystem::path& folder);

// The transcript's text: header, then one line per result in audio order.
std::string meetingTranscript(const MeetingAudio& meeting, std::vector<Transcript> finals);

// Replaces `path` with `text` in one step; the failure's description otherwise.
std::optional<std::string> writeReplacing(const std::filesystem::path& path, const std::string& text);

}  // namespace parlando::transcribe
