#!/usr/bin/env python3
"""Write the vocabulary file ("tokenizer_info.bin") that the Whisper engine reads.

Input is a `.tiktoken` vocabulary: one token per line, the token's bytes in
base64, a space, and its rank (the token id). The openai-whisper package ships
one as assets/multilingual.tiktoken; pass the package's sdist (.tar.gz) or
wheel (.whl), as fetched by `pip download --no-deps openai-whisper`, or the
.tiktoken file itself. Nothing is installed or imported from the package.

Output, little-endian, no header: an i32 count, then for each id 0..count-1
a u32 byte length and the token's text without terminator. The text is the
token's bytes written in the byte-level BPE alphabet (each byte one code
point, printable bytes as themselves, the others from U+0100 on), UTF-8
encoded. Entry 50257 (end of text) is always written with length 0: the
reader takes no text bytes for it, and the engine names it itself. A
vocabulary that ends just before it gets it appended, so count is 50258 for
the shipped multilingual vocabulary.

Usage:
  python3 tools/make_tokenizer_info.py ARCHIVE_OR_TIKTOKEN -o tokenizer_info.bin
"""
import argparse
import base64
import pathlib
import struct
import sys
import tarfile
import zipfile

END_OF_TEXT_ID = 50257
DEFAULT_ASSET = "assets/multilingual.tiktoken"


def bytes_to_unicode():
    """Byte -> code point of byte-level BPE: printable bytes stand for
    themselves, the 68 others for 256, 257, ... in ascending byte order."""
    bs = list(range(33, 127)) + list(range(161, 173)) + list(range(174, 256))
    cs = bs[:]
    n = 0
    for b in range(256):
        if b not in bs:
            bs.append(b)
            cs.append(256 + n)
            n += 1
    return {b: chr(c) for b, c in zip(bs, cs)}


BYTE_ENCODER = bytes_to_unicode()


def bpe_text(token: bytes) -> bytes:
    """A token's bytes as its text in the BPE alphabet, UTF-8 encoded."""
    return "".join(BYTE_ENCODER[b] for b in token).encode("utf-8")


def read_tiktoken_text(source: pathlib.Path, member: str = DEFAULT_ASSET) -> bytes:
    name = source.name
    if name.endswith(".whl") or name.endswith(".zip"):
        with zipfile.ZipFile(source) as zf:
            found = [m for m in zf.namelist() if m.endswith(member)]
            if found:
                return zf.read(found[0])
    elif name.endswith((".tar.gz", ".tgz", ".tar")):
        with tarfile.open(source) as tf:
            found = [m for m in tf.getmembers() if m.name.endswith(member) and m.isfile()]
            if found:
                return tf.extractfile(found[0]).read()
    else:
        return source.read_bytes()
    raise SystemExit(f"make_tokenizer_info: no {member} in {source}")


def parse_tiktoken(data: bytes):
    """Token bytes by rank. Ranks must run 0..n-1 without gaps or repeats."""
    ranks = {}
    for lineno, line in enumerate(data.splitlines(), 1):
        if not line.strip():
            continue
        try:
            b64, rank = line.split()
            token = base64.b64decode(b64)  # lenient, like the format's own readers ("=" is an empty token)
            rank = int(rank)
        except ValueError as e:
            raise SystemExit(f"make_tokenizer_info: line {lineno}: {e}")
        if rank in ranks:
            raise SystemExit(f"make_tokenizer_info: line {lineno}: rank {rank} appears twice")
        ranks[rank] = token
    if sorted(ranks) != list(range(len(ranks))):
        raise SystemExit("make_tokenizer_info: ranks do not run 0..n-1 without gaps")
    return [ranks[i] for i in range(len(ranks))]


def encode_vocabulary(tokens) -> bytes:
    tokens = list(tokens)
    if len(tokens) == END_OF_TEXT_ID:
        tokens.append(b"")  # the end-of-text entry, carried with length 0
    out = [struct.pack("<i", len(tokens))]
    for token_id, token in enumerate(tokens):
        text = b"" if token_id == END_OF_TEXT_ID else bpe_text(token)
        out.append(struct.pack("<I", len(text)))
        out.append(text)
    return b"".join(out)


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Write tokenizer_info.bin for the Whisper engine from a .tiktoken vocabulary.",
        epilog=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("source", type=pathlib.Path,
                        help="openai-whisper sdist/wheel, or a .tiktoken file")
    parser.add_argument("-o", "--output", default="tokenizer_info.bin", type=pathlib.Path,
                        help="file to write (default: tokenizer_info.bin)")
    parser.add_argument("--member", default=DEFAULT_ASSET,
                        help=f"vocabulary inside the archive (default: {DEFAULT_ASSET})")
    args = parser.parse_args(argv)
    tokens = parse_tiktoken(read_tiktoken_text(args.source, args.member))
    data = encode_vocabulary(tokens)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_bytes(data)
    print(f"wrote {args.output} ({struct.unpack_from('<i', data)[0]} entries, {len(data)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
