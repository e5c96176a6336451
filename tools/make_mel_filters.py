#!/usr/bin/env python3
"""Write the mel filter bank file ("data.bin") that the Whisper engine reads.

The file holds 128 x 201 float32 values, little-endian, row-major by mel bin
(the weight of FFT bin k in mel bin j is value j * 201 + k), and nothing else.

Two sources:

  --asset ARCHIVE   take the `mel_128` filters shipped in assets/mel_filters.npz
                    of the openai-whisper package. ARCHIVE is the package's
                    sdist (.tar.gz) or wheel (.whl) as fetched by
                    `pip download --no-deps openai-whisper`, or the .npz itself.
                    Nothing is installed or imported from the package.
  (no --asset)      compute the same filters with numpy: Slaney-scale mel
                    triangles with Slaney area normalisation, 128 bins,
                    0..8000 Hz, n_fft 400, 16 kHz.

Usage:
  python3 tools/make_mel_filters.py -o data_bin/data.bin
  python3 tools/make_mel_filters.py --asset openai_whisper-*.tar.gz -o data_bin/data.bin
"""
import argparse
import io
import pathlib
import sys
import tarfile
import zipfile

import numpy as np

N_MELS = 128
N_FFT = 400
SAMPLE_RATE = 16000
ASSET_NAME = "assets/mel_filters.npz"


def hz_to_mel(freqs):
    """Slaney mel scale: linear below 1 kHz, logarithmic above."""
    freqs = np.asarray(freqs, dtype=np.float64)
    f_sp = 200.0 / 3
    mels = freqs / f_sp
    min_log_hz = 1000.0
    min_log_mel = min_log_hz / f_sp
    logstep = np.log(6.4) / 27.0
    log_part = freqs >= min_log_hz
    mels = np.where(log_part, min_log_mel + np.log(np.maximum(freqs, min_log_hz) / min_log_hz) / logstep, mels)
    return mels


def mel_to_hz(mels):
    mels = np.asarray(mels, dtype=np.float64)
    f_sp = 200.0 / 3
    freqs = f_sp * mels
    min_log_hz = 1000.0
    min_log_mel = min_log_hz / f_sp
    logstep = np.log(6.4) / 27.0
    log_part = mels >= min_log_mel
    return np.where(log_part, min_log_hz * np.exp(logstep * (mels - min_log_mel)), freqs)


def compute_mel_filters(n_mels=N_MELS, n_fft=N_FFT, sr=SAMPLE_RATE, fmin=0.0, fmax=None):
    """Triangular filters on the Slaney mel scale, each scaled to unit area
    (2 / bandwidth in Hz), computed in float64 and returned as float32."""
    fmax = sr / 2.0 if fmax is None else fmax
    fft_freqs = np.linspace(0.0, sr / 2.0, 1 + n_fft // 2)
    mel_points = mel_to_hz(np.linspace(hz_to_mel(fmin), hz_to_mel(fmax), n_mels + 2))
    widths = np.diff(mel_points)
    ramps = np.subtract.outer(mel_points, fft_freqs)
    weights = np.zeros((n_mels, len(fft_freqs)), dtype=np.float64)
    for i in range(n_mels):
        lower = -ramps[i] / widths[i]
        upper = ramps[i + 2] / widths[i + 1]
        weights[i] = np.maximum(0.0, np.minimum(lower, upper))
    weights *= (2.0 / (mel_points[2:n_mels + 2] - mel_points[:n_mels]))[:, None]
    return weights.astype(np.float32)


def read_npz_bytes(archive: pathlib.Path) -> bytes:
    """The bytes of assets/mel_filters.npz from an sdist, a wheel or the file itself."""
    name = archive.name
    if name.endswith(".npz"):
        return archive.read_bytes()
    if name.endswith(".whl") or name.endswith(".zip"):
        with zipfile.ZipFile(archive) as zf:
            members = [m for m in zf.namelist() if m.endswith(ASSET_NAME)]
            if members:
                return zf.read(members[0])
    else:
        with tarfile.open(archive) as tf:
            members = [m for m in tf.getmembers() if m.name.endswith(ASSET_NAME) and m.isfile()]
            if members:
                return tf.extractfile(members[0]).read()
    raise SystemExit(f"make_mel_filters: no {ASSET_NAME} in {archive}")


def shipped_mel_filters(archive: pathlib.Path, n_mels=N_MELS):
    with np.load(io.BytesIO(read_npz_bytes(archive))) as npz:
        key = f"mel_{n_mels}"
        if key not in npz.files:
            raise SystemExit(f"make_mel_filters: {archive} has no {key} filters")
        return np.asarray(npz[key], dtype=np.float32)


def write_filters(weights, out: pathlib.Path):
    weights = np.ascontiguousarray(weights, dtype="<f4")
    if weights.shape != (N_MELS, N_FFT // 2 + 1):
        raise SystemExit(f"make_mel_filters: filters are {weights.shape}, expected (128, 201)")
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_bytes(weights.tobytes())


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Write the 128 x 201 float32 mel filter file (data.bin) for the Whisper engine.",
        epilog=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-o", "--output", default="data_bin/data.bin", type=pathlib.Path,
                        help="file to write (default: data_bin/data.bin)")
    parser.add_argument("--asset", type=pathlib.Path,
                        help="openai-whisper sdist/wheel (or mel_filters.npz) to take mel_128 from; "
                             "without it the filters are computed")
    args = parser.parse_args(argv)
    weights = shipped_mel_filters(args.asset) if args.asset else compute_mel_filters()
    write_filters(weights, args.output)
    print(f"wrote {args.output} ({weights.size * 4} bytes, {'shipped' if args.asset else 'computed'} filters)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
