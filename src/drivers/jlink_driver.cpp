#include "drivers/jlink_driver.h"

#include <cstdlib>
#include <limits>
#include <sstream>

#include "core/register_field.h"
#include "drivers/driver_errors.h"
#include "drivers/driver_print.h"
#include "drivers/posix/jlink_library.h"
#include "drivers/soc_name.h"
#include "drivers/transport_error.h"

namespace morla {
namespace {

// What the probe reports of the device it reached; only the name is read here, the
// rest of the record belongs to the library (room is left for it).
struct ProbeDeviceInfo {
  const char* name = nullptr;
  unsigned char library_fields[256] = {};
};

// A function of the probe library, by name and C signature.
template <typename Signature>
struct EntryPoint {
  const char* name;
};

constexpr EntryPoint<const char*()> kOpen{"JLINKARM_Open"};
constexpr EntryPoint<void(int, int)> kConfigJtag{"JLINKARM_ConfigJTAG"};
constexpr EntryPoint<int(const char*, char*, int)> kExecCommand{"JLINKARM_ExecCommand"};
constexpr EntryPoint<int(int)> kTifSelect{"JLINKARM_TIF_Select"};
constexpr EntryPoint<void(uint32_t)> kSetSpeed{"JLINKARM_SetSpeed"};
constexpr EntryPoint<int()> kConnect{"JLINKARM_Connect"};
constexpr EntryPoint<int(uint32_t, ProbeDeviceInfo*)> kGetDeviceInfo{"JLINKARM_JTAG_GetDeviceInfo"};
// Both answer in the low byte only.
constexpr EntryPoint<char()> kIsHalted{"JLINKARM_IsHalted"};
constexpr EntryPoint<char()> kHalt{"JLINKARM_Halt"};
constexpr EntryPoint<int(uint32_t, uint32_t, void*)> kReadMem{"JLINKARM_ReadMem"};
constexpr EntryPoint<int(uint32_t, uint32_t, const void*)> kWriteMem{"JLINKARM_WriteMem"};
constexpr EntryPoint<void()> kClose{"JLINKARM_Close"};

// Looked up at each call, so a library that lacks a function fails at that call.
template <typename Signature>
Signature* entry(const DlHandle& library, EntryPoint<Signature> point) {
  return reinterpret_cast<Signature*>(library.lookup(point.name));
}

constexpr const char* kDeviceCommand = "device=CORTEX-M4";
constexpr int kJtagInterface = 0;
constexpr uint32_t kSpeedKhz = 12000;

// The core's debug lock: the key opens it, then the lock control word is cleared.
constexpr uint32_t kLockAccess = 0xE8012C00;
constexpr uint32_t kLockAccessKey = 0x6B2D94F0;
constexpr uint32_t kLockControl = 0xE8012008;
constexpr RegisterField kLockBit0{0, 1};
constexpr RegisterField kLockBit1{1, 1};

constexpr const char* kReadError = "Unable to read at address 0x";
constexpr const char* kWriteError = "Unable to write at address 0x";

// A failed transfer: the fixed form with the address, then the cause and the library.
TransportError probe_error(const char* operation, uint32_t address, size_t length, int result,
                           const std::string& cause, const std::string& library) {
  std::ostringstream text;
  text << operation << std::hex << address << std::dec << "; " << cause << " on " << library;
  return TransportError::with_text(text.str(), address, length, LinkFailure{result, 0, address},
                                   library);
}

// The whole length in one call of the probe; a length it cannot take, or a library
// that lacks the function, fails as the transfer itself would.
template <typename Signature, typename Buffer>
int probe_transfer(const DlHandle& library, const std::string& library_path,
                   EntryPoint<Signature> point, const char* error, uint32_t address, Buffer buffer,
                   size_t length) {
  if (length > std::numeric_limits<uint32_t>::max())
    throw probe_error(error, address, length, 0, "longer than one probe transfer", library_path);
  Signature* function = nullptr;
  try {
    function = entry(library, point);
  } catch (const DlHandleError&) {
    throw probe_error(error, address, length, 0, std::string(point.name) + " not found",
                      library_path);
  }
  return function(address, static_cast<uint32_t>(length), buffer);
}

}  // namespace

// The probe connection while the driver is being built. From the call of Open on it
// counts as open (the library expects its Close even after a refused Open), and a
// step that fails closes it on the way out; once the driver stands it is released
// without a Close: the built driver never closes it.
class ProbeConnection {
 public:
  explicit ProbeConnection(const DlHandle& library) : library_(library) {}
  ~ProbeConnection() {
    if (!open_) return;
    try {
      entry(library_, kClose)();
    } catch (const DlHandleError&) {
      // A library without Close has no connection to close.
    }
  }
  ProbeConnection(const ProbeConnection&) = delete;
  ProbeConnection& operator=(const ProbeConnection&) = delete;

  // Calls Open: null on success, else the library's error text.
  const char* open() {
    const char* error = entry(library_, kOpen)();
    open_ = true;
    return error;
  }
  void release() { open_ = false; }

 private:
  const DlHandle& library_;
  bool open_ = false;
};

JlinkDriver::JlinkDriver() {
  if (std::getenv("JLINK_EN") == nullptr) throw DriverNotAvailable();
  try {
    const JlinkLibrary found = find_jlink_library();
    if (!found.refusal.empty()) driver_print("%s\n", found.refusal.c_str());
    if (found.path.empty()) throw DriverNotAvailable();
    library_path_ = found.path;
    library_ = std::make_unique<DlHandle>(library_path_);
    ProbeConnection connection(*library_);
    connect(connection);
    unlock_debug_access();
    name_ = "Jlink/" + make_soc_name(*this);
    read_version_from_board();
    connection.release();
  } catch (const DlHandleError&) {
    throw DriverNotAvailable();
  } catch (const TransportError& error) {
    // A transfer of the start-up failed: the probe reached no usable core.
    driver_print("%s\n", error.what());
    throw DriverNotAvailable();
  }
}

void JlinkDriver::connect(ProbeConnection& connection) {
  if (connection.open() != nullptr) throw DriverNotAvailable();
  driver_print("JLINK opened\n");
  entry(*library_, kConfigJtag)(-1, -1);
  if (entry(*library_, kExecCommand)(kDeviceCommand, nullptr, 0) != 0) throw DriverNotAvailable();
  entry(*library_, kTifSelect)(kJtagInterface);
  entry(*library_, kSetSpeed)(kSpeedKhz);
  if (const int error = entry(*library_, kConnect)(); error < 0) {
    driver_print("Unable to connect to JLink: error #%d\n", error);
    throw DriverNotAvailable();
  }
  ProbeDeviceInfo info;
  if (entry(*library_, kGetDeviceInfo)(0, &info) < 0) {
    driver_print("Failed to retrieve device infos\n");
    throw DriverNotAvailable();
  }
  driver_print("Succesfully connected to device '%s'\n", info.name != nullptr ? info.name : "");
  if (entry(*library_, kIsHalted)() == 0 && entry(*library_, kHalt)() != 0) {
    driver_print("Failed to halt M4 core\n");
    throw DriverNotAvailable();
  }
}

void JlinkDriver::unlock_debug_access() {
  write_register(*this, kLockAccess, kLockAccessKey);
  uint32_t control = 0;
  set_register_field(&control, &kLockBit0, 0);
  set_register_field(&control, &kLockBit1, 0);
  write_register(*this, kLockControl, control);
}

void JlinkDriver::do_read(uint32_t address, void* buffer, size_t length) {
  const int result =
      probe_transfer(*library_, library_path_, kReadMem, kReadError, address, buffer, length);
  if (result < 0)
    throw probe_error(kReadError, address, length, result, "probe result " + std::to_string(result),
                      library_path_);
}

void JlinkDriver::do_write(uint32_t address, const void* buffer, size_t length) {
  const int written =
      probe_transfer(*library_, library_path_, kWriteMem, kWriteError, address, buffer, length);
  if (written < 0 || static_cast<size_t>(written) != length)
    throw probe_error(
        kWriteError, address, length, written,
        "probe wrote " + std::to_string(written) + " of " + std::to_string(length) + " bytes",
        library_path_);
}

}  // namespace morla
