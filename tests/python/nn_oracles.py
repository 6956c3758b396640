"""Plain NumPy/Python versions of the integer reference operations, written from their
formulas, used as independent oracles by the nn tests."""
import numpy as np

I32 = np.int32


def clip_bounds(bits):
    b = (bits - 1) & 63
    return -(1 << b), (1 << b) - 1


def clip(v, bits):
    low, high = clip_bounds(bits)
    return min(high, max(low, v))


def sat32(v):
    return min(2**31 - 1, max(-(2**31), v))


def clip_array(values, bits):
    low, high = clip_bounds(bits)
    return np.clip(np.asarray(values, dtype=object), low, high)


def ceil_div_f32(n, s):
    return int(np.ceil(np.float32(n) / np.float32(s)))


def compute_padding(kx, ky, sx, sy, mode, shape):
    """(pad_x_before, pad_x_after, pad_y_before, pad_y_after, out_x, out_y, sx, sy)."""
    sx = kx if sx < 1 else sx
    sy = ky if sy < 1 else sy
    ix, iy = shape[0], shape[1]
    if mode == "SameUpper":
        ox, oy = ceil_div_f32(ix, sx), ceil_div_f32(iy, sy)
        pxb, pyb = (kx - 1) // 2, (ky - 1) // 2
        return pxb, pxb + (ix & 1) - 1, pyb, pyb + (iy & 1) - 1, ox, oy, sx, sy
    if mode == "Same":
        ox, oy = ceil_div_f32(ix, sx), ceil_div_f32(iy, sy)
        tx = (ox - 1) * sx - (ix - kx)
        ty = (oy - 1) * sy - (iy - ky)
        pxb, pxa = (tx // 2, tx - tx // 2) if tx > 0 else (0, 0)
        pyb, pya = (ty // 2, ty - ty // 2) if ty > 0 else (0, 0)
        return pxb, pxa, pyb, pya, ox, oy, sx, sy
    if ix < kx or iy < ky:
        raise RuntimeError("Computed output size would not be strictly positive.")
    return 0, 0, 0, 0, ceil_div_f32(ix - kx + 1, sx), ceil_div_f32(iy - ky + 1, sy), sx, sy


def wrap32(v):
    return ((int(v) + 2**31) % 2**32) - 2**31


def conv2d(inputs, weights, sx, sy, px, py, out_x, out_y, bits=None):
    """True convolution (kernel rotated), 32-bit wrapping sum, one final clip."""
    X, Y, C = inputs.shape
    kx, ky, _, F = weights.shape
    x = inputs.astype(np.int64)
    w = weights.astype(np.int64)
    out = np.zeros((out_x, out_y, F), dtype=np.int64)
    for ox in range(out_x):
        for oy in range(out_y):
            acc = np.zeros(F, dtype=np.int64)
            for t in range(kx):
                for u in range(ky):
                    i, j = ox * sx + t - px, oy * sy + u - py
                    if 0 <= i < X and 0 <= j < Y:
                        acc += x[i, j] @ w[kx - 1 - t, ky - 1 - u]
            out[ox, oy] = [wrap32(v) for v in acc]
    if bits is not None:
        out = np.vectorize(lambda v: clip(int(v), bits))(out)
    return out.astype(I32)


def depthwise_conv2d(inputs, weights, sx, sy, px, py, out_x, out_y):
    X, Y, C = inputs.shape
    kx, ky, _ = weights.shape[:3]
    out = np.zeros((out_x, out_y, C), dtype=np.int64)
    for ox in range(out_x):
        for oy in range(out_y):
            for t in range(kx):
                for u in range(ky):
                    i, j = ox * sx + t - px, oy * sy + u - py
                    if 0 <= i < X and 0 <= j < Y:
                        out[ox, oy] += inputs[i, j].astype(np.int64) * weights[kx - 1 - t, ky - 1 - u, :, ...].reshape(C)
    return np.vectorize(wrap32)(out).astype(I32)


def input_conv2d(inputs, weights, pad_values, stride, geometry):
    """Cross-correlation over the padded input (padding reads pad_values[c])."""
    pxb, pxa, pyb, pya, out_x, out_y, sx, sy = geometry
    X, Y, C = inputs.shape
    kx, ky, _, F = weights.shape
    padded = np.empty((X + pxb + max(pxa, 0), Y + pyb + max(pya, 0), C), dtype=np.int64)
    padded[...] = pad_values.astype(np.int64)
    padded[pxb:pxb + X, pyb:pyb + Y] = inputs
    out = np.zeros((out_x, out_y, F), dtype=np.int64)
    w = weights.astype(np.int64)
    for ox in range(out_x):
        for oy in range(out_y):
            patch = padded[ox * sx:ox * sx + kx, oy * sy:oy * sy + ky]
            out[ox, oy] = np.einsum("abc,abcf->f", patch, w)
    return np.vectorize(wrap32)(out).astype(I32)


def conv2d_transpose(inputs, weights, s, px, py, out_x, out_y):
    X, Y, C = inputs.shape
    kx, ky = weights.shape[:2]
    F = weights.shape[3] if weights.ndim == 4 else C
    out = np.zeros((out_x, out_y, F), dtype=np.int64)
    for i in range(X):
        for j in range(Y):
            for a in range(kx):
                for b in range(ky):
                    x, y = i * s + a - px, j * s + b - py
                    if 0 <= x < out_x and 0 <= y < out_y:
                        if weights.ndim == 4:
                            out[x, y] += inputs[i, j].astype(np.int64) @ weights[a, b].astype(np.int64)
                        else:
                            out[x, y] += inputs[i, j].astype(np.int64) * weights[a, b].astype(np.int64)
    return np.vectorize(wrap32)(out).astype(I32)


def max_pooling(inputs, pool_x, pool_y, geometry, bits):
    """Input-driven: each real position of the padded input raises the windows ox0..ox1 by
    oy0..oy1 that hold it. Padded position (x, y) is input (x - pad_x_before, y - pad_y_before);
    a position outside the input is padding; a window that no real position reaches keeps the
    fill. (The 1x1 pool's identity is the caller's.)"""
    pxb, pxa, pyb, pya, out_x, out_y, sx, sy = geometry
    X, Y, C = inputs.shape
    low, _ = clip_bounds(bits)
    out = np.full((out_x, out_y, C), max(low, -(2**31)), dtype=np.int64)
    dx, dy = max(0, pool_x - sx), max(0, pool_y - sy)
    for x in range(X + pxb + pxa):
        for y in range(Y + pyb + pya):
            if x < pxb or x >= X + pxb or y < pyb or y >= Y + pyb:
                continue
            ox0, oy0 = (x - dx) // sx if x > dx else 0, (y - dy) // sy if y > dy else 0
            ox1, oy1 = min(out_x - 1, x // sx), min(out_y - 1, y // sy)
            if ox0 <= ox1 and oy0 <= oy1:
                value = clip_array(inputs[x - pxb, y - pyb], bits).astype(np.int64)
                block = out[ox0:ox1 + 1, oy0:oy1 + 1]
                np.maximum(block, value, out=block)
    return out.astype(I32)


def shift_rule(v, s, rule):
    """rule: 'round', 'floor' (signed s) or 'lshift' (unsigned s)."""
    if s == 0:
        return v
    if s > 0:
        if s >= 32:
            raise RuntimeError("Cannot perform a left shift higher than 31.")
        return max(-(2**63), min(2**63 - 1, v << s))
    if s <= -32:
        raise RuntimeError("Cannot perform a right shift higher than 31.")
    n = -s
    return (v + (1 << (n - 1))) >> n if rule == "round" else v >> n


def channel_shift(inputs, shifts, rule, bits):
    flat = inputs.reshape(-1).astype(object)
    C = inputs.shape[-1]
    out = [sat32(clip(shift_rule(int(v), int(shifts[e % C]), rule), bits)) for e, v in enumerate(flat)]
    return np.array(out, dtype=np.int64).reshape(inputs.shape)


def matmul(a, b, bits, transpose_b):
    A0, A1, K = a.shape
    out = np.zeros((A0, A1, b.shape[-2] if transpose_b else b.shape[-1]), dtype=np.int64)
    for i in range(A0):
        m = b[i] if b.ndim == 3 else b
        m = m.T if transpose_b else m
        prod = a[i].astype(object) @ m.astype(object)
        out[i] = [[sat32(clip(int(v), bits)) for v in row] for row in prod]
    return out.astype(I32)


def scale_out(x, scales, shifts, out_bits, acc_bits):
    C = x.shape[-1]
    flat = []
    for e, v in enumerate(x.reshape(-1)):
        c = e % C
        s = clip(int(scales[c]) * int(v), acc_bits & 0xFF)
        flat.append(shift_rule(s, int(shifts[c]), "round"))
    if out_bits < 5:
        return np.array([min(max(v, 0), 2**out_bits - 1) for v in flat]).reshape(x.shape).astype(np.uint8)
    if out_bits <= 8:
        return np.array([clip(v, out_bits) for v in flat]).reshape(x.shape).astype(np.int8)
    if out_bits == 16:
        return np.array([min(max(v, -32768), 32767) for v in flat]).reshape(x.shape).astype(np.int16)
    return np.array([sat32(clip(v, out_bits)) for v in flat]).reshape(x.shape).astype(I32)


def stateful_main_op(x, shifts, re, im, a, b, bits, out_bits):
    _, T, K = x.shape
    re = [int(v) for v in re.reshape(-1)]
    im = [int(v) for v in im.reshape(-1)]
    R = np.zeros(x.shape, np.int64)
    I = np.zeros(x.shape, np.int64)
    for t in range(T):
        for k in range(K):
            r, i, ak, bk = re[k], im[k], int(a[k]), int(b[k])
            p, q = clip(ak * r, bits), clip(bk * i, bits)
            u = clip(p - q, bits)
            re[k] = sat32(clip(u + int(x[0, t, k]), bits))
            im[k] = sat32(clip(clip(bk * r, bits) + clip(ak * i, bits), bits))
        re = [sat32(clip(shift_rule(v, int(shifts[e % len(re)]), "round"), out_bits)) for e, v in enumerate(re)]
        im = [sat32(clip(shift_rule(v, int(shifts[e % len(im)]), "round"), out_bits)) for e, v in enumerate(im)]
        R[0, t] = re[:K]
        I[0, t] = im[:K]
    return R.astype(I32), I.astype(I32)


def motepostprocessing(p, q, thresholds, bits, raw):
    d0, d1, d2 = q.shape
    p = p.reshape(-1)[: q.size].reshape(q.shape)
    out = np.zeros((d0, 1, d2), np.int64)
    for i in range(d0):
        for c in range(d2):
            acc = 0
            for t in range(d1):
                e = clip(int(q[i, t, c]) - int(p[i, t, c]), bits)
                acc = clip(acc + abs(e), bits)
            mean = acc // d1
            out[i, 0, c] = sat32(mean) if raw else int(mean > int(thresholds[c]))
    return out.astype(I32 if raw else np.int8)
