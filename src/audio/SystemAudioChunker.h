#pragma once
// The system-audio capture's sample path, apart from the sound server: buffers
// in whatever format the output's monitor delivers go through the shared
// converter and come out as 640-byte chunks. The converter is rebuilt when the
// input format changes (the user switched to an output with another rate or
// channel count); partial chunks carry over, so chunk boundaries stay
// continuous across the switch. One thread at a time.
#include "audio/AudioBackend.h"
#include "audio/AudioConverter.h"
#include "audio/Pcm.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace parlando {

class SystemAudioChunker {
public:
    static constexpr std::size_t chunkBytes = 640;
    using ChunkSink = std::function<void(const AudioChunk& chunk)>;

    explicit SystemAudioChunker(AudioConverterFactory& converters) : converters_(converters) {}

    // Converts one buffer and hands every whole chunk to sink, in order.
    // Returns a description when the buffer could not be converted (the
    // buffer is lost; the next one is tried again). Empty buffers are ignored.
    std::optional<std::string> process(const AudioBufferView& buffer, const ChunkSink& sink);

    // Forgets the converter and the partial chunk: the next run starts clean.
    void reset();

    std::size_t pendingBytes() const { return pending_.size(); }
    const AudioStreamFormat& format() const { return format_; }

private:
    void append(const std::vector<std::int16_t>& samples, const ChunkSink& sink);

    AudioConverterFactory& converters_;
    std::unique_ptr<AudioConverter> converter_;
    AudioStreamFormat format_;
    std::vector<std::int16_t> converted_;
    std::vector<std::uint8_t> pending_;
};

}  // namespace parlando
