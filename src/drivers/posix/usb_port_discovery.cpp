#include "drivers/posix/usb_port_discovery.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace morla {
namespace {

namespace fs = std::filesystem;

std::string first_word(const fs::path& file) {
  std::ifstream in(file);
  std::string word;
  in >> word;
  return word;
}

// Walks up from a tty's device directory to the USB device that holds it.
bool below_board_usb_device(fs::path directory, const fs::path& root) {
  std::error_code error;
  directory = fs::canonical(directory, error);
  if (error) return false;
  for (; !directory.empty() && directory != root && directory != directory.root_path();
       directory = directory.parent_path()) {
    if (fs::exists(directory / "idVendor", error) && fs::exists(directory / "idProduct", error))
      return first_word(directory / "idVendor") == kBoardUsbVendorId &&
             first_word(directory / "idProduct") == kBoardUsbProductId;
  }
  return false;
}

}  // namespace

std::optional<std::string> find_board_tty(const std::string& sysfs_root) {
  std::error_code error;
  const fs::path root = fs::canonical(sysfs_root, error);
  if (error) return std::nullopt;
  std::vector<std::string> names;
  for (fs::directory_iterator it(root / "class" / "tty", error), end; !error && it != end;
       it.increment(error))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const fs::path device = root / "class" / "tty" / name / "device";
    if (fs::exists(device, error) && below_board_usb_device(device, root)) return name;
  }
  return std::nullopt;
}

std::optional<std::string> named_serial_port_path() {
  if (const char* named = std::getenv("MORLA_SERIAL_PORT"); named != nullptr && *named != '\0')
    return std::string(named);
  return std::nullopt;
}

std::optional<std::string> board_serial_port_path() {
  if (auto named = named_serial_port_path()) return named;
  if (auto name = find_board_tty()) return "/dev/" + *name;
  return std::nullopt;
}

}  // namespace morla
