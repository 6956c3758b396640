#pragma once
// Finding the board's tty: MORLA_SERIAL_PORT names it directly; otherwise the
// sysfs tty whose USB device carries the maker's vendor and product identifiers.
#include <optional>
#include <string>

namespace morla {

// The maker's USB identifiers as sysfs shows them (lower-case hexadecimal).
inline constexpr const char* kBoardUsbVendorId = "4b45";
inline constexpr const char* kBoardUsbProductId = "4d52";

// Name of the first tty (in name order) under `<sysfs_root>/class/tty` whose device
// sits below a USB device with the maker's identifiers.
std::optional<std::string> find_board_tty(const std::string& sysfs_root = "/sys");

// The path MORLA_SERIAL_PORT names (when set and not empty), or nothing.
std::optional<std::string> named_serial_port_path();

// The device path of the board's tty, or nothing.
std::optional<std::string> board_serial_port_path();

}  // namespace morla
