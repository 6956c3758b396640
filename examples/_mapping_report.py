"""Prints where a mapped model's layers run and what each device program needs (shared by
the examples)."""

import morla.core as core


def print_mapping(model):
    print(f"Mapped on {model.device.desc} ({model.device.version}, "
          f"IP {model.device.ip_version.name}):")
    for sequence in model.sequences:
        print(f"  sequence {sequence.name} ({sequence.backend.name})")
        for number, hw_pass in enumerate(sequence.passes, 1):
            print(f"    pass {number}: {', '.join(item.name for item in hw_pass.layers)}")
        if sequence.program is not None:
            parts = sequence.program_parts
            print(f"    program: {len(sequence.program)} bytes (info {len(parts.program_info)}, "
                  f"data {len(parts.program_data)})")
            needs = core.get_program_memory_infos(sequence.program)
            print(f"    needs: input {needs.input_memory} B, output {needs.output_memory} B, "
                  f"program {needs.program_memory} B, extra {needs.extra_program_memory} B, "
                  f"descriptors {needs.program_descriptors_memory} B")
    for item in model.layers:
        mapping = item.mapping
        if mapping is None:
            where = "software"
        elif mapping.nps or mapping.skipdma_loads or mapping.skipdma_stores:
            where = ", ".join(f"{c.type.name} at {c.ident}" for c in
                              [*mapping.nps, *mapping.skipdma_loads, *mapping.skipdma_stores])
        else:
            where = "hardware, no component of its own"
        print(f"  {item.name:<10} {where}")
    print("  components:", {kind.name: n for kind, n in model.component_count.items()},
          f"external memory {model.external_memory_size} B")
