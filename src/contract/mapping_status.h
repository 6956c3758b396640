#pragma once
// The answer of a check, a split or a mapping run: success, or the failing rules' messages.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace morla {

class Layer;

// Shared shape of the two status kinds. `kind` 0 is success; `text` is the raw reason and
// `message()` the text the user sees.
template <typename T>
class MappingStatusBase {
 public:
  MappingStatusBase() = default;
  MappingStatusBase(uint8_t kind, std::string text) : kind(kind), text(std::move(text)) {}
  MappingStatusBase(const MappingStatusBase&) = default;
  MappingStatusBase(MappingStatusBase&&) = default;
  MappingStatusBase& operator=(const MappingStatusBase&) = default;
  MappingStatusBase& operator=(MappingStatusBase&&) = default;
  virtual ~MappingStatusBase() = default;

  virtual T& merge(const T& other) = 0;
  virtual std::string message() const = 0;

  bool ok() const { return kind == 0; }

  uint8_t kind = 0;
  std::string text = "Success.";
};

class MappingStatus final : public MappingStatusBase<MappingStatus> {
 public:
  // The success status.
  MappingStatus() = default;
  // With a layer, `layer_name` is the layer's name; without one it stays empty.
  MappingStatus(uint8_t kind, std::string text, const Layer* layer = nullptr);

  MappingStatus& merge(const MappingStatus& other) override;
  // "Cannot map layer '<name>'. <text>" when the status names a layer, else the text.
  std::string message() const override;

  bool operator==(const MappingStatus& other) const {
    return kind == other.kind && text == other.text && layer_name == other.layer_name;
  }

  std::string layer_name;
};

// A failure (kind 1) about `layer`.
MappingStatus make_mapping_status(const Layer& layer, std::string text);
MappingStatus make_mapping_status(const Layer* layer, std::string text);
MappingStatus make_mapping_status(const std::shared_ptr<Layer>& layer, std::string text);

class MappingStatusGroup final : public MappingStatusBase<MappingStatusGroup> {
 public:
  MappingStatusGroup() = default;

  MappingStatusGroup& merge(const MappingStatusGroup& other) override;
  std::string message() const override;

  // The failed statuses of a mapping run, in the order they were added.
  std::vector<MappingStatus> statuses;
};

}  // namespace morla
