#pragma once
// What the computer plays (in a meeting: the other participants), delivered in
// the microphone's chunk format: 640-byte chunks of 16 kHz mono 16-bit PCM.
// The meeting session makes one instance per meeting through the factory;
// the sound-server adapter implements it for real, tests use a fake.
#include "audio/Pcm.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace parlando {

// Why a capture could not start. The description is what the user sees.
struct SystemAudioError {
    enum class Kind { permissionDenied, streamStart, noContent };
    Kind kind = Kind::streamStart;
    std::string payload;  // empty for noContent
    std::string description() const;
};

class SystemAudioCapture {
public:
    using Completion = std::function<void(const std::optional<SystemAudioError>& error)>;

    virtual ~SystemAudioCapture() = default;

    // Set before start(). Chunks arrive in order on the capture's own thread;
    // receivers synchronise themselves. Errors of a running capture (the server
    // went away, the stream was ended under us, a conversion failed) arrive on
    // the main thread; the instance still counts as started until stop().
    std::function<void(const AudioChunk& chunk)> onAudioChunk;
    std::function<void(const std::string& description)> onError;

    // Main thread. Never blocks on the sound server; the completion runs later
    // on the main thread with no error once chunks can flow.
    virtual void start(Completion completion) = 0;
    // Main thread. Never fails; once the completion runs (on the main thread)
    // no chunk is delivered any more. Harmless without start() and twice in a
    // row. The instance may be started again afterwards. A stop while a start
    // is under way cancels it: that start's completion is never called.
    virtual void stop(std::function<void()> completion = {}) = 0;
};

class SystemAudioCaptureFactory {
public:
    virtual ~SystemAudioCaptureFactory() = default;
    virtual std::shared_ptr<SystemAudioCapture> make() = 0;
};

}  // namespace parlando
