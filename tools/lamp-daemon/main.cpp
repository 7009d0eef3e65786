// lamp-daemon: a stand-in for the status lamp's daemon on loopback. It
// answers GET /mode/<word> with a chosen status, or late, slowly, never, or
// by dropping the connection, and records every request it gets.
#include "TestHttpServer.h"

#include <QCommandLineParser>

#include <iostream>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser cli;
    cli.setApplicationDescription(
        "A local stand-in for the status lamp's daemon. Answers GET /mode/<word> (red, blue, standby)\n"
        "and records each request as a line \"GET /mode/<word>\" (other paths get 404).\n"
        "Prints \"listening on 127.0.0.1:PORT\" once it accepts connections.");
    cli.addHelpOption();
    cli.addOptions({
        {"port", "Port to listen on; 0 picks a free one (default 7420).", "N", "7420"},
        {"port-file", "Also write the bound port number to FILE.", "FILE"},
        {"log", "Append one line per request to FILE.", "FILE"},
        {"status", "HTTP status to answer with: 200, 204, 500, ... (default 200).", "N", "200"},
        {"delay-ms", "Answer only after MS milliseconds.", "MS", "0"},
        {"never-answer", "Accept the request and never answer."},
        {"dribble-ms", "Send the head, then a long body one byte every MS milliseconds.", "MS"},
        {"drop", "Drop the connection without an answer."},
    });
    cli.process(app);
    bool ok = true;
    const int status = cli.value("status").toInt(&ok);
    if (!ok || status < 100 || status > 599) {
        std::cerr << "lamp-daemon: bad --status\n";
        return 2;
    }
    testhttp::EventLog log(cli.value("log"));
    testhttp::Answer::Kind kind = testhttp::Answer::Kind::send;
    if (cli.isSet("never-answer")) kind = testhttp::Answer::Kind::never;
    if (cli.isSet("drop")) kind = testhttp::Answer::Kind::drop;
    if (cli.isSet("dribble-ms")) kind = testhttp::Answer::Kind::dribble;
    const int delay = cli.value("delay-ms").toInt();
    const int dribble = cli.value("dribble-ms").toInt();

    testhttp::Server server([&](const testhttp::Request& r) {
        log.line(r.method + " " + r.path);
        testhttp::Answer a;
        const bool lamp = r.method == "GET" && r.path.rfind("/mode/", 0) == 0 && r.path.size() > 6;
        a.kind = lamp ? kind : testhttp::Answer::Kind::send;
        const std::string body = kind == testhttp::Answer::Kind::dribble ? std::string(1000, '.') : "ok\n";
        a.bytes = lamp ? testhttp::response(status, body) : testhttp::response(404, "no such lamp command\n");
        a.delayMs = delay;
        a.dribbleMs = dribble > 0 ? dribble : 500;
        return a;
    });
    if (!server.listen(quint16(cli.value("port").toUInt()), cli.value("port-file"), "lamp-daemon")) return 1;
    return QCoreApplication::exec();
}
