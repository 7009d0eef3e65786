#pragma once
// What a meeting needs beyond the dictation's ports (microphone, key store):
// a two-channel recognition stream and the files it writes. The composition
// root serves them with the real client and libsndfile; tests use fakes.
#include "core/MainLoop.h"
#include "dictation/DictationPorts.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace parlando {

// One two-channel, multichannel recognition stream (channel 0 the user,
// channel 1 everybody else); results carry their channel.
class MeetingRecognitionFactory {
public:
    virtual ~MeetingRecognitionFactory() = default;
    virtual std::shared_ptr<RecognitionClient> makeMeetingClient(const std::string& apiKey,
                                                                 RecognitionCallbacks callbacks) = 0;
};

// A mono 16 kHz 16-bit WAV file being written. Main thread.
class WavWriter {
public:
    virtual ~WavWriter() = default;
    // Appends frames; the description of the failure otherwise.
    virtual std::optional<std::string> write(const std::int16_t* frames, std::size_t count) = 0;
    // Makes what was written so far a complete, readable file on disk (header
    // rewritten for the current length, data flushed).
    virtual std::optional<std::string> commit() = 0;
    // Finalises and closes; later calls do nothing.
    virtual void close() = 0;
};

// A text file written line by line, each line on disk once append() returns.
class TextAppender {
public:
    virtual ~TextAppender() = default;
    virtual std::optional<std::string> append(const std::string& text) = 0;
    virtual void close() = 0;
};

// The file system as a meeting uses it.
class MeetingStorage {
public:
    virtual ~MeetingStorage() = default;
    virtual bool exists(const std::filesystem::path& path) = 0;
    // Creates the folder and its parents; the failure's description otherwise.
    virtual std::optional<std::string> createDirectories(const std::filesystem::path& path) = 0;
    // Replaces the file with `header` atomically, then opens it for appending.
    // Null with *error set on failure.
    virtual std::unique_ptr<TextAppender> createText(const std::filesystem::path& path, const std::string& header,
                                                     std::string* error) = 0;
    // A new WAV file; `startedAt` is stored in it so that the recording's
    // start can be read back to the second.
    virtual std::unique_ptr<WavWriter> createWav(const std::filesystem::path& path, WallTime startedAt,
                                                 std::string* error) = 0;
};

}  // namespace parlando
