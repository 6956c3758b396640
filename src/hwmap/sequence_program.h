#pragma once
// The last step of mapping one sequence: the back end's recorders produce every NP
// program pass by pass under the device's descriptor budget, the program builder lays
// them out as the device program, and the result becomes a HardwareSequence.
#include <memory>
#include <utility>

#include "contract/mapping_status.h"
#include "program/hardware_pass.h"

namespace morla {

class HardwareSequence;

// On failure the status names the layer over budget; the context's layers, passes and
// program are emptied and no sequence is made. A recorder's std::runtime_error about the
// layer it records comes out as RecordingRefused (the same message, naming the layer);
// builder errors pass through.
std::pair<MappingStatus, std::shared_ptr<HardwareSequence>> build_sequence_program(
    PassContext& context);

// The lowest and highest NP column that feeds the pass's first mappable layer.
std::pair<uint8_t, uint8_t> pass_input_columns(const Sequence::Pass& pass, bool last_on_hrc);

}  // namespace morla
