#pragma once
// How both capture paths connect a recording stream: 20 ms fragments so the
// read callback delivers audio at the pace the chunkers cut it, and pinned to
// the one source asked for, never moved by the server behind our back (the
// microphone engine rebinds itself, system audio follows the default output
// itself). Call with the threaded mainloop locked.
#include <pulse/pulseaudio.h>

#include <cstdint>

namespace parlando {

inline int connectRecordStream(pa_stream* stream, const char* source, const pa_sample_spec& spec) {
    constexpr auto serverChooses = static_cast<std::uint32_t>(-1);
    pa_buffer_attr attr;
    attr.maxlength = serverChooses;
    attr.tlength = serverChooses;
    attr.prebuf = serverChooses;
    attr.minreq = serverChooses;
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(20000, &spec));
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    return pa_stream_connect_record(stream, source, &attr, flags);
}

}  // namespace parlando
