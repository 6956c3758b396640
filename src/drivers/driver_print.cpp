#include "drivers/driver_print.h"

#include <cstdarg>
#include <cstdio>

namespace morla {

void driver_print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

}  // namespace morla
