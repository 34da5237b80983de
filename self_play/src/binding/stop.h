// The worker stop: a broken invariant or invalid input ends the call with an exception of the
// module's own class, derived directly from BaseException so that `except Exception` handlers of
// the host do not swallow it.
#pragma once

#include <string>

namespace tessarin::py {

// Writes `message` to sys.stderr and raises the stop exception with `message` as its only
// argument, replacing any pending exception. Aborts the process if the exception cannot be made.
void raise_stop(const std::string& message);

}  // namespace tessarin::py
