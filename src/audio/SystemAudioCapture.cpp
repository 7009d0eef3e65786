#include "audio/SystemAudioCapture.h"

namespace parlando {

std::string SystemAudioError::description() const {
    switch (kind) {
        case Kind::permissionDenied:
            return "System audio not reachable: " + payload;
        case Kind::streamStart:
            return "Failed to start system-audio stream: " + payload;
        case Kind::noContent:
            return "No output device available for system-audio capture";
    }
    return payload;
}

}  // namespace parlando
