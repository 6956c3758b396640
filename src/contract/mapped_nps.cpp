#include "contract/mapped_nps.h"

namespace morla {

namespace {

void append_lists(ComponentList& out, const std::vector<SharedComponents>& lists) {
  for (const auto& list : lists)
    if (list) out.insert(out.end(), list->begin(), list->end());
}

void append(ComponentList& out, const ComponentList& components) {
  out.insert(out.end(), components.begin(), components.end());
}

}  // namespace

ComponentList collect_mapped_nps(const LayerMapping& mapping) {
  ComponentList out;
  append_lists(out, mapping.inbound);
  append(out, mapping.skip_dma_loads);
  if (mapping.tnp_b_skip) append(out, mapping.skip_dma_stores);
  return out;
}

ComponentList collect_following_nps(const LayerMapping& mapping) {
  ComponentList out;
  append_lists(out, mapping.outbound);
  if (!mapping.tnp_b_skip) append(out, mapping.skip_dma_stores);
  return out;
}

}  // namespace morla
