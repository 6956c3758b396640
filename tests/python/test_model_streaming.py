"""Model.forward in software holds one frame's intermediate outputs at a time: the peak
memory of a call grows with the frame count only by the arrays that must hold every frame
(the call's copy of the inputs and the outputs)."""
import json
import os
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent("""
    import json, resource, sys
    import numpy as np
    from morla import core

    def layer(kind, name, **keys):
        return core.Layer(core.LayerParams(kind, keys), name)

    frames = int(sys.argv[1])
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=128, input_height=128, input_channels=3))
    # 128 x 128 x 32 int32 sums: 2 MiB per frame inside the layer
    m.add(layer(core.Conv2D, "c", kernel_size=3, filters=32))
    m.add(layer(core.Conv2D, "d", kernel_size=3, filters=8, kernel_stride=4))
    x = np.zeros((frames, 128, 128, 3), np.uint8)
    m.forward(x[:1])
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    out = m.forward(x)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"growth": after - before, "held": x.nbytes + out.nbytes}))
""")


def peak_growth(frames):
    result = subprocess.run([sys.executable, "-c", CHILD, str(frames)], capture_output=True,
                            text=True, env=dict(os.environ), timeout=120, check=True)
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_peak_memory_does_not_grow_with_the_frames_beyond_inputs_and_outputs():
    one, many = peak_growth(1), peak_growth(48)
    per_frame_inside = 128 * 128 * 32 * 4
    # Held all at once, 48 frames of intermediates would add more than 90 MiB.
    assert many["growth"] - many["held"] < one["growth"] + 4 * per_frame_inside, (one, many)
