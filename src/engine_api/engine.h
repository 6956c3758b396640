#pragma once
// Free functions of the engine library.

namespace morla {

// The engine's version text; null when it has none.
const char* version();

}  // namespace morla
