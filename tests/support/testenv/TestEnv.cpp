#include "testenv/TestEnv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

extern char** environ;

namespace parlando::testenv {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Starts a server into `p` and waits until ready() holds; false if it ended or did not get ready in time.
bool startServer(Process& p, const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 const fs::path& log, const std::function<bool()>& ready, std::chrono::milliseconds timeout = 10s,
                 const std::optional<fs::path>& out = std::nullopt) {
    p = Process::spawn(argv, env, out, log);
    return waitFor([&] { return !p.running() || ready(); }, timeout, 10ms) && p.running();
}

}  // namespace

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Process Process::spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                       const std::optional<fs::path>& stdoutFile, const std::optional<fs::path>& stderrFile) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e)
        if (env.count(std::string(*e).substr(0, std::string(*e).find('='))) == 0) envStrings.emplace_back(*e);
    for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
    std::vector<std::string> args = argv;
    std::vector<char*> envp, argp;
    for (auto& s : envStrings) envp.push_back(s.data());
    for (auto& a : args) argp.push_back(a.data());
    envp.push_back(nullptr);
    argp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();  // its own group, so stop() reaches anything it starts
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        // No allocation between fork and exec: another thread may hold the heap's lock.
        ::dup2(stdoutFile ? ::open(stdoutFile->c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644) : devnull, 1);
        ::dup2(stderrFile ? ::open(stderrFile->c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644) : devnull, 2);
        ::execvpe(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    Process p;
    p.pid_ = pid;
    return p;
}

Process::Process(Process&& other) noexcept { *this = std::move(other); }

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = std::exchange(other.pid_, -1);
        status_ = other.status_;
    }
    return *this;
}

Process::~Process() { stop(); }

bool Process::running() {
    if (pid_ <= 0 || status_) return false;
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return status_;
    if (waitFor([&] { return !running(); }, timeout, 5ms)) return status_;
    return std::nullopt;
}

int Process::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) return -1;
    for (const int signal : {SIGTERM, SIGKILL}) {
        if (!running()) break;
        ::kill(-pid_, signal);
        ::kill(pid_, signal);
        waitFor([&] { return !running(); }, signal == SIGTERM ? grace : 5000ms, 5ms);
    }
    pid_ = -1;
    return status_.value_or(-1);
}

RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
              std::chrono::milliseconds timeout) {
    const TempDir tmp("parlando-run");
    Process p = Process::spawn(argv, env, tmp.path() / "out", tmp.path() / "err");
    const auto status = p.wait(timeout);
    p.stop();
    RunResult result{status.value_or(-1), readFile(tmp.path() / "out"), readFile(tmp.path() / "err")};
    fs::remove_all(tmp.path());  // even when test folders are kept: nothing to look at here
    return result;
}

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout, std::chrono::milliseconds step) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(step);
    }
}

TempDir::TempDir(const std::string& prefix) {
    std::string tmpl = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    ::chmod(path_.c_str(), 0700);
}

TempDir::~TempDir() {
    if (keep_ || std::getenv("PARLANDO_KEEP_TEST_DIRS") != nullptr) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
}

Process startWindowManager(const std::map<std::string, std::string>& env, const fs::path& dir) {
    const auto managing = [&] {
        return run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, env).out.find("window id") != std::string::npos;
    };
    Process wm;
    for (int attempt = 0; attempt < 3; ++attempt)
        if (startServer(wm, {"openbox", "--sm-disable"}, env, dir / "wm.err", managing, 5s, dir / "wm.out")) return wm;
    return {};
}

bool haveProgram(const std::string& name) { return run({"sh", "-c", "command -v \"$0\"", name}).exitCode == 0; }

void applyToProcess(const std::map<std::string, std::string>& env) {
    for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
}

std::map<std::string, std::string> isolatedEnv(const fs::path& dir,
                                               std::initializer_list<std::map<std::string, std::string>> parts) {
    std::map<std::string, std::string> env{
        {"HOME", (dir / "home").string()},
        {"XDG_DATA_HOME", (dir / "home/.local/share").string()},
        {"XDG_CONFIG_HOME", (dir / "home/.config").string()},
        {"XDG_CACHE_HOME", (dir / "home/.cache").string()},
        {"XDG_DOCUMENTS_DIR", (dir / "home/Documents").string()},
    };
    fs::create_directories(dir / "home");
    for (const auto& part : parts)
        for (const auto& [k, v] : part) env[k] = v;
    return env;
}

// ---------------------------------------------------------------- X server

XServer::XServer(const fs::path& dir) : XServer(dir, Options{}) {}

XServer::XServer(const fs::path& dir, Options options) {
    // Xvfb picks a free display itself and prints its number: guessing
    // numbers races with other tests starting their own servers.
    const fs::path number = dir / "xvfb.display";
    fs::remove(number);
    if (!startServer(
            xvfb_,
            {"Xvfb", "-displayfd", "1", "-screen", "0",
             std::to_string(options.width) + "x" + std::to_string(options.height) + "x24", "-nolisten", "tcp"},
            {}, dir / "xvfb.log", [&] { return readFile(number).find('\n') != std::string::npos; }, 20s, number))
        throw std::runtime_error("could not start Xvfb; see " + (dir / "xvfb.log").string());
    number_ = std::stoi(readFile(number));
    // trayer owns the tray selection once its window is mapped.
    if (options.trayHost)
        startServer(
            tray_,
            {"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "200", "--height", "24",
             "--SetDockType", "true"},
            env(), dir / "trayer.log",
            [&] {
                return run({"xdotool", "search", "--class", "trayer"}, env(), 5s).exitCode == 0;
            },
            5s);
}

bool XServer::screenshot(const fs::path& png) const {
    return run({"import", "-window", "root", png.string()}, env(), 20s).exitCode == 0 && fs::exists(png);
}

WaylandCompositor::WaylandCompositor(const fs::path& dir) : runtime_(dir / "wayland-runtime") {
    fs::create_directories(runtime_);
    ::chmod(runtime_.c_str(), 0700);
    ::chmod(dir.c_str(), 0711);
    std::ofstream(runtime_ / "config") << "output HEADLESS-1 resolution 1280x800\n";
    std::vector<std::string> argv{"sway", "-c", (runtime_ / "config").string()};
    if (::geteuid() == 0) {
        if (::chown(runtime_.c_str(), 65534, 65534) != 0) throw std::runtime_error("cannot chown " + runtime_.string());
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    if (!startServer(
            sway_, argv,
            {{"XDG_RUNTIME_DIR", runtime_.string()},
             {"WLR_BACKENDS", "headless"},
             {"WLR_LIBINPUT_NO_DEVICES", "1"},
             {"WLR_RENDERER", "pixman"},
             {"DISPLAY", ""},
             {"WAYLAND_DISPLAY", ""}},
            dir / "sway.log", [&] { return env().count("SWAYSOCK") == 1; }, 20s))
        throw std::runtime_error("could not start sway; see " + (dir / "sway.log").string());
}

std::map<std::string, std::string> WaylandCompositor::env() const {
    std::map<std::string, std::string> env{{"XDG_RUNTIME_DIR", runtime_.string()}, {"DISPLAY", ""}};
    // sway tells its own children where its sockets are; we are not one.
    for (const auto& entry : fs::directory_iterator(runtime_)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("wayland-", 0) == 0 && name.find(".lock") == std::string::npos) env["WAYLAND_DISPLAY"] = name;
        if (name.rfind("sway-ipc.", 0) == 0) env["SWAYSOCK"] = entry.path().string();
    }
    return env;
}

// ------------------------------------------------------------ sound server

SoundServer::SoundServer(const fs::path& dir, const std::string& extraConfig, Kind kind)
    : dir_(dir / (kind == Kind::pipewire ? "pw" : "pa")), extraConfig_(extraConfig), kind_(kind) {
    fs::create_directories(dir_ / "pulse");
    ::chmod(dir_.c_str(), 0700);  // PipeWire refuses a runtime folder others can read
    if (!start())
        throw std::runtime_error(std::string("could not start ") + name(kind) + "; see the logs in " + dir_.string());
}

bool SoundServer::available(Kind kind) {
    if (kind == Kind::pipewire)
        return haveProgram("pipewire") && haveProgram("pipewire-pulse") && haveProgram("wireplumber") &&
               haveProgram("dbus-daemon") && haveProgram("pactl");
    return haveProgram("pulseaudio") && haveProgram("pactl");
}

std::map<std::string, std::string> SoundServer::env() const {
    return {{"PULSE_SERVER", "unix:" + (dir_ / "pulse/native").string()},
            {"PULSE_RUNTIME_PATH", (dir_ / "pulse").string()},
            {"PULSE_STATE_PATH", (dir_ / "state").string()},
            {"PULSE_COOKIE", (dir_ / "cookie").string()}};
}

bool SoundServer::start() {
    // module-pipe-source makes the FIFO itself and refuses to load over an
    // existing one (a daemon that was killed leaves its FIFO behind).
    std::error_code ignored;
    fs::remove(pipePath(), ignored);
    fs::remove(dir_ / "bus", ignored);
    auto e = env();
    e["HOME"] = e["XDG_RUNTIME_DIR"] = e["PIPEWIRE_RUNTIME_DIR"] = dir_.string();
    e["XDG_CONFIG_HOME"] = (dir_ / "config").string();
    e["XDG_STATE_HOME"] = (dir_ / "state").string();
    e["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (dir_ / "bus").string();
    // The devices every test finds; WirePlumber starts with a dummy output, ours become the defaults.
    std::ostringstream devices;
    devices << "load-module module-null-sink sink_name=speakers sink_properties=device.description=Speakers "
               "rate=48000 channels=2\n"
            << "load-module module-pipe-source source_name=pipemic file=" << pipePath().string()
            << " format=s16le rate=16000 channels=1 source_properties=\"device.description='Pipe Mic' "
               "device.form_factor=microphone device.bus=usb\"\n"
            << "load-module module-null-sink sink_name=micfeed rate=48000 channels=1\n"
            << "load-module module-remap-source source_name=vmic master=micfeed.monitor "
               "source_properties=\"device.description='Virtual Mic' device.form_factor=microphone device.bus=usb\"\n"
            << extraConfig_ << "\nset-default-sink speakers\nset-default-source vmic\n";
    const auto answers = [&] { return pactl({"info"}).exitCode == 0; };
    if (kind_ == Kind::pulseaudio) {
        std::ofstream(dir_ / "test.pa") << ".fail\nload-module module-native-protocol-unix auth-anonymous=1 socket="
                                        << (dir_ / "pulse/native").string() << "\n"
                                        << devices.str();
        return startServer(daemon_,
                           {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "-F",
                            (dir_ / "test.pa").string(), "--log-target=file:" + (dir_ / "pa.log").string()},
                           e, dir_ / "pa.err", answers);
    }
    // PipeWire: the session bus it wants, the graph, its session manager and the protocol server.
    bool up =
        startServer(
            bus_, {"dbus-daemon", "--session", "--nofork", "--address=" + e["DBUS_SESSION_BUS_ADDRESS"]}, e,
            dir_ / "bus.log", [&] { return fs::exists(dir_ / "bus"); }, 5s) &&
        startServer(
            pipewire_, {"pipewire"}, e, dir_ / "pipewire.log", [&] { return fs::exists(dir_ / "pipewire-0"); }, 5s);
    if (up) wireplumber_ = Process::spawn({"wireplumber"}, e, std::nullopt, dir_ / "wireplumber.log");
    up = up && startServer(pipewirePulse_, {"pipewire-pulse"}, e, dir_ / "pipewire-pulse.log", answers);
    std::istringstream lines(devices.str());
    for (std::string line; up && std::getline(lines, line);)
        // The shell splits the line the way the daemon's script parser does (quotes included).
        if (line.find_first_not_of(" \t") != std::string::npos && line[0] != '#')
            up = run({"sh", "-c", "exec pactl " + line}, env(), 10s).exitCode == 0;
    return up;
}

RunResult SoundServer::pactl(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, env(), 10s);
}

void SoundServer::stop() {
    // The protocol server first, so clients see the same end as a daemon's exit.
    for (Process* p : {&daemon_, &pipewirePulse_, &wireplumber_, &pipewire_, &bus_}) p->stop();
}

bool SoundServer::restart() {
    stop();
    return start();
}

// ------------------------------------------------------------ session bus

SessionBus::SessionBus(const fs::path& dir, bool withKeyring) : dir_(dir / "bus") {
    fs::create_directories(dir_);
    std::ofstream(dir_ / "bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        << "<busconfig><type>session</type><listen>unix:tmpdir=" << dir_.string() << "</listen>"
        << "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
        << "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    const fs::path address = dir_ / "address";
    fs::remove(address);
    if (!startServer(
            bus_, {"dbus-daemon", "--config-file=" + (dir_ / "bus.conf").string(), "--nofork", "--print-address=1"}, {},
            dir_ / "bus.log", [&] { return readFile(address).find('\n') != std::string::npos; }, 10s, address))
        throw std::runtime_error("could not start dbus-daemon");
    address_ = readFile(address).substr(0, readFile(address).find('\n'));
    if (!withKeyring) return;
    auto e = env();
    e["HOME"] = e["XDG_RUNTIME_DIR"] = dir_.string();
    e["XDG_DATA_HOME"] = (dir_ / "data").string();
    fs::create_directories(dir_ / "data");
    const auto owned = [&] {
        return run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.secrets"},
                   env(), 5s)
                   .out.find("boolean true") != std::string::npos;
    };
    // The password comes on standard input; a shell pipes it in.
    if (!startServer(keyring_,
                     {"sh", "-c", "printf pw | exec gnome-keyring-daemon --foreground --unlock --components=secrets"},
                     e, dir_ / "keyring.err", owned, 10s, dir_ / "keyring.out"))
        throw std::runtime_error("could not start gnome-keyring-daemon");
}

std::map<std::string, std::string> SessionBus::env() const { return {{"DBUS_SESSION_BUS_ADDRESS", address_}}; }

LocalService::LocalService(const std::string& binary, const fs::path& dir, std::vector<std::string> options)
    : dir_(dir) {
    std::vector<std::string> argv{
        binary, "--port", "0", "--port-file", (dir / "port").string(), "--log", (dir / "requests.log").string()};
    argv.insert(argv.end(), options.begin(), options.end());
    for (const char* stale : {"port", "requests.log", "audio.raw"}) fs::remove(dir / stale);
    if (startServer(
            process_, argv, {}, dir / "service.err", [&] { return !readFile(dir / "port").empty(); }, 20s,
            dir / "service.out"))
        port_ = std::stoi(readFile(dir / "port"));
}

std::vector<std::string> LocalService::requests() const {
    std::vector<std::string> lines;
    std::istringstream in(readFile(dir_ / "requests.log"));
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

bool LocalService::logged(const std::string& line) const {
    const auto lines = requests();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

static std::vector<std::string> withRecording(const fs::path& dir, std::vector<std::string> options) {
    options.insert(options.end(), {"--record", (dir / "audio.raw").string()});
    return options;
}

RecognitionService::RecognitionService(const fs::path& dir, std::vector<std::string> options)
    : LocalService(PARLANDO_TESTENV_BINARY_DIR "/tools/fake-deepgram/fake-deepgram", dir,
                   withRecording(dir, std::move(options))) {}

bool storeApiKey(const std::map<std::string, std::string>& env, const std::string& key) {
    return run({"sh", "-c",
                "printf %s '" + key +
                    "' | secret-tool store --label=k service parlando.deepgram.api_key account deepgram"},
               env)
               .exitCode == 0;
}

}  // namespace parlando::testenv
