// libFuzzer target for model loading. The first input byte picks the road:
//   0: the serialized model as it is (Model::from_buffer);
//   1: a .fbz file (read_model_file, then Model::from_buffer);
//   2: the model description followed by its valid checksum, so that mutations reach the
//      checks behind the checksum.
// A model that loads is serialized again and run once on zero inputs.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "engine_api/model.h"
#include "engine_api/tensor.h"
#include "engine/crc32c.h"
#include "model/model_file.h"

namespace {

std::vector<uint8_t> with_checksum(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  const uint32_t checksum = morla::engine::crc32c(data, size);
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(uint8_t(checksum >> shift));
  return bytes;
}

std::unique_ptr<morla::Model> load(uint8_t road, const uint8_t* data, size_t size) {
  if (road == 1) {
    static const std::string path = "/tmp/morla-model-fuzz-" + std::to_string(::getpid()) + ".fbz";
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
      std::fwrite(data, 1, size, file);
      std::fclose(file);
    }
    return morla::Model::from_buffer(morla::read_model_file(path));
  }
  if (road == 2) {
    const auto wrapped = with_checksum(data, size);
    return morla::Model::from_buffer(reinterpret_cast<const char*>(wrapped.data()), wrapped.size());
  }
  return morla::Model::from_buffer(reinterpret_cast<const char*>(data), size);
}

void run_once(morla::Model& model) {
  model.serialize();
  if (model.layer_count() == 0) return;
  const morla::Shape in = model.input_shape();
  if (in.size() != 3 || in.element_count() > 4096) return;
  auto inputs = morla::Dense::create(morla::TensorType::uint8, morla::Shape{1, in[0], in[1], in[2]},
                                     morla::Dense::Layout::RowMajor);
  model.forward(std::move(inputs), 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  try {
    auto model = load(data[0] % 3, data + 1, size - 1);
    run_once(*model);
  } catch (const std::exception&) {
    // Refusals are the expected outcome; crashes and sanitizer reports are the findings.
  }
  return 0;
}
