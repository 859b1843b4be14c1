"""tolvane.elevation against the dialog program's files, and its argument and
error handling."""

import pickle
import threading
import time

import numpy as np
import pytest

import tolvane
from conftest import dialog, example, generated

E = tolvane.EMPTY


@pytest.mark.parametrize("smoothing", [1, 5, 9])
def test_bundled_example_equals_the_dialog(tmp_path, smoothing):
    grid = example()
    np.testing.assert_array_equal(tolvane.elevation(grid, 50, 550, 50, smoothing),
                                  dialog(tmp_path, grid, 50, 550, 50, smoothing))


@pytest.mark.parametrize("rows, columns, seed, smoothing", [(97, 131, 1, 1), (64, 40, 2, 3), (150, 150, 7, 7)])
def test_generated_sheets_equal_the_dialog(tmp_path, rows, columns, seed, smoothing):
    grid, (low, high, step) = generated(tmp_path, rows, columns, 12, 10, seed)
    np.testing.assert_array_equal(tolvane.elevation(grid, low, high, step, smoothing),
                                  dialog(tmp_path, grid, low, high, step, smoothing))


@pytest.mark.parametrize("shape", [(1, 9), (9, 1), (1, 1)])
def test_single_row_and_column_equal_the_dialog(tmp_path, shape):
    line = np.array([E, 10, E, E, 20, E, E, 30, E], dtype=np.int32)[: max(shape)]
    line[0] = 10 if shape == (1, 1) else E
    grid = line.reshape(shape)
    result = tolvane.elevation(grid, 10, 30, 10, 3)
    np.testing.assert_array_equal(result, dialog(tmp_path, grid, 10, 30, 10, 3))
    assert result.shape == shape and result.dtype == np.int32


def test_every_layout_and_exact_dtype_gives_the_same_cells():
    grid = example()
    expected = tolvane.elevation(grid, 50, 550, 50)
    wide = np.full((240, 320), -1, dtype=np.int32)
    wide[::2, ::2] = grid
    layouts = {
        "fortran": np.asfortranarray(grid),
        "strided view": wide[::2, ::2],
        "reversed twice": grid[::-1, ::-1].copy()[::-1, ::-1],
        "big-endian": grid.astype(">i4"),
        "int64": grid.astype(np.int64),
        "uint32": grid.astype(np.uint32),
        "float64": grid.astype(np.float64),
        "nested lists": grid.tolist(),
    }
    for name, contours in layouts.items():
        result = tolvane.elevation(contours, 50, 550, 50)
        assert result.dtype == np.int32 and result.flags.c_contiguous, name
        np.testing.assert_array_equal(result, expected, err_msg=name)
    assert np.array_equal(grid, example()), "the input was changed"


@pytest.mark.parametrize("contours, words", [
    (np.full((3, 3), 10.5), ["float64", "cell (0, 0)", "10.5"]),
    (np.array([[E, np.nan]]), ["float64", "cell (0, 1)", "nan"]),
    (np.array([[E, 2**31]], dtype=np.int64), ["int64", "cell (0, 1)", "2147483648"]),
    (np.array([[E, 2**32 - 1]], dtype=np.uint32), ["uint32", "cell (0, 1)"]),
    (np.ones((2, 2), dtype=bool), ["bool"]),
    (np.ones((2, 2), dtype=complex), ["complex128"]),
    (np.array([["10", "20"]]), ["<U2"]),
])
def test_dtypes_that_do_not_convert_exactly_are_refused(contours, words):
    with pytest.raises(TypeError) as e:
        tolvane.elevation(contours, 10, 20, 10)
    for w in words:
        assert w in str(e.value)


def test_shapes_and_arguments_refused():
    for bad in (np.full(5, 10, dtype=np.int32), np.full((2, 2, 2), 10, dtype=np.int32)):
        with pytest.raises(ValueError, match="2-D"):
            tolvane.elevation(bad, 10, 20, 10)
    with pytest.raises(TypeError, match="lowest must be an integer"):
        tolvane.elevation(example(), 50.0, 550, 50)
    with pytest.raises(TypeError, match="progress must be callable"):
        tolvane.elevation(example(), 50, 550, 50, progress=3)


@pytest.mark.parametrize("contours, levels, smoothing, kind, values", [
    (np.zeros((0, 4), np.int32), (10, 20, 10), 1, "bad_size", (0, 4)),
    (np.zeros((4, 0), np.int32), (10, 20, 10), 1, "bad_size", (4, 0)),
    (example(), (50, 550, 0), 1, "zero_interval", ()),
    (example(), (0, 2550, 10), 1, "too_many_zones", (255,)),
    (example(), (-(2**31), 2**31 - 1, 2**31 - 1), 1, "levels_out_of_range", None),
    (example(), (0, 2**40, 50), 1, "levels_out_of_range", None),
    (example(), (50, 550, 50), 4, "bad_smoothing", (4,)),
    (example(), (50, 550, 50), 11, "bad_smoothing", (11,)),
    (np.full((5, 5), E, np.int32), (50, 550, 50), 1, "no_altitude", ()),
])
def test_core_failures_raise_tolvane_error(contours, levels, smoothing, kind, values):
    with pytest.raises(tolvane.Error) as e:
        tolvane.elevation(contours, *levels, smoothing)
    assert isinstance(e.value, ValueError)
    assert e.value.kind == kind and str(e.value)
    if values is not None:
        assert e.value.values == values
    again = pickle.loads(pickle.dumps(e.value))
    assert (type(again), str(again), again.kind, again.values) == (tolvane.Error, str(e.value), kind, e.value.values)
    # The process and the core go on.
    assert tolvane.elevation(example(), 50, 550, 50).shape == (120, 160)


def test_progress_runs_from_0_to_1_and_its_exception_comes_back():
    seen = []
    tolvane.elevation(example(), 50, 550, 50, 5, progress=seen.append)
    assert seen[0] == 0 and seen[-1] == 1 and seen == sorted(seen)

    calls = []

    def broken(fraction):
        calls.append(fraction)
        raise KeyError("stop")

    with pytest.raises(KeyError, match="stop"):
        tolvane.elevation(example(), 50, 550, 50, progress=broken)
    assert len(calls) == 1


def test_two_threads_at_once_give_their_own_results(tmp_path):
    sheets = [generated(tmp_path, 300, 400, 30, 10, seed) for seed in (11, 12)]
    expected = [tolvane.elevation(g, *a, 3) for g, a in sheets]
    results = [[], []]
    start = threading.Barrier(2)

    def run(k):
        start.wait()
        for _ in range(3):
            results[k].append(tolvane.elevation(sheets[k][0], *sheets[k][1], 3))

    threads = [threading.Thread(target=run, args=(k,)) for k in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for runs, e in zip(results, expected):
        assert len(runs) == 3
        for r in runs:
            np.testing.assert_array_equal(r, e)


def test_the_gil_is_free_while_the_core_runs(tmp_path):
    grid, answers = generated(tmp_path, 1500, 1500, 30, 10, 5)
    started = threading.Event()
    worker = threading.Thread(
        target=lambda: tolvane.elevation(grid, *answers, 9, progress=lambda f: started.set()))
    worker.start()
    started.wait(30)
    ticks = 0
    while worker.is_alive():
        ticks += 1
        time.sleep(0.001)
    worker.join()
    # Holding the GIL, the core would leave this thread no tick until it ends.
    assert ticks > 20
