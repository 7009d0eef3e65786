#pragma once
// Private servers for integration tests, each in its own temporary directory
// and stopped when the object goes away: an X server with a tray host, a
// PulseAudio server with virtual microphones, a D-Bus session bus with an
// unlocked keyring. Nothing here touches the user's own desktop.
#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace parlando::testenv {

// A child process, killed (TERM, then KILL) and reaped on destruction.
class Process {
public:
    Process() = default;
    // argv[0] is looked up on PATH. env entries are added to (or replace) ours.
    static Process spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                         const std::optional<std::filesystem::path>& stdoutFile = std::nullopt,
                         const std::optional<std::filesystem::path>& stderrFile = std::nullopt);
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    ~Process();

    int pid() const { return pid_; }
    bool running();
    // Sends TERM (then KILL after `grace`), reaps; returns the exit status or -1.
    int stop(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));
    // Waits for a normal exit; nullopt on time-out (the process keeps running).
    std::optional<int> wait(std::chrono::milliseconds timeout);

private:
    int pid_ = -1;
    std::optional<int> status_;
};

// Runs a command to completion; returns its exit code and what it printed.
struct RunResult {
    int exitCode = -1;
    std::string out, err;
};
RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
              std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A file's whole contents, bytes as they are; empty when it cannot be read.
std::string readFile(const std::filesystem::path& p);

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
             std::chrono::milliseconds step = std::chrono::milliseconds(10));

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "parlando-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    // Keep the folder after the test (for looking at screenshots and logs).
    void keep() { keep_ = true; }

private:
    std::filesystem::path path_;
    bool keep_ = false;
};

// Xvfb on a free display, optionally with trayer as an XEmbed tray host.
class XServer {
public:
    struct Options {
        bool trayHost = true;
        int width = 1280, height = 800;
    };
    explicit XServer(const std::filesystem::path& dir);
    XServer(const std::filesystem::path& dir, Options options);
    std::string display() const { return ":" + std::to_string(number_); }
    std::map<std::string, std::string> env() const { return {{"DISPLAY", display()}}; }
    // Saves a PNG of the whole screen; returns false if it could not.
    bool screenshot(const std::filesystem::path& png) const;

private:
    int number_ = -1;
    Process xvfb_, tray_;  // the tray host goes first
};

// A headless wlroots compositor (sway) with no X server: the native Wayland
// desktop our paste has to reach. sway will not run as root, so as root it
// runs as nobody in a runtime folder of its own, which root clients share.
class WaylandCompositor {
public:
    explicit WaylandCompositor(const std::filesystem::path& dir);
    // WAYLAND_DISPLAY, SWAYSOCK and XDG_RUNTIME_DIR for clients; DISPLAY empty.
    std::map<std::string, std::string> env() const;

private:
    std::filesystem::path runtime_;
    Process sway_;
};

// A sound server of our own: a PulseAudio daemon, or PipeWire with
// pipewire-pulse (and WirePlumber) for the server most desktops run now; both
// speak the PulseAudio protocol at the same socket. Sources: "vmic" (default;
// clocked, fed through the "micfeed" sink), "pipemic" (bit-exact, fed through pipe()), sinks
// "speakers" (default output) and "micfeed". extraConfig holds PulseAudio
// script lines (load-module ...), run through pactl on PipeWire.
class SoundServer {
public:
    enum class Kind { pulseaudio, pipewire };
    explicit SoundServer(const std::filesystem::path& dir, const std::string& extraConfig = "",
                         Kind kind = Kind::pulseaudio);
    // Whether this machine has the programs a server of that kind needs.
    static bool available(Kind kind);
    static const char* name(Kind kind) { return kind == Kind::pipewire ? "PipeWire" : "PulseAudio"; }
    std::map<std::string, std::string> env() const;
    std::filesystem::path pipePath() const { return dir_ / "mic.fifo"; }
    // pactl with our server; returns its output.
    RunResult pactl(const std::vector<std::string>& args) const;
    void stop();
    bool restart();
    // The process that serves the protocol (pulseaudio, or pipewire-pulse), for
    // signalling it (SIGSTOP to wedge it); -1 when stopped.
    int pid() const { return protocolServer().pid(); }

private:
    bool start();
    Process& protocolServer() const { return kind_ == Kind::pipewire ? pipewirePulse_ : daemon_; }
    std::filesystem::path dir_;
    std::string extraConfig_;
    Kind kind_;
    // running() reaps them, even from a const query. PipeWire: the session bus it
    // wants, the graph, its session manager and the protocol server, ended in reverse.
    mutable Process daemon_, bus_, pipewire_, wireplumber_, pipewirePulse_;
};

// A private session bus; optionally an unlocked gnome-keyring on it.
class SessionBus {
public:
    explicit SessionBus(const std::filesystem::path& dir, bool withKeyring = false);
    const std::string& address() const { return address_; }
    std::map<std::string, std::string> env() const;

private:
    std::filesystem::path dir_;
    std::string address_;
    Process bus_, keyring_;  // the keyring goes first
};

// Merges several env maps (later ones win) and adds HOME, XDG_* under dir.
std::map<std::string, std::string> isolatedEnv(const std::filesystem::path& dir,
                                               std::initializer_list<std::map<std::string, std::string>> parts);

// Sets these variables in the test process itself (for in-process adapters).
void applyToProcess(const std::map<std::string, std::string>& env);

// Whether a program is on PATH (tests skip cleanly when a tool is missing).
bool haveProgram(const std::string& name);

// openbox on the X server of `env`, once it manages windows. Now and then it
// ends at once without a word, so it gets three tries. Not running on failure.
Process startWindowManager(const std::map<std::string, std::string>& env, const std::filesystem::path& dir);

// One of the project's local test services (tools/<name>) as a child process
// on a free loopback port, logging its requests, stopped with the object.
class LocalService {
public:
    LocalService(const std::string& binary, const std::filesystem::path& dir, std::vector<std::string> options);
    int port() const { return port_; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::vector<std::string> requests() const;
    bool logged(const std::string& line) const;

protected:
    std::filesystem::path dir_;
    Process process_;
    int port_ = 0;
};

// tools/fake-deepgram, the local recognition service, recording the audio it receives.
struct RecognitionService : LocalService {
    RecognitionService(const std::filesystem::path& dir, std::vector<std::string> options);
    std::string base() const { return "ws://127.0.0.1:" + std::to_string(port_); }
    std::string recorded() const { return readFile(dir_ / "audio.raw"); }
    std::vector<std::string> log() const { return requests(); }
};

// Stores `key` as the app's recognition key in the keyring of env's session bus.
bool storeApiKey(const std::map<std::string, std::string>& env, const std::string& key);

}  // namespace parlando::testenv
