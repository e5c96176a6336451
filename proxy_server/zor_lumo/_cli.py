"""The `fenn` console script: runs the command-line transcriber shipped in
this package (bin/fenn, next to libfenn.so) with the same arguments."""
import os
import pathlib
import sys


def fenn_program() -> pathlib.Path:
    # Not resolved: in a build tree this file is a link to the sources, while
    # the program sits next to the link.
    return pathlib.Path(os.path.abspath(__file__)).parent / "bin" / "fenn"


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
