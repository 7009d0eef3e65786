#include "telegram/adapters/TdJsonLibrary.h"

#include <dlfcn.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

namespace parlando {

namespace fs = std::filesystem;

// Shared with the thread, which keeps it alive past a detach.
struct TdJsonLibrary::Receiver {
    std::mutex mutex;
    std::condition_variable endedSignal;
    ReceiveFn fn;
    std::uint64_t generation = 0;  // bumped by every startReceiving
    bool active = false;           // a thread is in the loop
    bool stop = false;
    bool ended = true;
};

std::vector<std::string> TdJsonLibrary::defaultCandidates(const EnvLookup& env) {
    std::vector<std::string> out;
    if (auto named = env(envVariable); named && !named->empty()) out.push_back(*named);
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) out.push_back((exe.parent_path() / PARLANDO_TDJSON_BESIDE_APP / "libtdjson.so").lexically_normal().string());
    out.push_back(buildTreePath());
    out.push_back("libtdjson.so");
    return out;
}

std::string TdJsonLibrary::buildTreePath() { return PARLANDO_TDJSON_BUILD_PATH; }

TdJsonLibrary::TdJsonLibrary(std::vector<std::string> candidates)
    : candidates_(std::move(candidates)), receiver_(std::make_shared<Receiver>()) {}

TdJsonLibrary::~TdJsonLibrary() {
    std::unique_lock lock(receiver_->mutex);
    receiver_->stop = true;
    const bool ended = receiver_->endedSignal.wait_for(lock, std::chrono::milliseconds(1500),
                                                      [this] { return receiver_->ended; });
    lock.unlock();
    if (!thread_.joinable()) return;
    // A wedged td_receive must not hold up quitting; the thread keeps only
    // what it shares with us and the library, which stays loaded.
    if (ended) {
        thread_.join();
    } else {
        thread_.detach();
    }
}

std::optional<TdJson::LoadFailure> TdJsonLibrary::load() {
    if (!loadedPath_.empty()) return std::nullopt;
    std::string tried;
    bool someExisted = false;
    for (const std::string& path : candidates_) {
        const bool bare = path.find('/') == std::string::npos;
        std::error_code ec;
        if (!bare && !fs::exists(path, ec)) {
            tried += (tried.empty() ? "" : "; ") + path + ": no such file";
            continue;
        }
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = ::dlerror();
            if (!bare) someExisted = true;
            tried += (tried.empty() ? "" : "; ") + std::string(why ? why : path);
            continue;
        }
        Api api;
        api.createClientId = reinterpret_cast<int (*)()>(::dlsym(handle, "td_create_client_id"));
        api.send = reinterpret_cast<void (*)(int, const char*)>(::dlsym(handle, "td_send"));
        api.receive = reinterpret_cast<const char* (*)(double)>(::dlsym(handle, "td_receive"));
        api.execute = reinterpret_cast<const char* (*)(const char*)>(::dlsym(handle, "td_execute"));
        if (!api.createClientId || !api.send || !api.receive || !api.execute) {
            someExisted = true;
            tried += (tried.empty() ? "" : "; ") + path + ": not TDLib's JSON interface";
            ::dlclose(handle);
            continue;
        }
        api_ = api;
        loadedPath_ = path;
        return std::nullopt;
    }
    LoadFailure failure;
    failure.userText = std::string(someExisted ? "libtdjson failed to load" : "libtdjson not found") +
                       ": run scripts/install-deps.sh or set " + envVariable;
    failure.detail = tried;
    return failure;
}

int TdJsonLibrary::createClientId() { return api_.createClientId(); }

void TdJsonLibrary::send(int clientId, const std::string& request) { api_.send(clientId, request.c_str()); }

std::string TdJsonLibrary::execute(const std::string& request) {
    const char* answer = api_.execute(request.c_str());
    return answer ? answer : "";
}

void TdJsonLibrary::startReceiving(ReceiveFn onReceive) {
    {
        std::lock_guard lock(receiver_->mutex);
        receiver_->fn = std::move(onReceive);
        ++receiver_->generation;
        if (receiver_->active) return;
        receiver_->active = true;
        receiver_->ended = false;
        receiver_->stop = false;
    }
    // A previous loop has left (it cleared `active` on its way out).
    if (thread_.joinable()) thread_.join();
    thread_ = std::thread([rx = receiver_, receive = api_.receive] {
        ::pthread_setname_np(::pthread_self(), threadName);
        for (;;) {
            const char* text = receive(1.0);
            ReceiveFn fn;
            std::uint64_t generation = 0;
            {
                std::lock_guard lock(rx->mutex);
                if (rx->stop) break;
                fn = rx->fn;
                generation = rx->generation;
            }
            if (fn && fn(text)) continue;
            std::lock_guard lock(rx->mutex);
            // A new client may have taken the loop over meanwhile; leaving is
            // decided under the lock so startReceiving never counts on a
            // thread that is on its way out.
            if (rx->stop || rx->generation == generation) {
                rx->active = false;
                break;
            }
        }
        std::lock_guard lock(rx->mutex);
        rx->active = false;
        rx->ended = true;
        rx->endedSignal.notify_all();
    });
}

}  // namespace parlando
