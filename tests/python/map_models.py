"""Models, meshes and devices for the mapping tests, and the program reader generated from
the device program schema."""

import importlib
import pathlib
import subprocess
import sys

import numpy as np

import morla.core as core

NP = core.NP
REPO = pathlib.Path(__file__).resolve().parents[2]


def layer(kind, name, **keys):
    return core.Layer(core.LayerParams(kind, keys), name)


def v1_mesh():
    """An HRC and three NPs, the last one also fully connected: the board simulator's
    default mesh."""
    return NP.Mesh(core.v1, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), NP.Info.hrc(False),
                   [NP.Info(NP.Ident(1, 2, 0), [NP.CNP1], True),
                    NP.Info(NP.Ident(2, 1, 0), [NP.CNP1], True),
                    NP.Info(NP.Ident(2, 2, 0), [NP.CNP1, NP.FNP3], True)])


def v1_device(version=core.Orbi_v2):
    return core.Device(version, v1_mesh())


def set_random_weights(model, seed):
    rng = np.random.default_rng(seed)
    for item in model.layers:
        variables = item.variables
        if variables is not None and "weights" in variables.names:
            weights = variables["weights"]
            variables["weights"] = rng.integers(0, 2, weights.shape).astype(weights.dtype)


def fuzz_variables(model, rng):
    """Small random integers in every integer variable of the model: weights in [-8, 8], the
    rest in [0, 7]; a variable that refuses them keeps its values."""
    for item in model.layers:
        variables = item.variables
        if variables is None:
            continue
        for name in variables.names:
            value = variables[name]
            if value.dtype.kind not in "iu":
                continue
            info = np.iinfo(value.dtype)
            low, high = (max(info.min, -8), min(info.max, 8)) if name == "weights" else (0, 7)
            try:
                variables[name] = rng.integers(low, high + 1, value.shape).astype(value.dtype)
            except (ValueError, RuntimeError):
                pass


def v1_model(seed=1, odd_layer=False, learning=False):
    """InputConvolutional -> Convolutional -> FullyConnected on 16x16x1 inputs; with
    odd_layer, a convolution of stride 3 (which the v1 CNP refuses) after the first."""
    model = core.Model()
    model.add(layer(core.InputConvolutional, "hrc", input_width=16, input_height=16,
                    input_channels=1, kernel_width=3, kernel_height=3, filters=8))
    if odd_layer:
        model.add(layer(core.Convolutional, "odd", kernel_width=3, kernel_height=3, filters=8,
                        stride_x=3, stride_y=3))
    model.add(layer(core.Convolutional, "conv", kernel_width=3, kernel_height=3, filters=8))
    model.add(layer(core.FullyConnected, "fc", units=10, weights_bits=1, activation=int(learning)))
    set_random_weights(model, seed)
    if learning:
        # Thresholds that leave about half of the activations on, so that learning moves
        # connections and the outputs show it.
        for name, threshold in (("hrc", 560), ("conv", 17), ("fc", 3)):
            variables = model.get_layer(name).variables
            variables["threshold"] = np.full_like(variables["threshold"], threshold)
        # Compiling gives every neuron without connections its num_weights connections.
        fc = model.get_layer("fc").variables
        fc["weights"] = np.zeros_like(fc["weights"])
        model.compile(core.MorlaUnsupervised(num_weights=12, num_classes=5, initial_plasticity=0.5))
    return model


def inputs(count, seed=2):
    return np.random.default_rng(seed).integers(0, 256, (count, 16, 16, 1)).astype(np.uint8)


def program_reader(folder):
    """The device_program package flatc generates for Python from the schema."""
    schema = REPO / "src" / "program" / "device_program.fbs"
    subprocess.run(["flatc", "--python", "-o", str(folder), str(schema)], check=True)
    sys.path.insert(0, str(folder))
    for name in ("ProgramInfoRoot", "ProgramDataRoot"):
        importlib.import_module("device_program." + name)
    return importlib.import_module("device_program")


def run_fuzz_child(template, seed, rounds, seconds):
    """Runs a fuzzing loop (`template`, formatted with the tests folder, seed, rounds and
    seconds) in a child interpreter, so that a crash shows as its exit; returns the number of
    rounds the child printed last."""
    tests = str(pathlib.Path(__file__).resolve().parent)
    code = template.format(tests=tests, seed=seed, rounds=rounds, seconds=seconds)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120, cwd=tests)
    assert result.returncode == 0, result.stderr[-2000:]
    return int(result.stdout.split()[-1])
