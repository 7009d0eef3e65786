// parlando-transcribe FILE: streams an audio file to the recognition service
// through the same client the app uses and prints each final result on its
// own line. Exit status 0 when the service closed the stream normally.
#include "AudioFile.h"
#include "MeetingRetranscribe.h"

#include "core/Log.h"
#include "credentials/KeychainHelper.h"
#include "credentials/adapters/LibsecretStore.h"
#include "credentials/adapters/SystemSecureRandom.h"
#include "speech/DeepgramClient.h"
#include "speech/Endpoint.h"
#include "speech/adapters/QtWebSocket.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace {

using namespace parlando;
using namespace std::chrono_literals;

constexpr const char* kName = "parlando-transcribe";
constexpr std::size_t kChunkBytes = 640;  // 20 ms of 16 kHz mono 16-bit
constexpr auto kChunkDuration = 20ms;

const char* kUsage = R"(Usage: parlando-transcribe [options] FILE
       parlando-transcribe [options] --meeting FOLDER

Streams FILE (any format libsndfile reads, any rate and channel count;
converted to 16 kHz mono 16-bit) to the Deepgram streaming API in 20 ms
chunks at real-time pace, prints each final result on its own line, and
exits 0 once the service has closed the stream.

With --meeting, FOLDER is a recorded meeting (Documents/Parlando-Recordings/
...): its self.wav and others.wav go to the service as one two-channel
stream, and the results are written, in the live transcript's format, to
FOLDER/transcript-full.md (replacing an earlier one). The recordings and
transcript.md are only read.

Options:
  --meeting             FOLDER is a meeting folder (see above)
  --fast                send as fast as the service accepts, not in real time
  --close-timeout SEC   how long to wait for the service to close after the
                        end of the file (default 10)
  --verbose             write the client's diagnostic lines to standard error
  -h, --help            show this text

Environment:
  DEEPGRAM_API_KEY       the API key (overrides the app's stored key)
  PARLANDO_DEEPGRAM_URL  scheme, host and port of the service, for example
                         ws://127.0.0.1:8765 (default wss://api.deepgram.com)
)";

// ---------------------------------------------------------------------------
// API key lookup. DEEPGRAM_API_KEY always wins; otherwise the app's own
// secret-store item. On failure, `why` says what went wrong.
// ---------------------------------------------------------------------------
std::optional<std::string> lookupApiKey(std::string& why) {
    const char* fromEnvironment = std::getenv("DEEPGRAM_API_KEY");
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') return std::string(fromEnvironment);
    LibsecretStore store;
    SystemSecureRandom random;
    try {
        std::string key = KeychainHelper(store, random).deepgramAPIKey();
        if (!key.empty()) return key;
        why = "the stored API key is empty";
    } catch (const KeychainHelper::Error& e) {
        why = e.description();
    }
    return std::nullopt;
}

class StderrLog final : public Log {
public:
    explicit StderrLog(bool enabled) : enabled_(enabled) {}
    void append(std::string_view message) override {
        if (!enabled_) return;
        std::lock_guard guard(mutex_);
        std::cerr << message << '\n';
    }

private:
    bool enabled_;
    std::mutex mutex_;
};

int fail(const std::string& message, int status = 1) {
    std::cerr << kName << ": " << message << std::endl;
    return status;
}

// What the client reported, shared between the network thread, the sender
// and main.
struct Outcome {
    std::mutex mutex;
    std::condition_variable changed;
    bool opened = false;
    bool closed = false;
    int closeCode = 0;
    std::string closeReason;
    std::optional<std::string> error;
};

std::string explain(const std::string& description) {
    if (description.find("HTTP status 401") != std::string::npos ||
        description.find("HTTP status 403") != std::string::npos) {
        return "the service refused the API key: " + description;
    }
    if (description.rfind("WebSocket connection failed", 0) == 0) {
        return "cannot reach " + deepgramBaseFromEnvironment() + ": " + description;
    }
    return description;
}

// Streams 16 kHz 16-bit audio (channels interleaved) through one client at
// real-time pace (or as fast as it goes), hands each non-empty final result
// to onFinal and returns the exit status.
int streamAudio(QCoreApplication& app, const std::string& key, const std::vector<std::uint8_t>& audio, int channels,
                bool fast, double closeTimeout, Log& log, const std::function<void(const Transcript&)>& onFinal) {
    Outcome outcome;
    int status = 0;
    {
        QtWebSocketFactory sockets;
        auto client = DeepgramClient::create(sockets, log, key, "multi", "nova-3", channels, channels > 1);
        std::mutex printMutex;
        client->onTranscript = [&](const Transcript& t) {
            if (!t.isFinal || t.text.empty()) return;
            std::lock_guard guard(printMutex);
            onFinal(t);
        };
        client->onOpen = [&] {
            std::lock_guard guard(outcome.mutex);
            outcome.opened = true;
            outcome.changed.notify_all();
        };
        client->onError = [&](const std::string& description) {
            std::lock_guard guard(outcome.mutex);
            if (!outcome.error) outcome.error = description;
            outcome.changed.notify_all();
        };
        client->onClose = [&](int code, const std::string& reason) {
            std::lock_guard guard(outcome.mutex);
            outcome.closed = true;
            outcome.closeCode = code;
            outcome.closeReason = reason;
            outcome.changed.notify_all();
        };

        // Streams once the socket is open (so that a long file never meets the
        // cap on audio held while connecting), then waits for the close.
        std::thread sender([&] {
            std::unique_lock lock(outcome.mutex);
            outcome.changed.wait(lock, [&] { return outcome.opened || outcome.closed || outcome.error; });
            const bool go = outcome.opened && !outcome.closed && !outcome.error;
            lock.unlock();
            if (go) {
                const auto start = std::chrono::steady_clock::now();
                const std::size_t chunkBytes = kChunkBytes * static_cast<std::size_t>(channels);
                for (std::size_t offset = 0, n = 0; offset < audio.size(); offset += chunkBytes, ++n) {
                    if (!fast) std::this_thread::sleep_until(start + n * kChunkDuration);
                    const auto state = client->state();
                    if (state != DeepgramClient::State::open) break;
                    const std::size_t size = std::min(chunkBytes, audio.size() - offset);
                    client->sendAudio(audio.data() + offset, size);
                }
                client->finish();
                lock.lock();
                const bool closed = outcome.changed.wait_for(
                    lock, std::chrono::duration<double>(closeTimeout), [&] { return outcome.closed; });
                if (!closed && !outcome.error) {
                    outcome.error = "the service did not close the stream within " +
                                    std::to_string(static_cast<int>(closeTimeout)) + " s";
                }
                lock.unlock();
            } else {
                // After a failure the close follows at once; an unusable URL never opened anything.
                if (client->state() != DeepgramClient::State::closed) {
                    lock.lock();
                    outcome.changed.wait_for(lock, 2s, [&] { return outcome.closed; });
                    lock.unlock();
                }
            }
            QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
        });

        client->connect();
        app.exec();
        sender.join();
        client->disconnect();

        std::lock_guard guard(outcome.mutex);
        if (outcome.error) {
            status = fail(explain(*outcome.error));
        } else if (outcome.closeCode != 1000) {
            status = fail("the service closed the stream with code " + std::to_string(outcome.closeCode) +
                          (outcome.closeReason.empty() ? "" : ": " + outcome.closeReason));
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    bool fast = false, verbose = false;
    double closeTimeout = 10.0;
    std::optional<std::string> path;
    bool meeting = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (a == "--fast") {
            fast = true;
        } else if (a == "--verbose") {
            verbose = true;
        } else if (a == "--meeting") {
            meeting = true;
        } else if (a == "--close-timeout" && i + 1 < argc) {
            char* end = nullptr;
            closeTimeout = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || closeTimeout <= 0) return fail("--close-timeout needs seconds", 2);
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            return fail("unknown option " + a + " (see --help)", 2);
        } else if (!path) {
            path = a;
        } else {
            return fail("only one FILE, please (see --help)", 2);
        }
    }
    if (!path) return fail(meeting ? "no FOLDER given (see --help)" : "no FILE given (see --help)", 2);

    std::string keyProblem;
    const auto key = lookupApiKey(keyProblem);
    if (!key) {
        return fail("no API key (" + keyProblem + "): set DEEPGRAM_API_KEY or store it with parlando --set-api-key", 2);
    }

    if (meeting) {
        auto loadedMeeting = transcribe::loadMeeting(*path);
        if (auto* e = std::get_if<std::string>(&loadedMeeting)) return fail(*e, 2);
        const auto& m = std::get<transcribe::MeetingAudio>(loadedMeeting);
        QCoreApplication app(argc, argv);
        StderrLog log(verbose);
        std::vector<Transcript> finals;
        const int status = streamAudio(app, *key, m.stereo, 2, fast, closeTimeout, log, [&](const Transcript& t) {
            finals.push_back(t);
        });
        if (status != 0) return status;  // an earlier transcript-full.md stays as it was
        const std::string text = transcribe::meetingTranscript(m, std::move(finals));
        std::cout << text;
        const auto target = std::filesystem::path(*path) / "transcript-full.md";
        if (auto e = transcribe::writeReplacing(target, text)) return fail(*e);
        return 0;
    }

    auto loaded = transcribe::loadAsSpeechPcm(*path);
    if (auto* e = std::get_if<transcribe::AudioLoadError>(&loaded)) {
        return fail("cannot read " + *path + ": " + e->message, 2);
    }
    const std::vector<std::uint8_t> audio = std::move(std::get<std::vector<std::uint8_t>>(loaded));

    QCoreApplication app(argc, argv);
    StderrLog log(verbose);
    return streamAudio(app, *key, audio, 1, fast, closeTimeout, log, [](const Transcript& t) {
        std::cout << t.text << std::endl;
    });
}
