"""Install the `test` extra's requirements that have a wheel for this
interpreter, and leave out, with a note, those that have none.

A free-threaded interpreter is the reason: some requirements publish no build
for it, and building one from source would take longer than the suite (or a
toolchain from outside the package index). The tests that need what is left
out skip. mypy is left out too: type checking is `make test`'s.

Used by scripts/test_ft.sh and by the free-threaded venvs of the wheel tests.

usage: python install_test_requirements.py [--pyproject FILE] [--known-missing FILE]

--known-missing names a file that lists, one per line, the requirements found
without a wheel before; they are not tried again, and new ones are added.
"""

from __future__ import annotations

import argparse
import pathlib
import platform
import subprocess
import sys
import sysconfig
import tomllib


def install(requirements: list[str]) -> bool:
    command = [sys.executable, "-m", "pip", "install", "-q", "--only-binary=:all:", *requirements]
    return subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    here = pathlib.Path(__file__).resolve().parent
    parser.add_argument("--pyproject", type=pathlib.Path, default=here.parent / "pyproject.toml")
    parser.add_argument("--known-missing", type=pathlib.Path)
    options = parser.parse_args()

    with options.pyproject.open("rb") as file:
        extra = tomllib.load(file)["project"]["optional-dependencies"]["test"]
    known = options.known_missing
    missing = set(known.read_text().split("\n")) - {""} if known and known.exists() else set()
    wanted = [r for r in extra if not r.startswith("mypy") and r not in missing]
    # One pip call for all of them; one by one only when that fails.
    if not install(wanted):
        missing.update(r for r in wanted if not install([r]))
    if known:
        known.write_text("".join(r + "\n" for r in sorted(missing)))
    if missing:
        build = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
        print(f"no wheel for {platform.python_version()}{build}:",
              " ".join(sorted(missing)), "(their tests skip)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
