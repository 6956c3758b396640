"""Word images of the IP v2 and Mote board data layouts, written from their definitions
(kept apart from the code under test), and the readers that find the images in a program."""

import struct

import numpy as np

import morla.core as core

LONG_BLOCK = 16383
# NP memories wide enough for a weight image in the long block form.
WIDE_SRAM = core.NP.SramSize(65536, 102400)

# The widest value each neuron variable may take on v2.
RANGES = {"input_shift": (0, 7), "bias": (-128, 127), "bias_shift": (0, 31),
          "output_shift": (-32, 31), "output_scales": (0, 255), "max_value": (0, 255),
          "max_value_shift": (0, 31), "activation_shift": (-32, 31),
          "activation_scales": (0, 255), "lut_values": (-8192, 8191)}


def fill(item, rng, bits):
    """Random values over every variable's range; weights over the full range of their bits."""
    variables = item.variables
    for name in variables.names:
        low, high = RANGES.get(name, (-(1 << (bits - 1)), (1 << (bits - 1)) - 1))
        variables[name] = rng.integers(low, high + 1, variables[name].shape).astype(
            variables[name].dtype)
    return {name: variables[name] for name in variables.names}


def map_one_sequence(model, device, max_filters):
    """Maps the model wholly on the device, at most `max_filters` filters per NP; returns its
    one sequence."""
    constraints = core.MapConstraints(device)
    constraints.cnp_max_filters = max_filters
    model._map(device, hw_only=True, constraints=constraints)
    [sequence] = model.sequences
    return sequence


def ceil_div(a, b):
    return -(-a // b)


def long_padded(words):
    return ceil_div(words, 16) * 16 if words >= LONG_BLOCK else words


def long_units(image):
    """The header length of a block holding `image` (padded already) in 16-word units when
    it takes the long form, None in the short form."""
    return len(image) // 16 if len(image) >= LONG_BLOCK else None


def put_bits(image, bit, value, width):
    """ORs `width` bits of `value` into a uint32 image at a bit position."""
    value &= (1 << width) - 1
    word, low = divmod(bit, 32)
    image[word] |= (value << low) & 0xFFFFFFFF
    if low + width > 32:
        image[word + 1] |= value >> (32 - low)


def to_words(data, words):
    """Bytes (a uint8 array) as little-endian words, `words` of them."""
    buf = np.zeros(words * 4, np.uint8)
    buf[:len(data)] = data
    return buf.view("<u4").astype(np.uint32)


class Lanes:
    """64-bit lanes (word 2j bits 0-31, word 2j + 1 bits 32-63) of which `bits` are used."""

    def __init__(self, image, base, bits):
        self.image, self.base, self.bits, self.lane, self.pos = image, base, bits, 0, 0

    def put(self, value, width):
        for b in range(width):
            put_bits(self.image, (self.base + 2 * self.lane) * 32 + self.pos, (value >> b) & 1, 1)
            self.pos += 1
            if self.pos == self.bits:
                self.next()

    def next(self):
        self.lane, self.pos = self.lane + 1, 0

    def close(self):
        if self.pos:
            self.next()


# ---- CNP weights -----------------------------------------------------------------------


def cnp_containers(k, n, bits):
    c8 = ceil_div(n, 8) * 8
    if bits == 8:
        return {1: 2 * ceil_div(c8, 24), 3: 3 * c8 // 4, 4: 3 * c8 // 2, 5: 5 * c8 // 2,
                7: 7 * c8}[k]
    return {1: ceil_div(n, 24), 3: 3 * ceil_div(n, 8), 5: c8, 7: 21 * ceil_div(n, 8)}[k]


def cnp_weights(w, first, n, bits):
    """Standard weights (k, k, C, F), filters first .. first + n - 1."""
    k, channels = w.shape[0], w.shape[2]
    w = w.astype(np.int64) & 0xFF
    if bits == 8:
        group, stride, row, gap = {1: (24, 6, 0, 0), 3: (8, 18, 24, 0), 4: (8, 36, 36, 0),
                                   5: (8, 60, 48, 1), 7: (8, 224, 128, 9)}[k]
        per_channel = (4 if k == 7 else 3) * cnp_containers(k, n, 8)
        words = long_padded(per_channel * channels)
        data = np.zeros(words * 4, np.uint8)
        for i in range(channels):
            for g in range(ceil_div(n, group)):
                filters = range(first + g * group, first + min(n, (g + 1) * group))
                for y in range(k):
                    p = (i * per_channel + g * stride) * 4 + y * row
                    for f in filters:
                        for x in range(k):
                            if k == 7 and x == 6:  # split: low 2 bits, then the high 6
                                data[p] = w[x, y, i, f] & 3
                                data[p + 2] = w[x, y, i, f] >> 2
                            else:
                                data[p] = w[x, y, i, f]
                            p += 1
                        p += gap
        return to_words(data, words)
    per_channel = 4 * cnp_containers(k, n, 4)
    image = np.zeros(per_channel * channels, np.uint32)
    for i in range(channels):
        if k == 1:
            lanes = Lanes(image, i * per_channel, 48)
            for f in range(first, first + n):
                lanes.put(w[0, 0, i, f] & 0xF, 4)
            continue
        for g in range(ceil_div(n, 8)):
            lanes = Lanes(image, i * per_channel + g * {3: 12, 5: 32, 7: 84}[k],
                          48 if k == 3 else 50)
            for y in range(k):
                for j in range(8):
                    f = g * 8 + j
                    for x in range(k):
                        lanes.put(w[x, y, i, first + f] & 0xF if f < n else 0, 4)
                    if k == 7 and j % 3 == 2:
                        lanes.close()
                if k == 7:
                    lanes.close()
    return image


def depthwise_weights(w, first, n, bits):
    """Depthwise weights (k, k, 1, C), channels first .. first + n - 1."""
    k = w.shape[0]
    w = w.astype(np.int64)
    if bits == 8:
        stride, after, skip, row_skip = {3: (12, 2, 0, 0), 4: (24, 3, 0, 2), 5: (30, 4, 0, 1),
                                         7: (84, 3, 2, 3)}[k]
        words = long_padded(3 * {3: 1, 4: 2, 5: 3, 7: 7}[k] * n)
        data = np.zeros(words * 4, np.uint8)
        for i in range(n):
            p = i * stride
            for y in range(k):
                for x in range(k):
                    data[p] = w[x, y, 0, first + i] & 0xFF
                    p += 1 + (skip if x == after else 0)
                p += row_skip
        return to_words(data, words)
    image = np.zeros({3: 2, 5: 6, 7: 14}[k] * n, np.uint32)
    lane = pos = 0
    for i in range(n):
        for y in range(k):
            if pos + 4 * k > 51:
                lane, pos = lane + 1, 0
            for x in range(k):
                v = w[x, y, 0, first + i]
                assert -8 <= v <= 7
                put_bits(image, lane * 64 + pos, v & 0xF, 4)
                pos += 4
        if pos + 4 * k * k > 51:
            lane, pos = lane + 1, 0
    return image


# ---- TNP-B weights ---------------------------------------------------------------------


def tnp_b_weights(w, fifo, first, n):
    """BufferTempConv weights (1, 1, fifo x C, F): rows from time-major to channel-major, one
    byte per filter, 24 filters per 6 words."""
    rows, per_frame = w.shape[2], w.shape[2] // fifo
    row_words = 2 * ceil_div(n, 24) * 3
    w = w.astype(np.int64)
    words = long_padded(rows * row_words)
    data = np.zeros(words * 4, np.uint8)
    for t in range(fifo):
        for j in range(per_frame):
            at = (j * fifo + t) * row_words * 4
            for g in range(ceil_div(n, 24)):
                for k in range(min(24, n - 24 * g)):
                    data[at + 24 * g + k] = w[0, 0, t * per_frame + j, first + 24 * g + k] & 0xFF
    return to_words(data, words)


def depthwise_tnp_b_weights(w, first, n):
    """DepthwiseBufferTempConv weights (1, 1, T, C): one 12-byte slot per channel."""
    taps, w = w.shape[2], w.astype(np.int64)
    words = long_padded((3 * taps + 3) * n)
    data = np.zeros(words * 4, np.uint8)
    for j in range(n):
        for t in range(taps):
            data[12 * j + t] = w[0, 0, t, first + j] & 0xFF
    return to_words(data, words)


# ---- FNP images --------------------------------------------------------------------------


def fnp_padding(x, c, ib):
    """Inputs that pad an x-run to a byte, inputs of a row, inputs that pad a row to a word."""
    per_byte, per_word = 8 // ib, 32 // ib
    p8 = ((x * ib // 8 + 1) * per_byte - x) % per_byte
    run = (x + p8) * c
    return p8, run, ((run * ib // 32 + 1) * per_word - run) % per_word


def fnp_neuron_words(shape, mode, ib, wb):
    x, y, c = shape
    if mode == 1:
        return 2 + ceil_div(c * wb, 32)
    if mode == 2:
        _, run, p32 = fnp_padding(x, c, ib)
        return 2 + ceil_div(y * wb * (run + p32), 32)
    return 2 + ceil_div(x * ib, 32) * c * y


def fnp_input_order(shape, mode, ib):
    """The input index at each position of the padded input (None for padding)."""
    x, y, c = shape
    if mode == 1:
        return list(range(x * y * c))
    order = []
    p8, _, p32 = fnp_padding(x, c, ib) if mode == 2 else (0, 0, 0)
    gap = ceil_div(ceil_div(ib * x, 8), 4) * 4 - ceil_div(ib * x, 8)
    for j in range(y):
        for k in range(c):
            order += [(i * y + j) * c + k for i in range(x)]
            order += [None] * (p8 if mode == 2 else gap)
        order += [None] * p32
    return order


def fnp_input_shifts(shifts, shape, mode, ib):
    if mode == 1:
        return byte_words(shifts)
    order = fnp_input_order(shape, mode, ib)
    data = np.array([0 if i is None else shifts[i] for i in order], np.uint8)
    return to_words(data, 2 * ceil_div(len(data), 8))


def fnp_weights(v, shape, mode, ib, wb):
    """Per neuron: bias, bias shift and the max pair; output scale and shift; then each
    weight at the position of the input it multiplies, padding included, wb bits each (a
    byte in mode 3)."""
    per_neuron = fnp_neuron_words(shape, mode, ib, wb)
    w = v["weights"].astype(np.int64)
    image = np.zeros(per_neuron * w.shape[1], np.uint32)
    width = 8 if mode == 3 else wb
    order = fnp_input_order(shape, mode, ib)
    for n in range(w.shape[1]):
        base = n * per_neuron
        image[base] = (int(v["bias"][n]) & 0xFF) | int(v["bias_shift"][n]) << 8
        if "max_value" in v:
            image[base] |= int(v["max_value"][n]) << 16 | int(v["max_value_shift"][n]) << 24
        image[base + 1] = int(v["output_scales"][n]) | (int(v["output_shift"][n]) & 0xFF) << 8
        for at, i in enumerate(order):
            if i is not None:
                put_bits(image, (base + 2) * 32 + at * width, w[i, n] & ((1 << width) - 1), width)
    return image


# ---- Per-neuron words ------------------------------------------------------------------


def byte_words(values, first=0, count=None):
    """Bytes first .. first + count - 1 four to a word, in 2 x ceil(count / 8) words."""
    values = np.asarray(values).astype(np.int64) & 0xFF
    count = len(values) - first if count is None else count
    return to_words(values[first:first + count].astype(np.uint8), 2 * ceil_div(count, 8))


def shift_words(v, first, n):
    """Two words per filter of the CNP and TNP-B shift/scale block."""
    out = np.zeros(2 * n, np.uint32)
    get = lambda name, f: int(v[name][f]) if name in v else None
    for i in range(n):
        f, a, b = first + i, 0, 0
        if (s := get("output_scales", f)) is not None:
            a |= s
        if (s := get("bias", f)) is not None:
            a |= (s & 0xFF) << 8
        if (s := get("bias_shift", f)) is not None:
            a |= s << 16
        if (s := get("output_shift", f)) is not None:
            a |= (s & 0x3F) << 21
        if (s := get("max_value_shift", f)) is not None:
            a |= s << 27
        if (s := get("activation_shift", f)) is not None:
            a = (a & ~(0x1F << 27)) | (s & 0x1F) << 27
            b |= (s >> 5) & 1
        if (s := get("activation_scales", f)) is not None:
            b |= s << 1
        if (s := get("max_value", f)) is not None:
            b = (b & ~0xFF) | s
        out[2 * i], out[2 * i + 1] = a, b
    return out


def neuron_params(v):
    """Two words per neuron of the HRC without a look-up table; a missing max pair packs 0."""
    out = np.zeros(2 * len(v["bias"]), np.uint32)
    for n in range(len(v["bias"])):
        get = lambda name: int(v[name][n]) if name in v else 0
        out[2 * n] = ((get("output_shift") & 0x3F) | get("output_scales") << 6 |
                      get("max_value_shift") << 14 | (get("max_value") & 1) << 19)
        out[2 * n + 1] = get("max_value") >> 1 | get("bias_shift") << 7 | (get("bias") & 0xFF) << 12
    return out


def narrow_neuron_params(p1, p2, p3, p4, p5, p6):
    """Two words per neuron of the HRC with a look-up table."""
    out = np.zeros(2 * len(p2), np.uint32)
    for n in range(len(p2)):
        a, b, c, d, e, f = (int(p[n]) for p in (p1, p2, p3, p4, p5, p6))
        out[2 * n] = a | (b & 0xFF) << 8 | (c & 0xF) << 16
        out[2 * n + 1] = (c >> 4) & 1 | (d & 0x3F) << 1 | (e & 0x3F) << 7 | f << 13
    return out


def merge_shift_bytes(a, b, c):
    """One byte per channel of an Add merged into a convolution: which input shift is the
    larger-or-equal one (bit 7), the merged shift (bits 4-6), the shifts' difference."""
    a, b, c = (np.asarray(t).astype(np.int64) for t in (a, b, c))
    data = np.where(a <= b, 128, 0) + abs(a - b) + 16 * ((np.maximum(a, b) + c) & 7)
    return to_words(data.astype(np.uint8), ceil_div(len(a), 4))


def lut_pairs(lut):
    lut = np.asarray(lut).astype(np.int64) & 0x3FFF
    return (lut[0:2048:2] | lut[1:2048:2] << 16).astype(np.uint32)


# ---- Program reading -------------------------------------------------------------------


def blocks(words):
    """(col, row, select mask, type code, field, words, long length) of every NP block of a
    word buffer; the long length is the header's length in 16-word units, None for a block in
    the short form."""
    words = [int(w) for w in words]
    i = 0
    while i + 2 <= len(words):
        h0, h1 = words[i], words[i + 1]
        units = (h1 >> 16) & 0x3FFF if h1 >> 31 else None
        length = units * 16 if units is not None else (h1 >> 16) & 0x3FFF
        yield (h0 >> 24, (h0 >> 16) & 0xFF, (h0 >> 8) & 0xF, h0 & 0xF, h1 & 0xFFFF,
               np.array(words[i + 2:i + 2 + length], np.uint32), units)
        i += 2 + length


def program_data(reader, program):
    length = struct.unpack_from("<I", program)[0]
    return reader.ProgramDataRoot.ProgramDataRoot.GetRootAs(program[4 + length:], 4)


def pass_records(reader, program):
    """Every NP program record of every pass."""
    data = program_data(reader, program)
    for p in range(data.PassesLength()):
        for i in range(data.Passes(p).ProgramsLength()):
            yield data.Passes(p).Programs(i)


def np_blocks(reader, program, ident):
    """(type code, field, words, long length) of the blocks of one NP, in program order."""
    key = (ident.col, ident.row, 1 << ident.id)
    return [b[3:] for record in pass_records(reader, program)
            for buffer in range(record.BuffersLength())
            for b in blocks(record.Buffers(buffer).WordsAsNumpy()) if b[:3] == key]


def hrc_memory(reader, program, selector_bit):
    """The words the HRC's memory `selector_bit` receives."""
    found = [b[3:6] for record in pass_records(reader, program)
             for buffer in range(record.BuffersLength())
             for b in blocks(record.Buffers(buffer).WordsAsNumpy()) if b[:3] == (0, 0, 0)]
    for (code, field, words), data in zip(found, found[1:]):
        if (code, field, list(words)) == (8, 32, [1 << selector_bit, 0]):
            assert data[:2] == (0, 40)
            return data[2]
    raise AssertionError("no memory block")


def np_images(reader, program, ident):
    """The blocks that follow the NP's register block of its own pass (not a registers-only
    one): weights, input shifts, shift and scale words, ..."""
    found = np_blocks(reader, program, ident)
    for i, (code, field, words, _) in enumerate(found):
        if code == 8 and field == 0 and len(words) == 64 and words[3] >> 24 != 254:
            rest = []
            for block in found[i + 1:]:
                if block[0] == 8 and len(block[2]) == 64:
                    break
                rest.append(block)
            return rest
    raise AssertionError("no register block")


# ---- Mote TNP-R images -----------------------------------------------------------------

MOTE_RANGES = {"A_real": (-32768, 32767), "A_imag": (-32768, 32767),
               "internal_state_outputs_shift": (-16, 15), "new_state_shift": (-32, 31),
               "new_state_scale": (0, 255), "input_shift": (0, 255), "output_shift": (-32, 31),
               "bias_shift": (0, 31), "input_scales": (0, 65535), "threshold": (0, 65535)}


def split_words(values):
    """64-bit values as two words each, low half first."""
    values = [int(v) for v in values]
    return np.array([half for v in values for half in (v & 0xFFFFFFFF, v >> 32)], np.uint32)


def fsram_image(matrices):
    """Per matrix, per block of 8 columns, per row: one 64-bit word, byte j = column 8b + j."""
    out = []
    for m in matrices:
        m = m.astype(np.int64) & 0xFF
        for b in range(0, m.shape[1], 8):
            for row in m:
                out.append(sum(int(v) << (8 * j) for j, v in enumerate(row[b:b + 8])))
    return split_words(out)


def tsram_image(chain):
    """State, output and input regions of a chain of (variables, input bits, following
    MotePostProcessing variables or None) StatefulRecurrent layers, then the tail's
    (timesteps, threshold) or None."""
    layers, tail = chain
    state, output, inputs = [], [], []
    for v, bits, post in layers:
        for j in range(len(v["A_real"])):
            state.append((int(v["A_real"][j]) & 0xFFFF) | (int(v["A_imag"][j]) & 0xFFFF) << 16 |
                         (int(v["internal_state_outputs_shift"][j]) & 0x1F) << 32 |
                         int(v["new_state_scale"][j]) << 37 | (int(v["new_state_shift"][j]) & 0x3F) << 45)
        scales, shifts = ((post["input_scales"], post["input_shift"]) if post is not None
                          else (v["output_scales"], v["output_shift"]))
        for j in range(len(v["bias"])):
            output.append(int(scales[j]) | (int(shifts[j]) & 0x3F) << 16 |
                          (int(v["bias"][j]) & 0xFF) << 22 | int(v["bias_shift"][j]) << 30)
        per_entry = 8 if bits == 8 else 4
        shifts = [int(s) for s in v["input_shift"]]
        for g in range(0, len(shifts), per_entry):
            entry = 0
            for i, s in enumerate(shifts[g:g + per_entry]):
                entry |= s << 3 * i if bits == 8 else s << 6 * i | s << (6 * i + 3)
            inputs.append(entry)
    if tail is not None:
        timesteps, threshold = tail
        output.append(1 | (-int(np.log2(timesteps)) & 0x3F) << 16 | int(threshold) << 22)
        inputs.append(0)
    return split_words(state + output + inputs)
