#pragma once
// The workspace on Linux: GIO's default handler for a URI's scheme (xdg-open's
// choice, e.g. the user's browser for http and https).

#include "common/Workspace.h"

namespace tavrin::linux_platform {

class GioWorkspace final : public Workspace {
  public:
    // Blocks only while GIO looks up and starts the handler.
    bool openURL(const std::string& url) override;
};

} // namespace tavrin::linux_platform
