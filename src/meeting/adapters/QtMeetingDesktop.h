#pragma once
// The desktop's default handlers (xdg-open, or the desktop portal, through
// Qt) and detached program starts, for the meeting controls.
#include "meeting/MeetingControls.h"

namespace parlando {

class QtMeetingDesktop final : public MeetingDesktop {
public:
    bool openPath(const std::filesystem::path& path) override;
    bool hasProgram(const std::string& name) override;
    bool launch(const std::vector<std::string>& argv) override;
};

}  // namespace parlando
