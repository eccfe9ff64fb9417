"""Threads calling every function on shared inputs see the results of sequential calls."""

import threading
import time

import vorn

TEXT = '{"id": 7, "tags": ["a", "b", "a"], "pos": [1.5, -2.25], "ok": true, "none": null}'
VALUE = {"id": 7, "tags": ["a", "b", "a"], "nested": [{"x": 1.5}, {"x": 2.5}]}


def test_eight_threads_agree_with_sequential_calls(tmp_path):
    image = vorn.dumps(TEXT)
    expected = {
        "dumps": image,
        "loads": vorn.loads(image),
        "emit": vorn.emit(VALUE),
    }
    failures = []
    stop = time.monotonic() + 2.0

    def worker(n):
        path = str(tmp_path / f"t{n}.vorn")
        try:
            while time.monotonic() < stop:
                assert vorn.dumps(TEXT) == expected["dumps"]
                assert vorn.loads(image) == expected["loads"]
                assert vorn.emit(VALUE) == expected["emit"]
                vorn.dump(TEXT, path)
                assert vorn.load(path) == expected["loads"]
                try:
                    vorn.loads(image[:-1])
                except ValueError:
                    pass
        except BaseException as e:  # noqa: BLE001 - report anything, PanicException included
            failures.append(repr(e))

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
