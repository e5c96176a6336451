import os
from typing import NotRequired, TypedDict, Union

_StrOrBytesPath = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_Text = Union[str, bytes]

class Segment(TypedDict):
    start: float
    end: float
    text: str

class Transcript(TypedDict):
    text: str
    language: str
    segments: NotRequired[list[Segment]]  # with timestamps=True
    emotion: NotRequired[str]  # with timestamps=True, SenseVoice only
    event: NotRequired[str]  # with timestamps=True, SenseVoice only

def find_fenn_path() -> str: ...

class Fenn:
    def __init__(self, lib_path: _StrOrBytesPath | None = None) -> None: ...
    def init(
        self,
        backend: str | None,
        model_path: _StrOrBytesPath,
        tokenizer_path: _StrOrBytesPath,
        decoder_path: _StrOrBytesPath | None = None,
        extra_json: _Text | None = None,
    ) -> None: ...
    def transcribe(
        self,
        wav_path: _StrOrBytesPath,
        language: _Text | None = "auto",
        task: _Text | None = "transcribe",
        *,
        timestamps: bool = False,
    ) -> Transcript: ...
    def close(self) -> None: ...
