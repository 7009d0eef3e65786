#pragma once
// ProcessLauncher on QProcess::startDetached: the child is not ours to reap.
#include "update/ProcessLauncher.h"

namespace parlando {

class QtProcessLauncher final : public ProcessLauncher {
public:
    std::optional<std::string> startDetached(const std::string& program, const std::vector<std::string>& args) override;
};

}  // namespace parlando
