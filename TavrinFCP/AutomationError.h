#pragma once
// The one error the editor automation reports: a script runner that cannot be
// started or was killed at its time-out, or a marker document that cannot be
// written. Callers (the command dispatcher) turn it into "no value".

#include <stdexcept>

namespace tavrin::container {

class AutomationError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

} // namespace tavrin::container
