#pragma once
// Fakes of the meeting's ports: system audio driven by the test, and files
// kept in memory (with a switch that makes every write fail, like a full disk).
#include "audio/SystemAudioCapture.h"
#include "meeting/MeetingPorts.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace parlando::testing {

class FakeSystemAudioCapture final : public SystemAudioCapture, public SystemAudioCaptureFactory {
public:
    std::shared_ptr<SystemAudioCapture> make() override { return made.emplace_back(std::make_shared<FakeSystemAudioCapture>()); }
    FakeSystemAudioCapture& last() { return static_cast<FakeSystemAudioCapture&>(*made.back()); }
    void start(Completion completion) override { pendingStart = std::move(completion); }
    void stop(std::function<void()> completion) override { ++stops, completion ? completion() : void(); }
    std::vector<std::shared_ptr<SystemAudioCapture>> made;  // as a factory
    Completion pendingStart;
    int stops = 0;
};

// A file: a transcript's text, or a recording's length and the first sample
// of each write (the session writes whole blocks; tests fill each with one value).
struct MemoryFile {
    std::string text;
    std::size_t frames = 0;
    std::vector<std::int16_t> blocks;
    bool closed = false;
};

class MemoryStorage final : public MeetingStorage {
public:
    bool exists(const std::filesystem::path& p) override { return files.count(p) > 0; }
    std::optional<std::string> createDirectories(const std::filesystem::path& p) override { return files[p], std::nullopt; }
    std::unique_ptr<TextAppender> createText(const std::filesystem::path& p, const std::string& header,
                                             std::string* error) override {
        if (failCreate) return *error = "Read-only file system", nullptr;
        return std::make_unique<Handle>(*this, files[p] = MemoryFile{header, 0, {}, false});
    }
    std::unique_ptr<WavWriter> createWav(const std::filesystem::path& p, WallTime, std::string*) override {
        return std::make_unique<Handle>(*this, files[p] = MemoryFile());
    }
    std::map<std::filesystem::path, MemoryFile> files;
    bool failCreate = false, diskFull = false;

private:
    // One open file; the session owns it, the storage keeps its content.
    struct Handle final : TextAppender, WavWriter {
        Handle(MemoryStorage& s, MemoryFile& f) : storage(s), file(f) {}
        std::optional<std::string> append(const std::string& t) override { return put([&] { file.text += t; }); }
        std::optional<std::string> write(const std::int16_t* frames, std::size_t n) override {
            return put([&] { file.frames += n, file.blocks.push_back(frames[0]); });
        }
        std::optional<std::string> commit() override { return put([] {}); }
        void close() override { file.closed = true; }
        std::optional<std::string> put(const std::function<void()>& f) {
            return storage.diskFull ? std::optional<std::string>("No space left on device") : (f(), std::nullopt);
        }
        MemoryStorage& storage;
        MemoryFile& file;
    };
};

}  // namespace parlando::testing
