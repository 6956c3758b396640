#pragma once
// Exceptions of driver construction. They carry no text: whatever explains the
// refusal has been printed before the throw.
#include <exception>

namespace morla {

// This kind of attachment is absent here; the registry skips the driver.
class DriverNotAvailable : public std::exception {};

// A dynamic library could not be loaded.
class DlHandleError : public std::exception {};

}  // namespace morla
