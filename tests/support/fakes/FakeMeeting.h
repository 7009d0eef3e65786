#pragma once
// Fakes of the meeting's ports: system audio driven by the test, and files
// kept in memory (with a switch that makes every write fail, like a full disk).
#include "audio/SystemAudioCapture.h"
#include "meeting/MeetingPorts.h"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace parlando::testing {

class FakeSystemAudioCapture final : public SystemAudioCapture {
public:
    void start(Completion completion) override { pendingStart = std::move(completion); ++starts; }
    void stop(std::function<void()> completion) override {
        ++stops;
        if (completion) completion();
    }
    // The capture's side.
    void finishStart(std::optional<SystemAudioError> error = std::nullopt) {
        auto c = std::move(pendingStart);
        if (c) c(error);
    }
    void deliver(const AudioChunk& chunk) { onAudioChunk(chunk); }
    Completion pendingStart;
    int starts = 0, stops = 0;
};

class FakeSystemAudioFactory final : public SystemAudioCaptureFactory {
public:
    std::shared_ptr<SystemAudioCapture> make() override {
        made.push_back(std::make_shared<FakeSystemAudioCapture>());
        return made.back();
    }
    std::shared_ptr<FakeSystemAudioCapture> last() const { return made.empty() ? nullptr : made.back(); }
    std::vector<std::shared_ptr<FakeSystemAudioCapture>> made;
};

struct MemoryFile {
    std::string text;  // a text file's content
    // A WAV file: its length, and the first sample of every write (the
    // session writes whole 20 ms blocks, tests fill each with one value).
    std::size_t frames = 0;
    std::vector<std::int16_t> blocks;
    std::size_t committedFrames = 0;
    WallTime startedAt{};
    bool closed = false;
};

class MemoryStorage final : public MeetingStorage {
public:
    bool exists(const std::filesystem::path& p) override { return dirs.count(p) > 0 || files.count(p) > 0; }
    std::optional<std::string> createDirectories(const std::filesystem::path& p) override {
        if (failFolders) return "Permission denied: " + p.string();
        dirs.insert(p);
        return std::nullopt;
    }
    std::unique_ptr<TextAppender> createText(const std::filesystem::path& p, const std::string& header,
                                             std::string* error) override {
        if (failCreate) {
            *error = "No space left on device";
            return nullptr;
        }
        auto file = std::make_shared<MemoryFile>();
        file->text = header;
        files[p] = file;
        return std::make_unique<Text>(file, *this);
    }
    std::unique_ptr<WavWriter> createWav(const std::filesystem::path& p, WallTime startedAt,
                                         std::string* error) override {
        if (failCreate || failWav) {
            *error = "No space left on device";
            return nullptr;
        }
        auto file = std::make_shared<MemoryFile>();
        file->startedAt = startedAt;
        files[p] = file;
        return std::make_unique<Wav>(file, *this);
    }
    std::shared_ptr<MemoryFile> file(const std::filesystem::path& p) const {
        auto it = files.find(p);
        return it == files.end() ? nullptr : it->second;
    }

    std::set<std::filesystem::path> dirs;
    std::map<std::filesystem::path, std::shared_ptr<MemoryFile>> files;
    bool failFolders = false, failCreate = false, failWav = false;
    bool diskFull = false;  // every write and commit fails while set

private:
    struct Text final : TextAppender {
        Text(std::shared_ptr<MemoryFile> f, MemoryStorage& s) : file(std::move(f)), storage(s) {}
        std::optional<std::string> append(const std::string& t) override {
            if (storage.diskFull) return std::string("No space left on device");
            file->text += t;
            return std::nullopt;
        }
        void close() override { file->closed = true; }
        std::shared_ptr<MemoryFile> file;
        MemoryStorage& storage;
    };
    struct Wav final : WavWriter {
        Wav(std::shared_ptr<MemoryFile> f, MemoryStorage& s) : file(std::move(f)), storage(s) {}
        std::optional<std::string> write(const std::int16_t* frames, std::size_t n) override {
            if (storage.diskFull) return std::string("No space left on device");
            file->frames += n;
            if (n > 0) file->blocks.push_back(frames[0]);
            return std::nullopt;
        }
        std::optional<std::string> commit() override {
            if (storage.diskFull) return std::string("No space left on device");
            file->committedFrames = file->frames;
            return std::nullopt;
        }
        void close() override {
            file->committedFrames = file->frames;
            file->closed = true;
        }
        std::shared_ptr<MemoryFile> file;
        MemoryStorage& storage;
    };
};

}  // namespace parlando::testing
