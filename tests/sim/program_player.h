#pragma once
// The chip's side of the run protocol (src/engine/board_registers.h) for a simulated
// board. It does not execute NP programs: it is given pairs (device program, model) and,
// when the loaded program equals a pair's program byte for byte, answers each frame with
// that model's software outputs. An unknown program makes every run end in the error
// status; loading one prints a line on standard error that names it (size, CRC-32C)
// beside the pairs' programs. The learning layer's memory is the player's state: it is
// decoded into the model before each run and re-encoded after a learning run.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "board_memory.h"
#include "engine_api/model.h"
#include "core/hw_version.h"

namespace morla::sim {

struct ProgramPair {
  std::vector<uint8_t> program;
  std::shared_ptr<Model> model;
  std::string program_file = {};  // where the program was read from, for messages
};

class ProgramPlayer final : public RegisterHandler {
 public:
  // Serves the protocol's command word of a board whose registers start at `registers_base`.
  ProgramPlayer(BoardMemory& memory, uint32_t registers_base, std::vector<ProgramPair> pairs);
  static std::shared_ptr<ProgramPlayer> install(BoardMemory& memory, uint32_t registers_base,
                                                std::vector<ProgramPair> pairs);

  uint32_t read_word(uint32_t address) override;
  void write_word(uint32_t address, uint32_t value) override;

  size_t loads() const;
  size_t runs() const;
  // Failing runs: each of the next `count` runs ends in the error status.
  void fail_runs(size_t count);

 private:
  uint32_t reg(uint32_t offset);
  void set_reg(uint32_t offset, uint32_t value);
  void load();
  // One line on standard error: the loaded program matches no pair.
  void report_unknown(const std::vector<uint8_t>& program) const;
  void run(uint32_t command);
  std::shared_ptr<Tensor> play(uint32_t command);
  void write_outputs(const Tensor& outputs);
  void learn_mem_to_model();
  void model_to_learn_mem();

  // Where the learning image lies in the loaded program, from its program info.
  struct LearningImage {
    std::vector<uint32_t> words;
    size_t leading = 0;  // words before neuron 0 (the NP block header on an FNP3)
  };
  static LearningImage learning_image(const std::vector<uint8_t>& program);

  BoardMemory& memory_;
  uint32_t base_;
  std::vector<ProgramPair> pairs_;
  mutable std::mutex mutex_;
  const ProgramPair* current_ = nullptr;
  bool loaded_ = false;
  size_t loads_ = 0;
  size_t runs_ = 0;
  size_t failing_runs_ = 0;
  size_t learn_leading_ = 0;
};

// Reads a pair given as "program.bin=model.fbz" for a board of version `board`; refuses
// (std::invalid_argument) bytes that are not a device program, a program made for another
// version, and a model whose input or output shape is not the program's.
ProgramPair read_program_pair(const std::string& argument, const HwVersion& board);

}  // namespace morla::sim
