#pragma once
// A board's firmware on the master side of a pseudo-terminal: the text console
// with its "morla>" prompt, the switch to binary commands, the frame parser, the
// board memory, and injected faults. Runs in its own thread; the host side opens
// port_path() as it would open the board's tty.
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_memory.h"
#include "board_config.h"
#include "drivers/bin_protocol.h"
#include "drivers/driver_deadlines.h"

namespace morla::sim {

enum class Fault {
  Silence,             // the frame gets no reply
  GarbageBeforeReply,  // bytes other than the reply marker come first
  GarbageFlood,        // only bytes other than the reply marker come, for seconds
  WrongLengthField,    // the reply block's length disagrees with its frame length
  ShortReadReply,      // a read reply announces and carries fewer bytes than asked
  PartialData,         // a read reply announces the length asked, then stops halfway
  VanishMidTransfer,   // the port disappears inside the frame (write: before its payload)
  LateReply,           // the reply comes kLateReplyMs late: after the host has given up
                       // on it, while a drain of the line still listens
};

struct FrameRecord {
  uint32_t command = 0;
  uint32_t sequence = 0;
  uint32_t address = 0;
  uint32_t length = 0;
  bool applied = false;  // a write that reached the memory
};

class BoardSimulator {
 public:
  // `host` are the deadlines of the driver that talks to the board: the timed faults
  // are played against them.
  explicit BoardSimulator(const BoardConfig& board_config, bool start_in_binary_mode = false,
                          const DriverDeadlines& host = {});
  ~BoardSimulator();
  BoardSimulator(const BoardSimulator&) = delete;
  BoardSimulator& operator=(const BoardSimulator&) = delete;

  // How late a LateReply comes: past the host's reply time-out, within its drain.
  int64_t late_reply_ms() const { return (host_.reply_byte + host_.drain_quiet / 2).count(); }

  const std::string& port_path() const { return port_path_; }
  const DriverDeadlines& host_deadlines() const { return host_; }
  BoardMemory& memory() { return memory_; }
  // The clock block, bus controllers and power monitor of the board.
  const SocModels& soc() const { return soc_; }

  // The `frame`-th frame from now (1: the next one) meets `fault`.
  void inject_fault(Fault fault, uint32_t frame = 1);
  // The console answers a command line with log text, for `duration_ms` or until
  // the host sends again, instead of its prompt (0: the prompt, as usual).
  void set_console_chatter(int64_t duration_ms) { chatter_ms_ = duration_ms; }
  std::vector<FrameRecord> frames() const;
  // Bytes received in binary mode since the last call, when capture is on.
  void set_wire_capture(bool on);
  std::vector<uint8_t> take_wire();
  // Frames that broke the protocol (missing 0x00 after a full piece, length mismatch).
  size_t protocol_errors() const { return protocol_errors_; }
  bool in_binary_mode() const { return binary_; }

 private:
  void run();
  void on_input(const uint8_t* data, size_t length);
  // Handles what the input holds; false when more bytes are needed.
  bool step();
  void text_byte(uint8_t byte);
  bool binary_frame();
  // A reply frame: its length field, its block, then `data_count` data bytes.
  void reply(uint32_t frame_length, uint32_t command, uint32_t sequence, uint32_t address,
             uint32_t block_length, const uint8_t* data, size_t data_count);
  static std::vector<uint8_t> reply_bytes(uint32_t frame_length, uint32_t command,
                                          uint32_t sequence, uint32_t address,
                                          uint32_t block_length, const uint8_t* data,
                                          size_t data_count);
  void send(const uint8_t* data, size_t length);
  void send(const std::vector<uint8_t>& bytes) { send(bytes.data(), bytes.size()); }
  void vanish();
  Fault* fault_for(uint64_t frame_index);

  DriverDeadlines host_;
  BoardMemory memory_;
  SocModels soc_;
  std::string port_path_;
  int master_fd_ = -1;
  int slave_fd_ = -1;  // held so that the tty survives the host closing it
  int wake_fds_[2] = {-1, -1};
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> binary_;
  std::atomic<size_t> protocol_errors_{0};

  // Parser state (simulator thread only).
  std::vector<uint8_t> input_;
  size_t consumed_ = 0;
  std::string line_;
  uint8_t last_text_byte_ = 0;
  // Bytes sent over and over until `flood_until_` or until the host sends again.
  int64_t flood_until_ = 0;
  std::vector<uint8_t> flood_bytes_;
  // A late reply and when it goes out.
  std::vector<uint8_t> late_bytes_;
  int64_t late_at_ = 0;
  std::atomic<int64_t> chatter_ms_{0};

  mutable std::mutex mutex_;  // guards what the test thread reads or arms
  std::vector<FrameRecord> frames_;
  std::map<uint64_t, Fault> faults_;
  bool capture_ = false;
  std::vector<uint8_t> wire_;
};

}  // namespace morla::sim
