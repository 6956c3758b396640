"""NumPy versions of each layer type's arithmetic, composed from the operation oracles, to
check Model.forward layer by layer."""
import numpy as np

import nn_oracles as o

I32 = np.int32
INT32_MAX = 2**31 - 1


def lshift(values, shifts):
    return o.channel_shift(np.asarray(values, np.int64), shifts, "lshift", 32)


def v2_tail(acc, v, output_bits, activation="none", pool=None):
    """bias << bias_shift, optional pooling, ReLU or LUT, then scale_out."""
    bias = lshift(v["bias"].astype(np.int64), v["bias_shift"])
    x = np.vectorize(lambda a: o.sat32(o.clip(int(a), 32)))(acc.astype(np.int64) + bias)
    if pool is not None:
        x = pool(x)
    if activation == "relu":
        top = np.minimum(v["max_value"].astype(np.int64) << v["max_value_shift"].astype(np.int64),
                         INT32_MAX)
        x = np.minimum(x, top)
        x = np.where(x >= 1, x, 0)
    elif activation == "lut":
        index = o.scale_out(x, v["activation_scales"], v["activation_shift"], 11, 32)
        x = v["lut_values"][index.astype(np.int64) + 1024]
    return o.scale_out(np.asarray(x, np.int64), v["output_scales"], v["output_shift"],
                       output_bits, 32)


def v1_levels(potentials, threshold, act_step, bits):
    steps = np.floor(act_step.astype(np.float64) * 16).astype(np.int64)
    above = potentials.astype(np.int64) - threshold
    level = ((above * 16 - 1) * (1 << bits)) // (steps * 16) + 1
    return np.where(above > 0, np.minimum(level, (1 << bits) - 1), 0).astype(np.uint8)


def geometry(kx, ky, stride, mode, shape):
    return o.compute_padding(kx, ky, stride, stride, mode, shape)


def conv2d(x, w, stride, mode):
    g = geometry(w.shape[0], w.shape[1], stride, mode, x.shape)
    return o.conv2d(x, w, g[6], g[7], g[0], g[2], g[4], g[5], bits=32)


def depthwise(x, w, stride, mode):
    g = geometry(w.shape[0], w.shape[1], stride, mode, x.shape)
    return o.depthwise_conv2d(x, w, g[6], g[7], g[0], g[2], g[4], g[5])


def input_conv(x, w, pads, stride, mode):
    g = geometry(w.shape[0], w.shape[1], stride, mode, x.shape)
    return o.input_conv2d(x, w, pads, stride, g)


def max_pool(size, stride, mode):
    def pool(x):
        g = o.compute_padding(size, size, stride, stride, mode, x.shape)
        return o.max_pooling(x, size, size, g, 32)
    return pool


def matmul(a, b, transpose=False):
    return o.matmul(np.asarray(a, np.int64).reshape(1, 1, -1) if a.ndim == 1 else a, b, 32,
                    transpose)
