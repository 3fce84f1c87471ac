"""Type stubs of the extension modules, made by nanobind's stub generator from the
modules themselves (their help-text signatures come from the argument binder's tables).

    python cmake/stubgen.py --source src --out DIR MODULE_FILE...

The built module files are copied beside a copy of the package sources, so that the
modules import as they do when installed; one <module>.pyi per module is written to
DIR. With --check, each stub is compared with the committed one in the package
sources instead, and any difference fails with a diff.
"""

from __future__ import annotations

import argparse
import difflib
import importlib.util
import os
import re
import shutil
import sys
import tempfile
from pathlib import Path

# The package folder of each extension module that gets a stub.
PACKAGE_OF = {
    "_pnl_engine": "tessary.backtest",
    "_prepare": "tessary.backtest",
    "_records": "tessary.backtest",
}
# Modules given only so that the package imports (the store imports its checksum).
STAGED_ONLY = {"_checksum": "tessary.store"}


def _module_name(path: Path) -> str:
    return path.name.split(".", 1)[0]


def _drop_missing_imports(text: str) -> str:
    """The generator reads dotted words inside default strings ('./a_report.png') as
    module names and imports them; such imports of modules that do not exist go."""

    def keep(line: str) -> bool:
        m = re.fullmatch(r"import ([\w.]+)", line)
        return not m or importlib.util.find_spec(m.group(1).split(".")[0]) is not None

    return "\n".join(line for line in text.split("\n") if keep(line))


def generate(source: Path, module_files: list[Path], out: Path) -> list[Path]:
    from nanobind.stubgen import main as stubgen

    out.mkdir(parents=True, exist_ok=True)
    written = []
    with tempfile.TemporaryDirectory() as stage:
        ignore = shutil.ignore_patterns("__pycache__", "*.so", "*.pyd", "*.pyi")
        shutil.copytree(source / "tessary", Path(stage, "tessary"), ignore=ignore)
        for path in module_files:
            package = PACKAGE_OF.get(_module_name(path)) or STAGED_ONLY.get(_module_name(path))
            if package:
                shutil.copy2(path, Path(stage, *package.split(".")))
        sys.path.insert(0, stage)
        # An editable install's finder would redirect the package to its own tree.
        sys.meta_path[:] = [f for f in sys.meta_path if "editable" not in type(f).__module__]
        for path in module_files:
            name = _module_name(path)
            if name not in PACKAGE_OF:
                continue
            target = out / f"{name}.pyi"
            # Values are left out: some (the vector width) depend on the processor.
            stubgen(["-q", "-P", "--exclude-values", "-m", f"{PACKAGE_OF[name]}.{name}", "-o", str(target)])
            target.write_text(_drop_missing_imports(target.read_text(encoding="utf-8")), encoding="utf-8")
            assert sys.modules[f"{PACKAGE_OF[name]}.{name}"].__file__.startswith(stage), "not the staged module"
            written.append(target)
    return written


def check(source: Path, generated: list[Path]) -> int:
    failed = 0
    for stub in generated:
        committed = source / "tessary" / "backtest" / stub.name
        old = committed.read_text(encoding="utf-8") if committed.exists() else ""
        new = stub.read_text(encoding="utf-8")
        if old != new:
            failed = 1
            sys.stdout.writelines(difflib.unified_diff(
                old.splitlines(True), new.splitlines(True), str(committed), f"generated {stub.name}"))
    if failed:
        print("the committed type stubs differ from the generated ones (copy them from the build tree)")
    return failed


def run(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", type=Path, required=True, help="the folder holding the tessary package")
    ap.add_argument("--out", type=Path, required=True, help="where the stubs are written")
    ap.add_argument("--check", action="store_true", help="compare with the committed stubs")
    ap.add_argument("modules", nargs="+", type=Path, help="the built extension module files")
    opt = ap.parse_args(argv)
    written = generate(opt.source.resolve(), [p.resolve() for p in opt.modules], opt.out.resolve())
    return check(opt.source.resolve(), written) if opt.check else 0


if __name__ == "__main__":
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    sys.exit(run())
