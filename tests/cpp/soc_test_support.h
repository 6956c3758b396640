#pragma once
// A simulated board with its SoC peripherals behind a memory driver, and waiting
// for conditions without depending on timing.
#include <chrono>
#include <memory>
#include <thread>

#include "board_config.h"
#include "memory_driver.h"

namespace morla::test {

// Polls `condition` until it holds or `limit` has passed; returns its last value.
template <typename Condition>
bool wait_until(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

struct SocBoard {
  explicit SocBoard(const sim::SocConfig& soc = {}) {
    sim::BoardConfig board_config = sim::orbi_board(1);
    board_config.soc = soc;
    models = sim::load_board(memory, board_config);
    driver = std::make_unique<sim::MemorySocDriver>(memory);
  }
  sim::BoardMemory memory;
  sim::SocModels models;
  std::unique_ptr<sim::MemorySocDriver> driver;
};

}  // namespace morla::test
