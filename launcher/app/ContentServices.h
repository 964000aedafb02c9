#pragma once
// The main window's planet content services: the content system's start after each successful
// update check and the rescan after the game client has ended, both on the process-wide content
// download driver.
//
// Contract: GUI thread only (as every main window service); stateless, no lock of its own (the
// driver takes its content lock).

#include "launcher/window/MainWindowServices.h"

namespace Vel {

class ContentServices final : public IContentServices {
public:
    void InitContentDownload() override;
    void RescanContent() override;
};

}  // namespace Vel
