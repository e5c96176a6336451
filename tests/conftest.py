"""Fixtures shared by the Python tests.

The tests run against the package zorllm_openai_server.zor_lumo wherever it
is importable from: installed in a virtual environment (scripts/test), or
staged in a build tree (PYTHONPATH=build/<dir>/python). Everything the tests
need besides the package (WAV files, model descriptions for the simulated
NPU, scripts for the simulated LLM runtime, fake libraries) they build
themselves.
"""
import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

PACKAGE = "zorllm_openai_server.zor_lumo"
REPO_ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

# Under user-mode emulation (the aarch64 stage) the emulator keeps memory for
# every thread that ever ran, so resident memory cannot show a leak there.
EMULATED = os.environ.get("ZOR_EMULATED") == "1"

# The runtimes and the simulators read ZOR_* variables (which library to load,
# where to log, which script to play). Ones left in the caller's environment
# would steer every test and every subprocess; tests set what they need.
# The download cache only says where downloads are kept.
for _name in [n for n in os.environ if n.startswith("ZOR_") and n != "ZOR_DOWNLOAD_CACHE"]:
    del os.environ[_name]


def package_dir() -> pathlib.Path:
    found = importlib.util.find_spec(PACKAGE)
    if found is None or not found.submodule_search_locations:
        raise RuntimeError(f"{PACKAGE} is not importable: install it or set PYTHONPATH")
    return pathlib.Path(list(found.submodule_search_locations)[0])


@pytest.fixture(scope="session")
def pkg_dir() -> pathlib.Path:
    return package_dir()


@pytest.fixture(scope="session")
def libfenn_path(pkg_dir) -> pathlib.Path:
    return pkg_dir / "libfenn.so"


@pytest.fixture(scope="session")
def sim_npurt_path(pkg_dir) -> pathlib.Path:
    """The simulated NPU runtime, to be named by ZOR_NPURT_PATH."""
    return pkg_dir / "sim" / "libzor_npurt_sim.so"


@pytest.fixture(scope="session")
def sim_lumo_path(pkg_dir) -> pathlib.Path:
    """The simulated LLM runtime, to be named by ZOR_LUMO_PATH."""
    return pkg_dir / "sim" / "libzor_lumo_sim.so"


@pytest.fixture(scope="session")
def fenn_bin(pkg_dir) -> pathlib.Path:
    return pkg_dir / "bin" / "fenn"


def run_python(code: str, env: dict | None = None, timeout: float = 300,
               check: bool = False) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter, for behaviour that is per process
    (a library loaded once, environment read at load time, signals)."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=full_env, timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError(f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


def build_shared_library(out_dir: pathlib.Path, name: str, source: str,
                         language: str = "c", flags: tuple = ()) -> pathlib.Path:
    """Compiles one C or C++ source text into out_dir/lib<name>.so, for fake
    libraries that stand in for a peer in a test."""
    ext = ".c" if language == "c" else ".cc"
    src = out_dir / f"{name}{ext}"
    src.write_text(source)
    lib = out_dir / f"lib{name}.so"
    compiler = os.environ.get("CC", "cc") if language == "c" else os.environ.get("CXX", "c++")
    cmd = [compiler, "-shared", "-fPIC", "-O1", "-o", str(lib), str(src),
           f"-I{REPO_ROOT / 'asr' / 'include'}", *flags]
    subprocess.run(cmd, check=True, capture_output=True, text=True)
    return lib
