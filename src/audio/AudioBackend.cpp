#include "audio/AudioBackend.h"

#include "audio/Pcm.h"

namespace parlando {

std::string AudioStreamFormat::description() const {
    return "<" + std::to_string(channels) + " ch, " + formatSampleRate(sampleRate) + " Hz, Float32, interleaved>";
}

}  // namespace parlando
