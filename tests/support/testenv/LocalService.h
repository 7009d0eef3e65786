#pragma once
// One of the project's local test services (tools/<name>) as a child process
// on a free loopback port, with its request log, stopped with the object.
#include "testenv/TestEnv.h"

#include <fstream>
#include <string>
#include <vector>

namespace parlando::testenv {

class LocalService {
public:
    LocalService(const std::string& binary, const std::filesystem::path& dir, std::vector<std::string> options)
        : dir_(dir) {
        std::vector<std::string> argv{binary, "--port", "0", "--port-file", (dir / "port").string(), "--log",
                                      (dir / "requests.log").string()};
        argv.insert(argv.end(), options.begin(), options.end());
        process_ = Process::spawn(argv, {}, dir / "stdout", dir / "stderr");
        if (waitFor([&] { return !readFile(dir / "port").empty(); }, std::chrono::seconds(20)))
            port_ = std::stoi(readFile(dir / "port"));
    }
    int port() const { return port_; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::vector<std::string> requests() const {
        std::vector<std::string> lines;
        std::ifstream in(dir_ / "requests.log");
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }

private:
    std::filesystem::path dir_;
    Process process_;
    int port_ = 0;
};

}  // namespace parlando::testenv
