#pragma once
// The workspace seam: hands a URL to the desktop's default application for it
// (the browser for a web page).
//
// Implementations: GioWorkspace (platform/linux, GIO's default handlers) and
// FakeWorkspace (tests/support, records the URLs).

#include <string>

namespace tavrin {

class Workspace {
  public:
    virtual ~Workspace() = default;

    // Asks the desktop to open url with its default application. Returns false
    // when no application could be started for it. Does not wait for the
    // application; may be called from any thread.
    virtual bool openURL(const std::string& url) = 0;
};

} // namespace tavrin
