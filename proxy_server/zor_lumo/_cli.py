"""The `fenn` console script: runs the command-line transcriber shipped in
this package (bin/fenn, next to libfenn.so) with the same arguments."""
import os
import pathlib
import sys


def fenn_program() -> pathlib.Path:
    return pathlib.Path(__file__).resolve().parent / "bin" / "fenn"


def main() -> None:
    program = fenn_program()
    if not os.access(program, os.X_OK):
        sys.stderr.write(f"fenn: the transcriber is missing from the package: {program}\n")
        sys.exit(1)
    # Replace this interpreter: signals, exit status and the standard streams
    # are then the program's own.
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(program, [str(program), *sys.argv[1:]])


if __name__ == "__main__":
    main()
