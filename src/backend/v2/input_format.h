#pragma once
// The input-format words of a v2 NP register block: how the NP reads the data another
// layer's NP left for it (its width, window, row layout and merge state).
#include "backend/v2/np_registers.h"
#include "engine_api/layer.h"
#include "contract/component.h"

namespace morla::v2 {

// Words 32-35, 40-42 and word 44 bit 15, from the companion `source_layer` and its
// component `source_entry` that has the recorded NP's ident.
void record_input_padding(NpRegisters& block, const Layer& source_layer,
                          const hw::Component& source_entry, bool p2p_flag);

}  // namespace morla::v2
