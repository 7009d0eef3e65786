#include "testenv/TestEnv.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace parlando::testenv {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> mergedEnviron(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> all;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string kv(*e);
        auto eq = kv.find('=');
        if (eq != std::string::npos) all[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : extra) all[k] = v;
    std::vector<std::string> out;
    for (const auto& [k, v] : all) out.push_back(k + "=" + v);
    return out;
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
    std::vector<std::string> envStrings = mergedEnviron(env);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();  // its own group, so stop() reaches anything it starts
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        auto redirect = [&](const std::optional<fs::path>& f, int fd) {
            if (f) {
                const int out = ::open(f->c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
                if (out >= 0) ::dup2(out, fd);
            } else {
                ::dup2(devnull, fd);
            }
        };
        redirect(stdoutFile, 1);
        redirect(stderrFile, 2);
        ::execvpe(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    Process p;
    p.pid_ = pid;
    return p;
}

Process::Process(Process&& other) noexcept : pid_(other.pid_), status_(other.status_) { other.pid_ = -1; }

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = other.pid_;
        status_ = other.status_;
        other.pid_ = -1;
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
    if (running()) {
        ::kill(-pid_, SIGTERM);
        ::kill(pid_, SIGTERM);
        if (!waitFor([&] { return !running(); }, grace, 5ms)) {
            ::kill(-pid_, SIGKILL);
            ::kill(pid_, SIGKILL);
            waitFor([&] { return !running(); }, 5000ms, 5ms);
        }
    }
    pid_ = -1;
    return status_.value_or(-1);
}

RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
              std::chrono::milliseconds timeout) {
    char name[] = "/tmp/parlando-run-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    RunResult result;
    {
        Process p = Process::spawn(argv, env, fs::path(name), std::nullopt);
        auto st = p.wait(timeout);
        result.exitCode = st.value_or(-1);
        if (!st) p.stop();
    }
    result.out = readFile(name);
    ::unlink(name);
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
    for (int attempt = 0; attempt < 3; ++attempt) {
        Process wm = Process::spawn({"openbox", "--sm-disable"}, env, dir / "wm.out", dir / "wm.err");
        if (waitFor([&] { return run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, env).out.find("window id") !=
                                 std::string::npos; }, 5s) && wm.running())
            return wm;
    }
    return {};
}

bool haveProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string d;
    while (std::getline(dirs, d, ':')) {
        if (::access((fs::path(d) / name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

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
    // Xvfb picks a free display itself and tells us its number through a pipe:
    // guessing numbers races with other tests starting their own servers.
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    Process x = Process::spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                std::to_string(options.width) + "x" + std::to_string(options.height) + "x24",
                                "-nolisten", "tcp"},
                               {}, std::nullopt, dir / "xvfb.log");
    ::close(fds[1]);
    std::string digits;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fds[0], POLLIN, 0};
        if (::poll(&pfd, 1, 100) <= 0) {
            if (!x.running()) break;
            continue;
        }
        char buf[16];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        digits.append(buf, static_cast<std::size_t>(n));
        if (digits.find('\n') != std::string::npos) break;
    }
    ::close(fds[0]);
    if (digits.empty() || !x.running()) throw std::runtime_error("could not start Xvfb; see " + (dir / "xvfb.log").string());
    number_ = std::atoi(digits.c_str());
    xvfb_ = std::move(x);
    if (options.trayHost) {
        tray_ = Process::spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                                "200", "--height", "24", "--SetDockType", "true"},
                               env(), std::nullopt, dir / "trayer.log");
        // trayer owns the tray selection once its window is mapped.
        waitFor([&] { return run({"xdotool", "search", "--class", "trayer"}, env(), 5s).exitCode == 0; }, 5s, 20ms);
    }
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
    sway_ = Process::spawn(argv,
                           {{"XDG_RUNTIME_DIR", runtime_.string()}, {"WLR_BACKENDS", "headless"},
                            {"WLR_LIBINPUT_NO_DEVICES", "1"}, {"WLR_RENDERER", "pixman"}, {"DISPLAY", ""},
                            {"WAYLAND_DISPLAY", ""}},
                           std::nullopt, dir / "sway.log");
    waitFor([&] { return env().count("SWAYSOCK") == 1 || !sway_.running(); }, 20s, 20ms);
    if (!sway_.running() || env().count("SWAYSOCK") == 0)
        throw std::runtime_error("could not start sway; see " + (dir / "sway.log").string());
}

WaylandCompositor::~WaylandCompositor() { sway_.stop(); }

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

XServer::~XServer() {
    tray_.stop();
    xvfb_.stop();
}

bool XServer::screenshot(const fs::path& png) const {
    return run({"import", "-window", "root", png.string()}, env(), 20s).exitCode == 0 && fs::exists(png);
}

// ------------------------------------------------------------ sound server

SoundServer::SoundServer(const fs::path& dir, const std::string& extraConfig, Kind kind)
    : dir_(dir / (kind == Kind::pipewire ? "pw" : "pa")), extraConfig_(extraConfig), kind_(kind) {
    fs::create_directories(dir_ / "pulse");
    ::chmod(dir_.c_str(), 0700);  // PipeWire refuses a runtime folder others can read
    if (!start())
        throw std::runtime_error(std::string("could not start ") + name(kind) + "; see the logs in " + dir_.string());
}

SoundServer::~SoundServer() { stop(); }

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

namespace {
// The devices every test finds, as PulseAudio script lines.
std::string standardDevices(const fs::path& fifo) {
    std::ostringstream pa;
    pa << "load-module module-null-sink sink_name=speakers sink_properties=device.description=Speakers rate=48000 "
          "channels=2\n"
       << "load-module module-pipe-source source_name=pipemic file=" << fifo.string()
       << " format=s16le rate=16000 channels=1 source_properties=\"device.description='Pipe Mic' "
          "device.form_factor=microphone device.bus=usb\"\n"
       << "load-module module-null-sink sink_name=micfeed rate=48000 channels=1\n"
       << "load-module module-remap-source source_name=vmic master=micfeed.monitor "
          "source_properties=\"device.description='Virtual Mic' device.form_factor=microphone device.bus=usb\"\n";
    return pa.str();
}
}  // namespace

bool SoundServer::start() {
    const fs::path fifo = pipePath();
    // module-pipe-source makes the FIFO itself and refuses to load over an
    // existing one (a daemon that was killed leaves its FIFO behind).
    std::error_code ignored;
    fs::remove(fifo, ignored);
    return kind_ == Kind::pipewire ? startPipeWire() : startPulseAudio();
}

std::map<std::string, std::string> SoundServer::daemonEnv() const {
    auto e = env();
    e["HOME"] = e["XDG_RUNTIME_DIR"] = dir_.string();
    e["XDG_CONFIG_HOME"] = (dir_ / "config").string();
    return e;
}

bool SoundServer::startPulseAudio() {
    std::ofstream pa(dir_ / "test.pa");
    pa << ".fail\n"
       << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << (dir_ / "pulse/native").string() << "\n"
       << standardDevices(pipePath()) << extraConfig_ << "\n"
       << "set-default-sink speakers\nset-default-source vmic\n";
    pa.close();
    auto e = daemonEnv();
    daemon_ = Process::spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                              "-F", (dir_ / "test.pa").string(), "--log-target=file:" + (dir_ / "pa.log").string()},
                             e);
    return waitFor([&] { return daemon_.running() && pactl({"info"}).exitCode == 0; }, 10s, 10ms);
}

bool SoundServer::startPipeWire() {
    auto e = daemonEnv();
    e["XDG_STATE_HOME"] = (dir_ / "state").string();
    e["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (dir_ / "bus").string();
    e["PIPEWIRE_RUNTIME_DIR"] = dir_.string();
    std::error_code ignored;
    fs::remove(dir_ / "bus", ignored);
    bus_ = Process::spawn({"dbus-daemon", "--session", "--nofork", "--address=" + e["DBUS_SESSION_BUS_ADDRESS"]}, e,
                          std::nullopt, dir_ / "bus.log");
    if (!waitFor([&] { return fs::exists(dir_ / "bus"); }, 5s, 5ms)) return false;
    pipewire_ = Process::spawn({"pipewire"}, e, std::nullopt, dir_ / "pipewire.log");
    if (!waitFor([&] { return fs::exists(dir_ / "pipewire-0"); }, 5s, 5ms)) return false;
    wireplumber_ = Process::spawn({"wireplumber"}, e, std::nullopt, dir_ / "wireplumber.log");
    pipewirePulse_ = Process::spawn({"pipewire-pulse"}, e, std::nullopt, dir_ / "pipewire-pulse.log");
    if (!waitFor([&] { return pipewirePulse_.running() && pactl({"info"}).exitCode == 0; }, 10s, 10ms)) return false;
    if (!loadScript(standardDevices(pipePath()) + extraConfig_)) return false;
    // WirePlumber starts with a dummy output; ours become the defaults.
    return pactl({"set-default-sink", "speakers"}).exitCode == 0 && pactl({"set-default-source", "vmic"}).exitCode == 0;
}

bool SoundServer::loadScript(const std::string& lines) const {
    std::istringstream in(lines);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#' || line[0] == '.') continue;
        // The shell splits the line the way the daemon's script parser does (quotes included).
        if (run({"sh", "-c", "exec pactl " + line}, env(), 10s).exitCode != 0) return false;
    }
    return true;
}

RunResult SoundServer::pactl(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, env(), 10s);
}

bool SoundServer::feed(const fs::path& raw) const {
    return run({"pacat", "-p", "-d", "micfeed", "--format=s16le", "--rate=16000", "--channels=1", raw.string()}, env(),
               120s)
               .exitCode == 0;
}

void SoundServer::stop() {
    // The protocol server first, so clients see the same end as a daemon's exit.
    daemon_.stop();
    pipewirePulse_.stop();
    wireplumber_.stop();
    pipewire_.stop();
    bus_.stop();
}

bool SoundServer::restart() {
    stop();
    return start();
}

bool SoundServer::running() const { return protocolServer().running(); }

// ------------------------------------------------------------ session bus

SessionBus::SessionBus(const fs::path& dir, bool withKeyring) : dir_(dir / "bus") {
    fs::create_directories(dir_);
    std::ofstream conf(dir_ / "bus.conf");
    conf << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
            "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         << "<busconfig><type>session</type><listen>unix:tmpdir=" << dir_.string() << "</listen>"
         << "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
         << "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    conf.close();
    const fs::path out = dir_ / "address";
    RunResult r = run({"dbus-daemon", "--config-file=" + (dir_ / "bus.conf").string(), "--fork", "--print-address=1",
                       "--print-pid=1"},
                      {}, 10s);
    std::istringstream lines(r.out);
    std::string pid;
    std::getline(lines, address_);
    std::getline(lines, pid);
    if (r.exitCode != 0 || address_.empty()) throw std::runtime_error("could not start dbus-daemon");
    busPid_ = std::atoi(pid.c_str());
    if (!withKeyring) return;
    auto e = env();
    e["HOME"] = dir_.string();
    e["XDG_DATA_HOME"] = (dir_ / "data").string();
    e["XDG_RUNTIME_DIR"] = dir_.string();
    fs::create_directories(dir_ / "data");
    // The password comes on standard input; a shell pipes it in.
    keyring_ = Process::spawn({"sh", "-c", "printf pw | exec gnome-keyring-daemon --foreground --unlock --components=secrets"},
                              e, dir_ / "keyring.out", dir_ / "keyring.err");
    if (!waitFor([&] { return run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                   "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                                   "string:org.freedesktop.secrets"}, env(), 5s)
                                  .out.find("boolean true") != std::string::npos; }, 10s, 20ms))
        throw std::runtime_error("could not start gnome-keyring-daemon");
}

std::map<std::string, std::string> SessionBus::env() const { return {{"DBUS_SESSION_BUS_ADDRESS", address_}}; }

SessionBus::~SessionBus() {
    keyring_.stop();
    if (busPid_ > 0) {
        ::kill(busPid_, SIGTERM);
        waitFor([&] { return ::kill(busPid_, 0) != 0; }, 2000ms, 5ms);
    }
}

LocalService::LocalService(const std::string& binary, const fs::path& dir, std::vector<std::string> options)
    : dir_(dir) {
    std::vector<std::string> argv{binary, "--port", "0", "--port-file", (dir / "port").string(), "--log",
                                  (dir / "requests.log").string()};
    argv.insert(argv.end(), options.begin(), options.end());
    for (const char* stale : {"port", "requests.log"}) fs::remove(dir / stale);
    process_ = Process::spawn(argv, {}, dir / "service.out", dir / "service.err");
    if (waitFor([&] { return !readFile(dir / "port").empty(); }, 20s)) port_ = std::stoi(readFile(dir / "port"));
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
    fs::remove(dir / "audio.raw");
    options.insert(options.end(), {"--record", (dir / "audio.raw").string()});
    return options;
}

RecognitionService::RecognitionService(const fs::path& dir, std::vector<std::string> options)
    : LocalService(PARLANDO_TESTENV_BINARY_DIR "/tools/fake-deepgram/fake-deepgram", dir,
                   withRecording(dir, std::move(options))) {}

bool storeApiKey(const std::map<std::string, std::string>& env, const std::string& key) {
    return run({"sh", "-c",
                "printf %s '" + key + "' | secret-tool store --label=k service parlando.deepgram.api_key account deepgram"},
               env)
               .exitCode == 0;
}

}  // namespace parlando::testenv
