// update-server: a local update server. Serves /latest.json and /update.sh
// with chosen statuses and bodies, re-reading its files on every request so
// a test can publish a new version while it runs, and records each request
// with the headers that matter.
#include "TestHttpServer.h"

#include <QCommandLineParser>

namespace {

std::string readWhole(const QString& path, const std::string& fallback) {
    if (path.isEmpty()) return fallback;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return fallback;
    return f.readAll().toStdString();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser cli;
    cli.setApplicationDescription(
        "A local update server. GET /latest.json answers with the manifest, GET /update.sh with the\n"
        "installer script; anything else gets 404. Each request is recorded as a line\n"
        "\"GET <path> accept=<Accept> user-agent=<User-Agent>\".\n"
        "Prints \"listening on 127.0.0.1:PORT\" once it accepts connections.");
    cli.addHelpOption();
    cli.addOptions({
        {"port", "Port to listen on; 0 picks a free one (default 0).", "N", "0"},
        {"port-file", "Also write the bound port number to FILE.", "FILE"},
        {"log", "Append one line per request to FILE.", "FILE"},
        {"version", "Serve {\"version\":\"V\"} as the manifest (default 1.0.0).", "V", "1.0.0"},
        {"manifest-file", "Serve this file's contents as the manifest instead (read per request).", "FILE"},
        {"manifest-status", "HTTP status of /latest.json (default 200).", "N", "200"},
        {"script-file", "Serve this file as /update.sh (read per request).", "FILE"},
        {"script-status", "HTTP status of /update.sh (default 200).", "N", "200"},
    });
    cli.process(app);
    testhttp::EventLog log(cli.value("log"));
    const std::string defaultManifest = "{\"version\":\"" + cli.value("version").toStdString() + "\"}\n";
    const int manifestStatus = cli.value("manifest-status").toInt();
    const int scriptStatus = cli.value("script-status").toInt();

    testhttp::Server server([&](const testhttp::Request& r) {
        auto header = [&r](const char* name) {
            const auto it = r.headers.find(name);
            return it == r.headers.end() ? std::string() : it->second;
        };
        log.line(r.method + " " + r.path + " accept=" + header("accept") + " user-agent=" + header("user-agent"));
        testhttp::Answer a;
        if (r.method == "GET" && r.path == "/latest.json")
            a.bytes = testhttp::response(manifestStatus, readWhole(cli.value("manifest-file"), defaultManifest),
                                         "application/json");
        else if (r.method == "GET" && r.path == "/update.sh")
            a.bytes = testhttp::response(scriptStatus, readWhole(cli.value("script-file"), "echo parlando update\n"),
                                         "text/x-shellscript");
        else
            a.bytes = testhttp::response(404, "not found\n");
        return a;
    });
    if (!server.listen(quint16(cli.value("port").toUInt()), cli.value("port-file"), "update-server")) return 1;
    return QCoreApplication::exec();
}
