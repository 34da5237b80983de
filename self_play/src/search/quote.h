// The quoted debug form of a text, as shown to people in error messages.
#pragma once

#include <string>
#include <string_view>

namespace tessarin {

// `text` in double quotes, with backslash, double quote and control characters escaped
// (\\, \", \n, \r, \t, \0, and \u{XX} for the other control characters).
std::string quoted(std::string_view text);

}  // namespace tessarin
