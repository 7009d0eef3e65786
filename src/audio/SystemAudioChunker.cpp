#include "audio/SystemAudioChunker.h"

#include <bit>
#include <cstring>

namespace parlando {

static_assert(std::endian::native == std::endian::little, "chunks are little-endian PCM copied as is");

std::optional<std::string> SystemAudioChunker::process(const AudioBufferView& buffer, const ChunkSink& sink) {
    if (buffer.frames == 0 || buffer.channels == 0 || !(buffer.sampleRate > 0) || buffer.samples == nullptr) {
        return std::nullopt;
    }
    if (!converter_ || format_.sampleRate != buffer.sampleRate || format_.channels != buffer.channels) {
        // What the old converter still holds belongs before the new format's
        // first samples; without the flush the switch would drop ~40 ms.
        if (converter_) {
            converted_.clear();
            converter_->flush(converted_);
            append(converted_, sink);
        }
        format_ = {buffer.sampleRate, buffer.channels};
        converter_ = converters_.make(format_);
        if (!converter_) return "no converter from " + format_.description();
    }
    converted_.clear();
    const ConversionResult result = converter_->convert(buffer, converted_);
    if (result.error) return result.error;
    if (result.status == ConversionResult::Status::error) return std::nullopt;
    append(converted_, sink);
    return std::nullopt;
}

void SystemAudioChunker::append(const std::vector<std::int16_t>& samples, const ChunkSink& sink) {
    if (samples.empty()) return;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples.data());
    pending_.insert(pending_.end(), bytes, bytes + samples.size() * sizeof(std::int16_t));
    std::size_t offset = 0;
    while (pending_.size() - offset >= chunkBytes) {
        const AudioChunk chunk(pending_.begin() + static_cast<long>(offset),
                               pending_.begin() + static_cast<long>(offset + chunkBytes));
        offset += chunkBytes;
        if (sink) sink(chunk);
    }
    if (offset > 0) pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(offset));
}

void SystemAudioChunker::reset() {
    converter_.reset();
    format_ = {};
    converted_.clear();
    pending_.clear();
}

}  // namespace parlando
