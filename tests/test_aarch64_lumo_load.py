"""On the board, _lumo opens the LLM runtime liblumo.so from the folder of
its own module file, with no environment variable involved. These tests put
the simulated runtime there (in a copy of the package, so the installed one
stays untouched) and check what a fresh interpreter makes of it."""
import os
import pathlib
import platform
import shutil
import subprocess
import sys

import pytest

from lumo_script import Script, SimLog

pytestmark = pytest.mark.skipif(
    platform.machine() != "aarch64",
    reason="only the aarch64 build opens liblumo.so next to the module; "
           "elsewhere _lumo loads a runtime only through ZOR_LUMO_PATH")


@pytest.fixture
def package_copy(tmp_path, pkg_dir):
    """A copy of the package under tmp_path/site; returns (site, package)."""
    site = tmp_path / "site"
    package = site / "zorllm_openai_server" / "zor_lumo"
    shutil.copytree(pkg_dir, package, symlinks=False,
                    ignore=shutil.ignore_patterns("__pycache__"))
    (package / "liblumo.so").unlink(missing_ok=True)
    return site, package


def run_in_copy(site: pathlib.Path, code: str, **extra_env) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if k != "ZOR_LUMO_PATH"}
    env["PYTHONPATH"] = str(site)
    env.update(extra_env)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, timeout=300)


GENERATE = """
import pathlib
from zorllm_openai_server.zor_lumo import _lumo
# The copy is what was imported, not the installed package.
assert pathlib.Path(_lumo.__file__).resolve().parent == pathlib.Path({package!r}).resolve(), _lumo.__file__
lumo = _lumo.LUMO()
assert lumo.init({model!r}) == 0, "init failed"
result = lumo.run(prompt_input="hi")
print(repr(result["text"]))
assert lumo.uninit() == 0
"""


def test_runtime_next_to_the_module_is_loaded_without_an_override(package_copy, sim_lumo_path,
                                                                  tmp_path):
    site, package = package_copy
    shutil.copy2(sim_lumo_path, package / "liblumo.so")
    script = Script()
    script.run().text("board ").text("runtime")
    model = script.write(tmp_path / "model.json")
    log = SimLog(tmp_path / "sim.log")

    proc = run_in_copy(site, GENERATE.format(package=str(package), model=str(model)),
                       ZOR_LUMO_SIM_LOG=str(log.path))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == repr("board runtime")
    # The calls reached the simulated runtime itself.
    assert log.last("zor_llm_run")["input"]["prompt_input"] == "hi"


def test_missing_runtime_next_to_the_module_is_a_load_failure(package_copy):
    site, package = package_copy
    proc = run_in_copy(site, """
from zorllm_openai_server.zor_lumo._lumo import LUMO
try:
    LUMO()
except RuntimeError as e:
    print("RuntimeError:", e)
else:
    print("constructed")
""")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip().startswith(f"RuntimeError: Cannot load liblumo.so: {package.resolve() / 'liblumo.so'}: ")


def test_library_without_the_entry_points_is_refused(package_copy, sim_npurt_path):
    # A loadable library that is not the LLM runtime (here the simulated NPU
    # runtime) must not leave a half-filled table behind.
    site, package = package_copy
    shutil.copy2(sim_npurt_path, package / "liblumo.so")
    proc = run_in_copy(site, """
from zorllm_openai_server.zor_lumo._lumo import LUMO
for _ in range(2):
    try:
        LUMO()
    except RuntimeError as e:
        print("RuntimeError:", e)
""")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.split("\n")[:2]
    assert lines[0] == lines[1], lines
    assert lines[0].startswith("RuntimeError: Cannot load liblumo.so: ") and ": entry point zor_llm_" in lines[0], lines


def test_override_still_wins_over_the_packaged_runtime(package_copy, sim_lumo_path, tmp_path):
    # ZOR_LUMO_PATH names another file: the packaged liblumo.so is not used.
    site, package = package_copy
    shutil.copy2(sim_lumo_path, package / "liblumo.so")
    proc = run_in_copy(site, """
from zorllm_openai_server.zor_lumo._lumo import LUMO
try:
    LUMO()
except RuntimeError as e:
    print("RuntimeError:", e)
""", ZOR_LUMO_PATH=str(tmp_path / "missing.so"))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip().startswith(f"RuntimeError: Cannot load liblumo.so: {tmp_path / 'missing.so'}: ")
