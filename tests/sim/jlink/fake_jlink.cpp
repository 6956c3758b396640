// The J-Link probe vendor's library as the J-Link driver's tests load it: the
// library's C functions over a simulated board's memory. Built as a shared object of
// its own; everything it does is chosen by environment variables, read at each call
// so that a test can change them while the library is loaded:
//   FAKE_JLINK_MEMORY   file of "<address> <word>" lines (hexadecimal) to start from
//   FAKE_JLINK_LOG      file that receives one line per call, and "unload" at the end
//   FAKE_JLINK_FAIL     open | exec | connect | info | halt | read | write: that step
//                       fails (write: the probe writes one byte less than asked)
//   FAKE_JLINK_FAIL_AT  hexadecimal address: read and write fail only there
//   FAKE_JLINK_RUNNING  when set, the core runs until halted
//   FAKE_JLINK_DEVICE   the name of the device reached (default "Cortex-M4")
//   FAKE_JLINK_MISSING  the name of a function that looking it up does not find
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "board_memory.h"

namespace {

bool fails(const char* step) {
  const char* fail = std::getenv("FAKE_JLINK_FAIL");
  return fail != nullptr && std::strcmp(fail, step) == 0;
}

bool fails_at(const char* step, uint32_t address) {
  if (!fails(step)) return false;
  const char* at = std::getenv("FAKE_JLINK_FAIL_AT");
  return at == nullptr || std::strtoul(at, nullptr, 16) == address;
}

void log_call(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_call(const char* format, ...) {
  const char* path = std::getenv("FAKE_JLINK_LOG");
  if (path == nullptr) return;
  std::FILE* log = std::fopen(path, "a");
  if (log == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(log, format, args);
  va_end(args);
  std::fputc('\n', log);
  std::fclose(log);
}

struct Probe {
  Probe() {
    const char* path = std::getenv("FAKE_JLINK_MEMORY");
    std::FILE* seed = path != nullptr ? std::fopen(path, "r") : nullptr;
    if (seed == nullptr) return;
    unsigned address = 0, word = 0;
    while (std::fscanf(seed, "%x %x", &address, &word) == 2) memory.write_word(address, word);
    std::fclose(seed);
  }
  // Runs when the library is unloaded: says whether a connection was left open.
  ~Probe() { log_call(open ? "unload with the connection open" : "unload"); }

  morla::sim::BoardMemory memory;
  bool open = false;
  bool halted = std::getenv("FAKE_JLINK_RUNNING") == nullptr;
  std::string device =
      std::getenv("FAKE_JLINK_DEVICE") != nullptr ? std::getenv("FAKE_JLINK_DEVICE") : "Cortex-M4";
};

Probe probe;

struct DeviceInfo {
  const char* name;
};

const char* probe_open() {
  log_call("Open");
  if (fails("open")) return "Cannot connect to J-Link.";
  probe.open = true;
  return nullptr;
}

void probe_config_jtag(int ir_pre, int dr_pre) { log_call("ConfigJTAG %d %d", ir_pre, dr_pre); }

int probe_exec_command(const char* command, char* error, int error_size) {
  log_call("ExecCommand %s %s %d", command, error == nullptr ? "null" : "buffer", error_size);
  return fails("exec") ? -1 : 0;
}

int probe_tif_select(int interface) {
  log_call("TIF_Select %d", interface);
  return 0;
}

void probe_set_speed(uint32_t khz) { log_call("SetSpeed %u", khz); }

int probe_connect() {
  log_call("Connect");
  return fails("connect") ? -258 : 0;
}

int probe_get_device_info(uint32_t index, DeviceInfo* info) {
  log_call("GetDeviceInfo %u", index);
  if (fails("info")) return -1;
  info->name = probe.device.c_str();
  return 0;
}

char probe_is_halted() {
  log_call("IsHalted");
  return probe.halted ? 1 : 0;
}

char probe_halt() {
  log_call("Halt");
  if (fails("halt")) return 1;
  probe.halted = true;
  return 0;
}

int probe_read_mem(uint32_t address, uint32_t length, void* buffer) {
  log_call("ReadMem %x %u", address, length);
  if (fails_at("read", address)) return -1;
  probe.memory.read(address, static_cast<uint8_t*>(buffer), length);
  return 0;
}

int probe_write_mem(uint32_t address, uint32_t length, const void* data) {
  log_call("WriteMem %x %u", address, length);
  const uint32_t written = fails_at("write", address) && length > 0 ? length - 1 : length;
  probe.memory.write(address, static_cast<const uint8_t*>(data), written);
  return static_cast<int>(written);
}

void probe_close() {
  log_call("Close");
  probe.open = false;
}

// The function when it is to be found, else nothing (the loader then reports the
// name as not found).
template <typename Function>
Function* unless_missing(const char* name, Function* function) {
  const char* missing = std::getenv("FAKE_JLINK_MISSING");
  return missing != nullptr && std::strcmp(missing, name) == 0 ? nullptr : function;
}

}  // namespace

// Each export is resolved by the loader at every lookup (an indirect function), which
// lets FAKE_JLINK_MISSING hide it at any time.
#define FAKE_JLINK_EXPORT(name, function)                                                  \
  extern "C" {                                                                             \
  static decltype(&function) resolve_##name() { return unless_missing(#name, &function); } \
  __attribute__((visibility("default"))) decltype(function) name                           \
      __attribute__((ifunc("resolve_" #name)));                                            \
  }

FAKE_JLINK_EXPORT(JLINKARM_Open, probe_open)
FAKE_JLINK_EXPORT(JLINKARM_ConfigJTAG, probe_config_jtag)
FAKE_JLINK_EXPORT(JLINKARM_ExecCommand, probe_exec_command)
FAKE_JLINK_EXPORT(JLINKARM_TIF_Select, probe_tif_select)
FAKE_JLINK_EXPORT(JLINKARM_SetSpeed, probe_set_speed)
FAKE_JLINK_EXPORT(JLINKARM_Connect, probe_connect)
FAKE_JLINK_EXPORT(JLINKARM_JTAG_GetDeviceInfo, probe_get_device_info)
FAKE_JLINK_EXPORT(JLINKARM_IsHalted, probe_is_halted)
FAKE_JLINK_EXPORT(JLINKARM_Halt, probe_halt)
FAKE_JLINK_EXPORT(JLINKARM_ReadMem, probe_read_mem)
FAKE_JLINK_EXPORT(JLINKARM_WriteMem, probe_write_mem)
FAKE_JLINK_EXPORT(JLINKARM_Close, probe_close)
