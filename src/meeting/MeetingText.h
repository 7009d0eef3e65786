#pragma once
// The meeting files' names and line format, shared by the live session and
// the re-transcription of a finished meeting.
#include "core/MainLoop.h"

#include <optional>
#include <string>

namespace parlando::meeting_text {

// "yyyy-MM-dd-HHmm-meeting" in local time.
std::string folderName(WallTime t);
// "# Meeting <folder>\n\n"
std::string header(const std::string& folder);
// "HH:mm:ss" in local time.
std::string clockTime(WallTime t);
// "Я" for channel 0, "Собеседник" for channel 1, none otherwise.
std::optional<std::string> speakerLabel(std::optional<int> channel);
// "[time] [label] text" or "[time] text".
std::string line(const std::string& time, const std::optional<std::string>& label, const std::string& text);
// White space and line breaks removed from both ends.
std::string trimmed(const std::string& text);
// Local time with its UTC offset to the second, "2026-03-14T09:30:12+0100", and back.
std::string isoTimestamp(WallTime t);
std::optional<WallTime> parseIsoTimestamp(const std::string& text);
// The minute a folder name starts with ("2026-03-14-0930-meeting-2"), as local time.
std::optional<WallTime> parseFolderName(const std::string& name);

}  // namespace parlando::meeting_text
