"""The simulated runtimes can never stand in for the board's by accident:
nothing the package installs carries a runtime's own name, and libfenn's
search path holds nothing but its own folder, so with ZOR_NPURT_PATH unset
the name libnpurt.so is left to the system's loader."""
import os
import subprocess
import sys
import textwrap

from conftest import build_shared_library

RUNTIME_NAMES = {"libnpurt.so", "liblumo.so"}

DECOY_RUNTIME = "".join(
    f"int {name}(void) {{ return 42; }}\n"
    for name in ("zornn_init", "zornn_query", "zornn_inputs_set", "zornn_run",
                 "zornn_outputs_get", "zornn_destroy", "zornn_set_softop_opt",
                 "zornn_set_input_shapes"))


def test_no_installed_file_carries_a_runtime_name(pkg_dir):
    found = [os.path.join(root, f) for root, _, files in os.walk(pkg_dir)
             for f in files if f in RUNTIME_NAMES]
    assert found == []


def test_libfenn_searches_only_its_own_folder(libfenn_path):
    dynamic = subprocess.run(["readelf", "-d", str(libfenn_path)], capture_output=True,
                             text=True, check=True).stdout
    paths = [line.split("[", 1)[1].rstrip("]") for line in dynamic.splitlines()
             if "(RUNPATH)" in line or "(RPATH)" in line]
    # An empty entry would mean the current directory.
    assert [p.split(":") for p in paths] == [["$ORIGIN"]]


def test_default_runtime_name_is_not_found_in_the_working_directory(tmp_path, libfenn_path):
    decoy = build_shared_library(tmp_path, "npurt", DECOY_RUNTIME)
    os.rename(decoy, tmp_path / "libnpurt.so")
    code = textwrap.dedent(f"""\
        import ctypes
        fenn = ctypes.CDLL({str(libfenn_path)!r})
        handle = ctypes.c_void_p()
        print(fenn.zornn_init(ctypes.byref(handle), b"model", 0, None))
        """)
    # The caller's LD_LIBRARY_PATH is not libfenn's (an empty entry in it
    # would name the working directory).
    env = {k: v for k, v in os.environ.items() if k not in ("ZOR_NPURT_PATH", "LD_LIBRARY_PATH")}
    proc = subprocess.run([sys.executable, "-c", code],
                          capture_output=True, text=True, cwd=tmp_path, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "-1"
    assert '[fenn] dlopen("libnpurt.so") failed:' in proc.stderr
