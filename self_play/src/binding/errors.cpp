#include "errors.h"

#include <new>

#include "host_error.h"

namespace tessarin::py {

void set_error_from(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (HostInterrupt& interrupt) {
    interrupt.take().restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_stop(error.what());
  } catch (...) {
    raise_stop("unknown C++ exception");
  }
}

}  // namespace tessarin::py
