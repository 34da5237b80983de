// The engine's one fatal-stop exception: a broken invariant or invalid input (a board side below
// 4, a cell off the board, a player above 3, a piece index past the end). The worker that sees it
// abandons its game; the extension module turns it into its own stop exception.
#pragma once

#include <stdexcept>
#include <string>

namespace tessarin {

class FatalStop : public std::runtime_error {
 public:
  explicit FatalStop(const std::string& message) : std::runtime_error(message) {}
};

// Throws FatalStop with `message`.
[[noreturn]] void fatal(const std::string& message);

}  // namespace tessarin
