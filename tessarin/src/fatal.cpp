#include "fatal.h"

namespace tessarin {

void fatal(const std::string& message) {
  throw FatalStop(message);
}

}  // namespace tessarin
