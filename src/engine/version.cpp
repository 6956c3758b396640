#include "engine_api/engine.h"

namespace morla {

const char* version() { return "2.0.0-standin"; }

}  // namespace morla
