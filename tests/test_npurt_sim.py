"""The simulated NPU runtime, driven through libfenn's exported forwarders
the way the engines drive the board's runtime: records, behaviours, fault
injection and what it records for other tests."""
import ctypes
import os
import struct

import numpy as np
import pytest

from npurt_model import (SimNpurt, sensevoice_model, tensor, whisper_decoder_model,
                         whisper_encoder_model, write_model)

IN_OUT_NUM, INPUT_ATTR, OUTPUT_ATTR = 1, 2, 3
MEL_FLOATS = 128 * 3000
VOCAB = 51866


class TensorAttr(ctypes.Structure):
    _fields_ = [("index", ctypes.c_uint32), ("n_dims", ctypes.c_uint32),
                ("dims", ctypes.c_uint32 * 6), ("name", ctypes.c_char * 256),
                ("n_elems", ctypes.c_uint32), ("size", ctypes.c_uint32),
                ("unused", ctypes.c_uint8 * 8), ("type", ctypes.c_uint32),
                ("zp", ctypes.c_int32), ("scale", ctypes.c_float)]


class Input(ctypes.Structure):
    _fields_ = [("index", ctypes.c_uint32), ("pad0", ctypes.c_uint32), ("buf", ctypes.c_void_p),
                ("size", ctypes.c_uint32), ("pad1", ctypes.c_uint32)]


class Output(ctypes.Structure):
    _fields_ = [("want_float", ctypes.c_uint32), ("reserved0", ctypes.c_uint32),
                ("buf", ctypes.c_void_p), ("size", ctypes.c_uint32), ("reserved1", ctypes.c_uint32)]


assert ctypes.sizeof(TensorAttr) == 316 and ctypes.sizeof(Input) == 24
assert ctypes.sizeof(Output) == 24


class Npu:
    """One network context, reached through libfenn's forwarders."""

    def __init__(self, fenn, path):
        self.fenn = fenn
        self.ctx = ctypes.c_void_p()
        config = (ctypes.c_uint8 * 96)()
        self.init_rc = fenn.zornn_init(ctypes.byref(self.ctx), str(path).encode(), 0, config)
        self.keep = []

    def close(self):
        if self.ctx:
            self.fenn.zornn_destroy(self.ctx)
            self.ctx = ctypes.c_void_p()

    def in_out(self):
        io = (ctypes.c_uint32 * 2)()
        assert self.fenn.zornn_query(self.ctx, IN_OUT_NUM, io, 8) == 0
        return tuple(io)

    def attr(self, kind, index=0):
        a = TensorAttr(index=index)
        rc = self.fenn.zornn_query(self.ctx, kind, ctypes.byref(a), ctypes.sizeof(a))
        return rc, a

    def dims(self, kind, index=0):
        rc, a = self.attr(kind, index)
        assert rc == 0
        return list(a.dims[:a.n_dims])

    def set_inputs(self, buffers):
        """buffers: list of bytes (or None) bound to index 0, 1, ..."""
        recs = (Input * len(buffers))()
        self.keep = []
        for i, data in enumerate(buffers):
            recs[i].index = i
            if data is not None:
                buf = ctypes.create_string_buffer(data, len(data))
                self.keep.append(buf)
                recs[i].buf = ctypes.cast(buf, ctypes.c_void_p)
                recs[i].size = len(data)
        return self.fenn.zornn_inputs_set(self.ctx, len(buffers), recs)

    def run(self):
        return self.fenn.zornn_run(self.ctx, None)

    def output(self, want_float=1):
        out = Output(want_float=want_float)
        rc = self.fenn.zornn_outputs_get(self.ctx, 1, ctypes.byref(out))
        return rc, out

    def floats(self, out, first=0, count=None):
        n = out.size // 4 if count is None else count
        return list((ctypes.c_float * n).from_address(out.buf + first * 4))

    def resize(self, index, dims):
        n_in = self.in_out()[0]
        attrs = (TensorAttr * n_in)()
        for i in range(n_in):
            attrs[i].index = i
            assert self.fenn.zornn_query(self.ctx, INPUT_ATTR, ctypes.byref(attrs[i]), 316) == 0
        attrs[index].n_dims = len(dims)
        for d, v in enumerate(dims):
            attrs[index].dims[d] = v
        return self.fenn.zornn_set_input_shapes(self.ctx, n_in, attrs)


@pytest.fixture(scope="module")
def fenn(libfenn_path, sim_npurt_path):
    # The loader reads ZOR_NPURT_PATH once per process; every in-process user
    # of libfenn in the test session names the same simulator.
    os.environ["ZOR_NPURT_PATH"] = str(sim_npurt_path)
    lib = ctypes.CDLL(str(libfenn_path))
    lib.zornn_init.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint32, ctypes.c_void_p]
    lib.zornn_query.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_void_p, ctypes.c_uint32]
    lib.zornn_inputs_set.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_void_p]
    lib.zornn_run.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    lib.zornn_outputs_get.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_void_p]
    lib.zornn_destroy.argtypes = [ctypes.c_void_p]
    lib.zornn_set_softop_opt.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32]
    lib.zornn_set_input_shapes.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_void_p]
    return lib


@pytest.fixture
def sim(fenn, sim_npurt_path):
    s = SimNpurt(sim_npurt_path)
    s.reset()
    yield s
    assert s.count("contexts") == 0, "a test left a context alive"


@pytest.fixture
def npu(fenn, sim):
    opened = []

    def open_model(path):
        n = Npu(fenn, path)
        opened.append(n)
        return n
    yield open_model
    for n in opened:
        n.close()


def argmax(values):
    return values.index(max(values))  # the first index wins a tie


def speech_bytes(frames):
    return b"\0" * (frames * 560 * 4)


def run_sensevoice(net, frames):
    assert net.set_inputs([speech_bytes(frames), struct.pack("<i", 0), struct.pack("<i", 14)]) == 0
    assert net.run() == 0
    rc, out = net.output()
    assert rc == 0
    return out


@pytest.mark.parametrize("layout", ["frame_major", "vocab_major"])
def test_sensevoice_logits_spell_the_script_and_follow_the_frame_count(tmp_path, npu, sim, layout):
    tokens = [1001, 1002, 1003, 1004, 5, 5, 9]
    net = npu(sensevoice_model(tmp_path / "sv.model", tokens=tokens, vocab=1024, layout=layout))
    assert net.init_rc == 0
    assert net.in_out() == (3, 1)
    t_major = [1, 804, 1024] if layout == "frame_major" else [1, 1024, 804]
    assert net.dims(OUTPUT_ATTR) == t_major
    # A new speech shape changes the logits' frame count: frames + 4.
    assert net.resize(0, [1, 30, 560]) == 0
    assert net.dims(INPUT_ATTR, 0) == [1, 30, 560]
    rc, attr = net.attr(INPUT_ATTR, 0)
    assert (attr.n_elems, attr.size) == (30 * 560, 30 * 560 * 4)
    out = run_sensevoice(net, 30)
    assert out.size == 34 * 1024 * 4
    values = net.floats(out)
    if layout == "frame_major":
        rows = [values[t * 1024:(t + 1) * 1024] for t in range(34)]
    else:
        rows = [[values[v * 34 + t] for v in range(1024)] for t in range(34)]
    path = [argmax(r) for r in rows]
    assert path[:8] == [1001, 1002, 1003, 1004, 5, 0, 5, 9]
    assert set(path[8:]) == {0}
    assert sim.record("shapes") == b"0:[1,30,560] 1:[1] 2:[1]\n"


def test_sensevoice_records_inputs_and_refuses_short_ones(tmp_path, npu, sim):
    net = npu(sensevoice_model(tmp_path / "sv.model", frames=4, speech_type="INT8"))
    speech = bytes(range(256)) * 8 + bytes(range(192))
    assert len(speech) == 4 * 560
    assert net.set_inputs([speech, struct.pack("<i", 7), struct.pack("<i", 15)]) == 0
    assert net.run() == 0
    assert sim.record("speech") == speech and sim.record("input0") == speech
    assert sim.int32s("language") == [7] and sim.int32s("text_norm") == [15]
    # One byte short of the tensor: the run is refused and counted.
    assert net.set_inputs([speech[:-1], struct.pack("<i", 7), struct.pack("<i", 15)]) == 0
    assert net.run() != 0
    assert sim.count("input_size_errors") == 1
    assert b"has 2239 bytes" in sim.record("last_error")
    assert sim.calls() == ["zornn_init", "zornn_inputs_set", "zornn_run",
                           "zornn_inputs_set", "zornn_run"]


def test_outputs_need_a_run_and_belong_to_the_context(tmp_path, npu, sim):
    net = npu(sensevoice_model(tmp_path / "sv.model", frames=4, tokens=[3]))
    rc, _ = net.output()
    assert rc != 0  # nothing has run yet
    first = run_sensevoice(net, 4)
    assert first.buf and first.size == 8 * 1024 * 4
    assert argmax(net.floats(first, 0, 1024)) == 3
    # The time spent inside the entry points adds up until a reset.
    busy = sim.count("busy_ns")
    assert busy > 0
    run_sensevoice(net, 4)
    assert sim.count("busy_ns") > busy
    sim.reset()
    assert sim.count("busy_ns") == 0
    # Unknown handles are refused, not dereferenced.
    bogus = ctypes.c_void_p(0x1000)
    assert net.fenn.zornn_run(bogus, None) == -1
    assert net.fenn.zornn_destroy(bogus) == -1


def test_prepared_output_is_fixed_at_load(tmp_path, npu, sim):
    path = write_model(tmp_path / "p.model", "prepared",
                       [tensor("speech", (1, 800, 560)), tensor("a", (1,), "INT32"),
                        tensor("b", (1,), "INT32")],
                       output=tensor("logits", (1, 1025, 93)), vocab=1025,
                       layout="vocab_major", tokens=[11, 12])
    net = npu(path)
    out = run_sensevoice(net, 800)
    assert out.size == 1025 * 93 * 4
    values = net.floats(out)
    assert argmax([values[v * 93 + 0] for v in range(1025)]) == 11
    assert argmax([values[v * 93 + 1] for v in range(1025)]) == 12
    # The same data on every run, however the inputs change.
    again = run_sensevoice(net, 800)
    assert net.floats(again) == values


def mel_input(seed):
    data = (ctypes.c_float * MEL_FLOATS)()
    for i in range(0, MEL_FLOATS, 997):
        data[i] = float((i * seed) % 101) / 7.0
    return bytes(data)


def window(*tokens):
    slots = list(tokens) + [0] * (48 - len(tokens))
    return struct.pack("<48q", *slots)


def decoder_step(net, features, tokens, tokens_first=True):
    bufs = [window(*tokens), features] if tokens_first else [features, window(*tokens)]
    assert net.set_inputs(bufs) == 0
    assert net.run() == 0
    rc, out = net.output()
    assert rc == 0 and out.size == 48 * VOCAB * 4
    n = len(tokens)
    return argmax(net.floats(out, (n - 1) * VOCAB, VOCAB))


@pytest.mark.parametrize("tokens_first", [True, False])
def test_whisper_encoder_and_decoder(tmp_path, npu, sim, tokens_first):
    enc = npu(whisper_encoder_model(tmp_path / "enc.model", feature_dims=(1, 1500, 4)))
    dec = npu(whisper_decoder_model(tmp_path / "dec.model", tokens=[400, 401, 402],
                                    language_token=50261, tokens_first=tokens_first,
                                    feature_dims=(1, 1500, 4),
                                    translate_tokens=[900]))
    mel = mel_input(3)
    assert enc.set_inputs([mel]) == 0 and enc.run() == 0
    rc, out = enc.output()
    assert rc == 0 and out.size == 1500 * 4 * 4
    features = ctypes.string_at(out.buf, out.size)
    assert sim.record("encoder_input") == mel and sim.record("encoder_output") == features
    # The features depend on the input.
    assert enc.set_inputs([mel_input(5)]) == 0 and enc.run() == 0
    rc, out = enc.output()
    assert ctypes.string_at(out.buf, out.size) != features
    features = ctypes.string_at(out.buf, out.size)

    # Language detection: only the start token.
    assert decoder_step(dec, features, [50258], tokens_first) == 50261
    prompt = [50258, 50261, 50360, 50364]
    seq = list(prompt)
    answers = []
    while True:
        t = decoder_step(dec, features, seq, tokens_first)
        answers.append(t)
        if t == 50257:
            break
        seq.append(t)
    assert answers == [400, 401, 402, 50257]
    # Translation follows its own script.
    assert decoder_step(dec, features, [50258, 50261, 50359, 50364], tokens_first) == 900
    assert sim.count("decoder_feature_mismatches") == 0
    windows = sim.decoder_windows()
    assert windows[0] == [50258] + [0] * 47
    assert windows[-1][:4] == [50258, 50261, 50359, 50364]
    assert sim.record("decoder_features") == features
    # Features that are not the encoder's last output are noticed.
    altered = bytes([features[0] ^ 1]) + features[1:]
    decoder_step(dec, altered, [50258], tokens_first)
    assert sim.count("decoder_feature_mismatches") == 1


def test_whisper_decoder_that_never_ends(tmp_path, npu, sim):
    enc = npu(whisper_encoder_model(tmp_path / "enc.model", feature_dims=(1, 10, 2)))
    dec = npu(whisper_decoder_model(tmp_path / "dec.model", tokens=[7, 8], never_end=True,
                                    feature_dims=(1, 10, 2)))
    assert enc.set_inputs([mel_input(1)]) == 0 and enc.run() == 0
    _, out = enc.output()
    features = ctypes.string_at(out.buf, out.size)
    seq = [50258, 50259, 50360, 50364]
    got = []
    while len(seq) < 48:
        got.append(decoder_step(dec, features, seq))
        seq.append(got[-1])
    assert got[:4] == [7, 8, 7, 8] and 50257 not in got
    # Only the last valid row carries a winner; the row read before is reset.
    assert dec.set_inputs([window(50258), features]) == 0 and dec.run() == 0
    _, out = dec.output()
    assert max(dec.floats(out, 47 * VOCAB, VOCAB)) == 0.0


@pytest.mark.parametrize("logits_type", ["FP16", "INT4"])
def test_typed_decoder_logits_follow_every_run(tmp_path, npu, sim, logits_type):
    # The decoder's typed output is kept between runs and changed where the
    # winners moved: whichever form each fetch asks for, it holds exactly
    # the winner of the last run.
    dec = npu(whisper_decoder_model(tmp_path / "dec.model", tokens=[7, 8, 9],
                                    feature_dims=(1, 10, 2), logits_type=logits_type))
    features = bytes(80)
    script = [50258, 50259, 50360, 50364, 7, 8, 9]
    for n, want_float in [(4, 1), (5, 0), (6, 0), (7, 1), (5, 1), (4, 0), (4, 0)]:
        assert dec.set_inputs([window(*script[:n]), features]) == 0 and dec.run() == 0
        rc, out = dec.output(want_float=want_float)
        assert rc == 0
        data = ctypes.string_at(out.buf, out.size)
        if want_float:
            values = np.frombuffer(data, np.float32)
        elif logits_type == "FP16":
            values = np.frombuffer(data, np.float16).astype(np.float32)
        else:  # two signed nibbles a byte, the even element low
            packed = np.frombuffer(data, np.uint8)
            nibbles = np.stack([packed & 0xF, packed >> 4], axis=1).reshape(-1).astype(np.int8)
            values = np.where(nibbles >= 8, nibbles - 16, nibbles).astype(np.float32)
        assert values.size == 48 * VOCAB
        winner = script[n] if n < len(script) else 50257
        assert np.flatnonzero(values).tolist() == [(n - 1) * VOCAB + winner]


def test_whisper_decoder_varying_its_script_by_the_audio(tmp_path, npu, sim):
    dec = npu(whisper_decoder_model(tmp_path / "dec.model", tokens=list(range(1000, 1050)),
                                    never_end=True, feature_dims=(1, 10, 2),
                                    extra_lines=["vary_script 1"]))
    prompt = [50258, 50259, 50360, 50364]
    first = {}
    for seed in range(6):
        features = struct.pack("<20f", *[seed + i * 0.5 for i in range(20)])
        first[seed] = [decoder_step(dec, features, prompt), decoder_step(dec, features, prompt)]
        assert first[seed][0] == first[seed][1]  # the same audio, the same answer
        assert first[seed][0] in range(1000, 1050)
    assert len({answers[0] for answers in first.values()}) > 1


def test_call_faults(tmp_path, npu, sim):
    path = sensevoice_model(tmp_path / "f.model", frames=4,
                            fail={"zornn_run": [2, "4+"], "zornn_query": "all"})
    net = npu(path)
    assert net.init_rc == 0
    assert net.attr(INPUT_ATTR)[0] != 0
    results = []
    for _ in range(5):
        net.set_inputs([speech_bytes(4), struct.pack("<i", 0), struct.pack("<i", 0)])
        results.append(net.run())
    assert [r == 0 for r in results] == [True, False, True, False, False]
    # Several call numbers on one line add up as separate lines do.
    one_line = npu(sensevoice_model(tmp_path / "g.model", frames=4,
                                    extra_lines=["fail zornn_run 1 3 5+"]))
    results = []
    for _ in range(6):
        one_line.set_inputs([speech_bytes(4), struct.pack("<i", 0), struct.pack("<i", 0)])
        results.append(one_line.run())
    assert [r == 0 for r in results] == [False, True, False, True, False, False]
    for function in ("zornn_inputs_set", "zornn_outputs_get", "zornn_set_softop_opt",
                     "zornn_set_input_shapes"):
        p = sensevoice_model(tmp_path / f"{function}.model", frames=4, fail={function: 1})
        n = npu(p)
        if function == "zornn_inputs_set":
            assert n.set_inputs([speech_bytes(4), b"\0" * 4, b"\0" * 4]) != 0
        elif function == "zornn_outputs_get":
            run_sensevoice_rc = n.set_inputs([speech_bytes(4), b"\0" * 4, b"\0" * 4])
            assert run_sensevoice_rc == 0 and n.run() == 0
            assert n.output()[0] != 0 and n.output()[0] == 0  # only the first call
        elif function == "zornn_set_softop_opt":
            opt = (ctypes.c_int32 * 2)(0x7FFFFFFF, 0)
            assert n.fenn.zornn_set_softop_opt(n.ctx, opt, 1) != 0
        else:
            assert n.resize(0, [1, 8, 560]) != 0 and n.resize(0, [1, 8, 560]) == 0
    # An injected destroy failure still releases the context.
    d = npu(sensevoice_model(tmp_path / "d.model", fail={"zornn_destroy": "all"}))
    assert d.fenn.zornn_destroy(d.ctx) != 0
    d.ctx = ctypes.c_void_p()
    assert sim.count("contexts") == len([n for n in [net, one_line] if n.ctx]) + 4


def test_init_faults(tmp_path, npu, sim, capfd):
    assert npu(sensevoice_model(tmp_path / "a.model", fail={"zornn_init": 2})).init_rc == 0
    second = npu(tmp_path / "a.model")
    assert second.init_rc != 0 and not second.ctx
    null = npu(sensevoice_model(tmp_path / "b.model", init_null_handle=True))
    assert null.init_rc == 0 and not null.ctx
    bad = tmp_path / "bad.model"
    bad.write_text("behaviour sensevoice\nwibble 3\n")
    capfd.readouterr()
    assert npu(bad).init_rc != 0
    err = capfd.readouterr().err
    assert err.startswith("[npurt_sim] ") and "unknown key 'wibble'" in err
    assert npu(tmp_path / "missing.model").init_rc != 0
    assert capfd.readouterr().err == ""  # a missing file is refused silently
    assert b"cannot open" in sim.record("last_error")


@pytest.mark.parametrize("fault, size", [("null", None), ("empty", 0), ("misaligned", 8 * 1024 * 4 - 2),
                                         ("short", 8 * 1024 * 4 - 4)])
def test_output_faults(tmp_path, npu, sim, fault, size):
    net = npu(sensevoice_model(tmp_path / "o.model", frames=4, output_fault=(fault, 2)))
    assert run_sensevoice(net, 4).size == 8 * 1024 * 4  # the first call is whole
    out = run_sensevoice(net, 4)
    if fault == "null":
        assert not out.buf
    else:
        assert out.buf and out.size == size


def test_output_bytes_caps_the_reported_size(tmp_path, npu, sim):
    net = npu(sensevoice_model(tmp_path / "o.model", frames=4, output_bytes=1000))
    assert run_sensevoice(net, 4).size == 1000


@pytest.mark.parametrize("out_type, check, tolerance", [
    ("FP16", lambda x: float(np.float16(x)), 1e-9),
    ("INT8", lambda x: max(-128, min(127, round(x / 0.05))) * 0.05, 0.0251),  # halves may differ
])
def test_typed_outputs_come_as_floats_through_the_type_or_as_elements(tmp_path, npu, sim,
                                                                     out_type, check, tolerance):
    scale = 0.05 if out_type == "INT8" else None
    path = sensevoice_model(tmp_path / "t.model", frames=4, tokens=[7],
                            output=tensor("logits", (1, 8, 1024), out_type, scale=scale))
    net = npu(path)
    rc, attr = net.attr(OUTPUT_ATTR)
    assert rc == 0 and attr.type == {"FP16": 1, "INT8": 2}[out_type]
    out = run_sensevoice(net, 4)
    assert out.size == 8 * 1024 * 4  # want_float: float32 whatever the type
    values = net.floats(out)
    exact = write_model(tmp_path / "f.model", "sensevoice",
                        [tensor("s", (1, 4, 560)), tensor("a", (1,), "INT32"),
                         tensor("b", (1,), "INT32")], vocab=1024, tokens=[7])
    reference = net.floats(run_sensevoice(npu(exact), 4))
    assert values == pytest.approx([check(x) for x in reference], abs=tolerance)
    assert argmax(values[:1024]) == 7
    rc, raw = net.output(want_float=0)
    width = {"FP16": 2, "INT8": 1}[out_type]
    assert rc == 0 and raw.size == 8 * 1024 * width == attr.size
    data = ctypes.string_at(raw.buf, raw.size)
    if out_type == "FP16":
        assert [float(v) for v in np.frombuffer(data, np.float16)] == values
    else:
        assert [v * 0.05 for v in np.frombuffer(data, np.int8)] == pytest.approx(values)


@pytest.mark.parametrize("speech_type, scale, zp, encode", [
    ("FP16", None, None, lambda v: v.astype(np.float16).tobytes()),
    ("BF16", None, None, lambda v: (v.astype(np.float32).view(np.uint32) >> 16)
     .astype(np.uint16).tobytes()),
    ("INT16", 0.25, 3, lambda v: (np.round(v / 0.25) + 3).astype(np.int16).tobytes()),
])
def test_speech_values_are_read_in_the_inputs_type(tmp_path, npu, sim, speech_type, scale, zp,
                                                   encode):
    net = npu(sensevoice_model(tmp_path / "s.model", frames=4, speech_type=speech_type,
                               scale=scale, zp=zp))
    values = (np.arange(4 * 560, dtype=np.float32) % 37) * 0.5 - 4.0
    assert net.set_inputs([encode(values), struct.pack("<i", 0), struct.pack("<i", 14)]) == 0
    assert net.run() == 0
    got = np.frombuffer(sim.record("speech_values"), np.float32)
    assert got.tolist() == values.tolist()


def test_query_faults_hit_one_kind_of_query(tmp_path, npu, sim):
    net = npu(sensevoice_model(tmp_path / "q.model", frames=4,
                               query_fault={"OUTPUT_ATTR": "2+"}))
    assert net.attr(INPUT_ATTR)[0] == 0 and net.in_out() == (3, 1)
    assert net.attr(OUTPUT_ATTR)[0] == 0
    assert net.attr(OUTPUT_ATTR)[0] != 0 and net.attr(OUTPUT_ATTR)[0] != 0
    assert net.attr(INPUT_ATTR, 2)[0] == 0


def test_output_frames_beyond_the_speech_are_declared(tmp_path, npu, sim):
    net = npu(sensevoice_model(tmp_path / "x.model", frames=1200, vocab=25055,
                               output_extra_frames=0))
    assert net.dims(OUTPUT_ATTR) == [1, 1200, 25055]
    net = npu(sensevoice_model(tmp_path / "y.model", frames=1200, vocab=25055))
    assert net.dims(OUTPUT_ATTR) == [1, 1204, 25055]
