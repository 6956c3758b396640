"""A board from Python, end to end, without hardware: a learning IP v1 model is mapped,
`board_sim` (the simulated Orbi v2 board of the build directory) is started with the
model's pair, and `forward` and `fit` run on the board beside the same model in software.

The simulator does not execute NP programs: it answers a loaded program equal to a pair's
program with the outputs of the pair's model (README, "The board simulator")."""

import contextlib
import os
import pathlib
import select
import subprocess
import tempfile
import time

import numpy as np

import morla.core as core

NP = core.NP
REPO = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("MORLA_BUILD_DIR", REPO / "build" / "release"))
rng = np.random.default_rng(3)


def layer(kind, name, **keys):
    return core.Layer(core.LayerParams(kind, keys), name)


# 1. A small learning model: 16x16 grey images through the HRC, a convolution and a
#    fully connected layer that learns 5 classes; random weights of 0 and 1, thresholds
#    that leave about half of the activations on.
model = core.Model()
model.add(layer(core.InputConvolutional, "hrc", input_width=16, input_height=16,
                input_channels=1, kernel_width=3, kernel_height=3, filters=8))
model.add(layer(core.Convolutional, "conv", kernel_width=3, kernel_height=3, filters=8))
model.add(layer(core.FullyConnected, "classes", units=10, activation=1))
for name, threshold in (("hrc", 560), ("conv", 17), ("classes", 3)):
    variables = model.get_layer(name).variables
    weights = variables["weights"]
    variables["weights"] = rng.integers(0, 2, weights.shape).astype(np.int8)
    variables["threshold"] = np.full_like(variables["threshold"], threshold)
# The learning layer starts without connections: compiling gives each neuron 12.
classes = model.get_layer("classes").variables
classes["weights"] = np.zeros_like(classes["weights"])
model.compile(core.MorlaUnsupervised(num_weights=12, num_classes=5, initial_plasticity=0.5))

# 2. Map it on a device without hardware that has the simulator's version and mesh (the
#    Orbi v2 board of examples/ip_v1.py, `board_sim --help`): its programs are the ones the
#    board will be given.
mesh = NP.Mesh(core.v1, NP.Ident(1, 1, 0), NP.Ident(1, 1, 0), NP.Info.hrc(False),
               [NP.Info(NP.Ident(1, 2, 0), [NP.CNP1], True),
                NP.Info(NP.Ident(2, 1, 0), [NP.CNP1], True),
                NP.Info(NP.Ident(2, 2, 0), [NP.CNP1, NP.FNP3], True)])
model._map(core.Device(core.Orbi_v2, mesh))
for sequence in model.sequences:
    print(f"sequence {sequence.name} ({sequence.backend.name})")


def write_pairs(model, folder):
    """3. One pair per hardware sequence: its program, and a model of its layers only."""
    pairs = []
    for index, sequence in enumerate(model.sequences):
        if sequence.program is None:
            continue  # a software sequence runs on the host
        program = folder / f"program{index}.bin"
        program.write_bytes(sequence.program)
        layers = [model.get_layer(item.name) for hw_pass in sequence.passes
                  for item in hw_pass.layers]
        part = folder / f"part{index}.fbz"
        core.Model(layers).save(str(part))
        pairs += ["--pair", f"{program}={part}"]
    return pairs


def first_line(pipe, seconds):
    """The first line of `pipe` without its end, or "" when no whole line comes within
    `seconds` (read byte by byte from the descriptor, so that the wait stays bounded)."""
    deadline = time.monotonic() + seconds
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([pipe], [], [], left)[0]:
            return ""
        byte = os.read(pipe.fileno(), 1)
        if not byte:
            return ""  # the process ended
        line += byte
    return line.decode().strip()


@contextlib.contextmanager
def board_simulator(pairs):
    """4. Starts board_sim and yields the path of its terminal. It serves until its standard
    input ends: closing that stops it, also when the block raises. Every wait is bounded."""
    simulator = BUILD / "board_sim"
    if not simulator.is_file():
        raise SystemExit(f"{simulator} not found: build it with `make build` "
                         "(or set MORLA_BUILD_DIR to the build directory)")
    process = subprocess.Popen([str(simulator), *pairs], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE)
    try:
        # Its first line is the terminal's path; a refused pair ends it with the reason
        # on its standard error (shown above) and no line.
        port = first_line(process.stdout, seconds=30)
        if not port:
            raise RuntimeError("board_sim did not start (its standard error says why)")
        yield port
    finally:
        process.stdin.close()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=10)


images = rng.integers(0, 256, (6, 16, 16, 1)).astype(np.uint8)
labels = np.array([0, 1, 2, 3, 4, 0], np.int32)

with tempfile.TemporaryDirectory() as folder:
    folder = pathlib.Path(folder)
    pairs = write_pairs(model, folder)
    model.save(str(folder / "model.fbz"))
    software = core.Model(str(folder / "model.fbz"))  # runs on the host only
    on_board = core.Model(str(folder / "model.fbz"))  # will run on the board

    with board_simulator(pairs) as port:
        # 5. The host finds the board through MORLA_SERIAL_PORT. `devices()` builds the
        #    device list once per process, so the variable is set before its first call;
        #    NO_USB, which hides USB boards, is cleared for the same reason.
        os.environ["MORLA_SERIAL_PORT"] = port
        os.environ.pop("NO_USB", None)
        boards = [device for device in core.devices() if device.desc.startswith("USB/")]
        if not boards:
            raise RuntimeError(f"the simulated board on {port} is not listed: another process "
                               "holds it (the line above then ends \"held by another process\"),"
                               " or it did not answer (the lines above say how)")
        board = boards[0]
        print(f"board: {board.desc}, {board.version}, {len(board.mesh.nps)} NPs")

        # 6. Mapped on the board, the model runs its hardware sequence there. Each result
        #    is compared with the software run (a difference stops the example).
        on_board._map(board)
        outputs = on_board.forward(images)
        np.testing.assert_array_equal(outputs, software.forward(images))
        print(f"forward on the board: outputs {outputs.shape} equal to software, "
              f"{on_board.metrics['inference_clk']} board clock cycles")

        # 7. Learning on the board: the learned values are read back into the model.
        before = on_board.get_layer("classes").variables["weights"]
        on_board.fit(images, labels)
        software.fit(images, labels)
        learned = on_board.get_layer("classes").variables
        for name in ("weights", "threshold_learning"):
            np.testing.assert_array_equal(learned[name],
                                          software.get_layer("classes").variables[name])
        np.testing.assert_array_equal(on_board.forward(images), software.forward(images))
        print(f"fit on the board: {int((learned['weights'] != before).sum())} connections "
              "moved, as in software; forward after it equal to software")

        # 8. A mapped model unprograms the board when it goes: let it go while the board
        #    still answers. Leaving the block then stops the simulator.
        del on_board
# This process's device list still names the stopped simulator's terminal: a simulator
# started again (for a model mapped anew, with new pairs) needs a new Python process.
