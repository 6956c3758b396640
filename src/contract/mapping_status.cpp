#include "contract/mapping_status.h"

#include "engine_api/layer.h"

namespace morla {

MappingStatus::MappingStatus(uint8_t kind, std::string text, const Layer* layer)
    : MappingStatusBase(kind, std::move(text)) {
  if (layer) layer_name = layer->name();
}

MappingStatus& MappingStatus::merge(const MappingStatus& other) {
  if (other.kind == 0) return *this;
  if (kind != 0) {
    // Copied first: merging a status into itself must not read the text it extends.
    const std::string added = other.text;
    text += " ";
    text += added;
  } else if (&other == this) {
    kind = other.kind;
  } else {
    kind = other.kind;
    layer_name = other.layer_name;
    text = other.text;
  }
  return *this;
}

std::string MappingStatus::message() const {
  if (layer_name.empty()) return text;
  return "Cannot map layer '" + layer_name + "'. " + text;
}

MappingStatus make_mapping_status(const Layer& layer, std::string text) {
  return MappingStatus(1, std::move(text), &layer);
}

MappingStatus make_mapping_status(const Layer* layer, std::string text) {
  return MappingStatus(1, std::move(text), layer);
}

MappingStatus make_mapping_status(const std::shared_ptr<Layer>& layer, std::string text) {
  return MappingStatus(1, std::move(text), layer.get());
}

MappingStatusGroup& MappingStatusGroup::merge(const MappingStatusGroup& other) {
  if (other.kind == 0) return *this;
  if (kind == 0) {
    kind = other.kind;
    text = other.text;
  }
  // Copy first: merging a group into itself must not read a growing vector.
  const std::vector<MappingStatus> added = other.statuses;
  statuses.insert(statuses.end(), added.begin(), added.end());
  return *this;
}

std::string MappingStatusGroup::message() const {
  if (statuses.empty()) return text;
  if (statuses.size() == 1) return statuses.front().message();
  std::string out = "Cannot map layer '" + statuses.front().layer_name + "':";
  for (const auto& status : statuses) {
    if (status.layer_name.empty())
      out += "\n  * " + status.text;
    else
      out += "\n  * Layer '" + status.layer_name + "': " + status.text;
  }
  return out;
}

}  // namespace morla
