#pragma once
// libtdjson, loaded with dlopen the first time it is needed, and its receive
// loop on the thread "Parlando.TDLib.Receive" (the kernel keeps 15 bytes of a
// thread name: it shows as "TDLib.Receive"). That thread only calls
// td_receive and hands each event to the function it was given.
//
// Where the library is looked for, in order: $PARLANDO_TDJSON (a file), the
// folder installed beside the app (<bin>/../lib/parlando), the build tree, and
// the system's library path. A loaded library is never unloaded: TDLib's own
// threads run for the rest of the process.
#include "core/XdgPaths.h"
#include "telegram/TdJson.h"

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace parlando {

class TdJsonLibrary final : public TdJson {
public:
    static constexpr const char* envVariable = "PARLANDO_TDJSON";
    static constexpr const char* threadName = "TDLib.Receive";

    // The places to try, in order; the last is a bare name for the system's search.
    static std::vector<std::string> defaultCandidates(const EnvLookup& env = processEnv);
    // The build tree's copy, where tests find it.
    static std::string buildTreePath();

    explicit TdJsonLibrary(std::vector<std::string> candidates = defaultCandidates());
    // Ends the receive loop, waiting at most ~1.5 s (one receive wait).
    ~TdJsonLibrary() override;
    TdJsonLibrary(const TdJsonLibrary&) = delete;
    TdJsonLibrary& operator=(const TdJsonLibrary&) = delete;

    std::optional<LoadFailure> load() override;
    int createClientId() override;
    void send(int clientId, const std::string& request) override;
    std::string execute(const std::string& request) override;
    void startReceiving(ReceiveFn onReceive) override;

    // The file that was loaded; empty before.
    const std::string& loadedPath() const { return loadedPath_; }

private:
    struct Api {
        int (*createClientId)() = nullptr;
        void (*send)(int, const char*) = nullptr;
        const char* (*receive)(double) = nullptr;
        const char* (*execute)(const char*) = nullptr;
    };
    struct Receiver;

    std::vector<std::string> candidates_;
    std::string loadedPath_;
    Api api_;
    std::shared_ptr<Receiver> receiver_;
    std::thread thread_;
};

}  // namespace parlando
