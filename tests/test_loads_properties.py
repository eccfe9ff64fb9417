"""loads over many images: damaged images never crash it, failures leak nothing."""

import random
import tracemalloc

import vorn
from tests.support.image import (
    ARRAY, BOOL, FLOAT32, INT32, NULL, OBJECT, STRING, UINT32,
    arr, array, f32, i32, image, obj, objv, ref, string, u32,
)
from tests.support.refusals import refusal_text

SEEDS = [
    image(
        [obj(6, [("id", UINT32), ("tags", ARRAY), ("name", STRING), ("ok", BOOL)]), arr(7, STRING)],
        ["x", "long " * 40],
        [(6, objv(6, u32(7), array(7, [ref(0), string("y"), ref(1)]), string("é" * 70), b"\x01"))],
    ),
    image(
        [arr(6, OBJECT), obj(7, [("v", FLOAT32), ("n", NULL), ("i", INT32)]), arr(8, NULL)],
        entries=[(6, array(6, [objv(7, f32(0.5), i32(-3)), objv(7, f32(2.0), i32(9))])),
                 (8, array(8, [], count=4)), (STRING, string("z" * 300))],
    ),
    image(entries=[(INT32, i32(1)), (STRING, string("s"))], empty_dict=True),
]


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(5)
        pos = rng.randrange(len(data) + 1)
        if op == 0 and data:
            data[pos % len(data)] ^= 1 << rng.randrange(8)
        elif op == 1:
            del data[pos:]
        elif op == 2:
            data[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 3)))
        elif op == 3 and data:
            data[pos % len(data)] = rng.choice([0x00, 0x7F, 0x80, 0xBF, 0xC0, 0xFE, 0xFF])
        else:
            del data[pos:pos + rng.randint(1, 4)]
    return bytes(data)


def loads_or_value_error(data):
    try:
        vorn.loads(data)
    except ValueError as e:
        refusal_text(e)


def test_random_mutations_load_or_raise_value_error():
    rng = random.Random(20261207)
    for seed in SEEDS:
        vorn.loads(seed)
        for _ in range(1500):
            loads_or_value_error(mutate(rng, seed))


def test_no_leak_on_success_or_failure():
    ok = SEEDS[0]
    # Fails at the last value, after building a list, a dict and several strings.
    late_fault = image(
        [obj(6, [("a", ARRAY), ("b", STRING)]), arr(7, STRING)],
        ["d"],
        [(6, objv(6, array(7, [ref(0), string("abc" * 50)]), ref(2)))],
    )
    for _ in range(200):
        vorn.loads(ok)
        loads_or_value_error(late_fault)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            vorn.loads(ok)
            loads_or_value_error(late_fault)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 10_000
