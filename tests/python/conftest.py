"""Helpers of the Python tests: the dialog program run on the same grid, and the
generator of synthetic contour images. CTest passes their paths in TOLVANE_BIN
and GENERA_BIN."""

import os
import subprocess

import numpy as np
import pytest

EXAMPLES = os.environ.get("TOLVANE_EXAMPLES", os.path.join(os.path.dirname(__file__), "..", "..", "examples"))


def _tool(name):
    path = os.environ.get(name)
    if not path or not os.path.exists(path):
        pytest.fail(f"{name} must name the built program (CTest sets it)")
    return path


def dialog(folder, grid, lowest, highest, interval, smoothing=1):
    """The _m4.raw the dialog program writes for grid and these answers."""
    rows, columns = grid.shape
    images = folder / "images" / "caso"
    images.mkdir(parents=True, exist_ok=True)
    grid.astype("<i4").tofile(images / "g_c4.raw")
    (images / "g_c4.txt").write_text(f"{rows}\n{columns}\n4\n0\n0\n1\n")
    answers = f"caso g 0 {lowest} {highest} {interval} {smoothing}\n"
    run = subprocess.run([_tool("TOLVANE_BIN")], input=answers, text=True, cwd=folder,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    assert run.returncode == 0, run.stdout[-2000:]
    return np.fromfile(images / "g_m4.raw", dtype="<i4").reshape(rows, columns)


def generated(folder, rows, columns, levels, interval, seed):
    """A synthetic contour sheet of genera_curvas and its three answers."""
    base = folder / f"gen_{rows}_{columns}_{seed}"
    out = subprocess.run([_tool("GENERA_BIN"), str(base), str(rows), str(columns), str(levels), str(interval),
                          str(seed)], check=True, text=True, stdout=subprocess.PIPE).stdout
    grid = np.fromfile(f"{base}_c4.raw", dtype="<i4").reshape(rows, columns)
    answers = [int(w) for w in out.split() if w.lstrip("-").isdigit()][-3:]
    return grid, answers


def example():
    """The bundled example, 120 x 160, contours every 50 from 50 to 550."""
    raw = os.path.join(EXAMPLES, "images", "ejemplo", "colinas_c4.raw")
    return np.fromfile(raw, dtype="<i4").reshape(120, 160)
