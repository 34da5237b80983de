#include "quote.h"

#include <cstdio>

namespace tessarin {

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
          char escaped[12];
          std::snprintf(escaped, sizeof escaped, "\\u{%x}", byte);
          out += escaped;
        } else {
          out += c;
        }
      }
    }
  }
  out += '"';
  return out;
}

}  // namespace tessarin
