#pragma once
// Starting a program that outlives the call (and may outlive us).
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace parlando {

class ProcessLauncher {
public:
    virtual ~ProcessLauncher() = default;
    // Starts program with args, without waiting for it. Returns the reason
    // when it could not be started.
    virtual std::optional<std::string> startDetached(const std::string& program,
                                                     const std::vector<std::string>& args) = 0;
};

// The first executable file called name in the colon-separated search path.
std::optional<std::filesystem::path> findInPath(const std::string& name, const std::string& searchPath);

}  // namespace parlando
