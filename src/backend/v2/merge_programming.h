#pragma once
// The register writes that tie a CNP or TNP-B layer to the skip DMAs around it: the DMA
// registers of its inference and learning NP entries and the configuration of its skip-DMA
// load, appended as type-11 blocks in ascending register order.
#include <cstdint>

#include "engine_api/layer.h"
#include "contract/program_record.h"

namespace morla::v2 {

void record_merge_layers(program::Record& record, const Layer& layer);

// The half for one NP entry: the inference entry, or with `learning` the learning entry;
// nothing when the mapping has no such entry.
void record_np_dma_registers(program::Record& record, const Layer& layer, bool learning,
                             bool on_tnp_b, uint32_t fifo);

}  // namespace morla::v2
