"""The generated documents of the benchmark: small documents, and records text of any size.

Everything here is a function of its arguments alone (no random state), so every run and every
process measures the same bytes. Record i is a user record whose field values are picked from
fixed pools by a hash of i; a record of n friends has the same fields as any other, only its
friends list is longer. The text is ASCII: names with accents are written with \\u escapes, so
the str holding it takes one byte per character and its UTF-8 form is the str itself.

Every value survives a VORN image unchanged (integers inside int32, floats that are multiples of
0.25 below 1000, no None, no mixed lists), so what loads gives back equals what json.loads gives.
"""

from __future__ import annotations

import json
import math
from collections.abc import Iterator
from pathlib import Path
from typing import Any, TextIO

# (name as JSON string contents, its ASCII spelling for e-mail addresses)
FIRST = (("Ada", "ada"), ("Bj\\u00f6rn", "bjorn"), ("Chlo\\u00e9", "chloe"), ("Dmitri", "dmitri"),
         ("Emeka", "emeka"), ("Fatima", "fatima"), ("Grace", "grace"), ("Hiro", "hiro"),
         ("In\\u00e8s", "ines"), ("Jonas", "jonas"), ("Kwame", "kwame"), ("L\\u00e9a", "lea"),
         ("Mateo", "mateo"), ("Noor", "noor"), ("Olga", "olga"), ("Priya", "priya"))
LAST = ("Lovelace", "Hopper", "Turing", "Noether", "Ramanujan", "Curie", "Okafor", "Tanaka",
        "Silva", "Novak", "Haddad", "Kowalski")
TAGS = ("admin", "dev", "ops", "qa", "design", "sales", "support", "research")

# The most items one array holds, and the most entries of one object (emit writes a dict of n
# entries as an object of 2n fields, and readers accept at most 256 fields).
MAX_ITEMS = 65535
MAX_ENTRIES = 128


def mix(i: int) -> int:
    """A 32-bit hash of i (a multiplicative hash followed by an xorshift)."""
    h = (i * 0x9E3779B1 + 0x7F4A7C15) & 0xFFFFFFFF
    h ^= h >> 15
    h = (h * 0x2C1B3C6D) & 0xFFFFFFFF
    return h ^ (h >> 12)


def user_text(i: int, friends: int) -> str:
    """Record i with the given number of friends (their ids), as minified JSON text."""
    h = mix(i)
    first, slug = FIRST[h & 15]
    last = LAST[(h >> 4) % len(LAST)]
    tags = f'"{TAGS[(h >> 20) & 7]}"' if h < 1 << 31 else \
        f'"{TAGS[(h >> 20) & 7]}","{TAGS[(h >> 23) & 7]}"'
    people = ",".join([str((h ^ k * 0x9E3779B1) * 0x9E3779B1 >> 13 & 0xFFFF)
                       for k in range(friends)])
    return (f'{{"id":{i},"name":"{first} {last}","email":"{slug}{i}@example.com",'
            f'"active":{"true" if h & 256 else "false"},"score":{(h >> 9) % 4000 / 4},'
            f'"tags":[{tags}],"friends":[{people}]}}')


def friends_of(i: int) -> int:
    """How many friends record i of a records text has: 1 to 4."""
    return 1 + i * 40503 % 65521 % 4


def record_of_size(target: int, i: int) -> str:
    """Record i with as many friends as bring its text closest to target bytes (the text grows
    with each friend, so a bisection finds the first count that reaches the target)."""
    low, high = 0, max(1, target)
    while low < high:
        middle = (low + high) // 2
        if len(user_text(i, middle)) < target:
            low = middle + 1
        else:
            high = middle
    candidates = [user_text(i, n) for n in (low - 1, low) if n >= 0]
    return min(candidates, key=lambda text: abs(len(text) - target))


# The small documents: (name, JSON text), of fixed sizes (7, 110, 84 bytes, then about 1 KB and
# 10 KB) so that the figures of different runs compare. The records are record USER of a records
# text (122 bytes with one friend) with more friends.
USER = 6
SMALL_DOCS = (
    ("tiny object", '{"a":1}'),
    ("user record", '{"id":6,"name":"Noor Turing","email":"noor6@example.com","active":true,'
                    '"score":204.5,"tags":["support","ops"]}'),
    ("JSON-RPC request", '{"jsonrpc":"2.0","method":"user.rename","params":{"id":12,'
                         '"name":"Ada King"},"id":7}'),
    ("record 1 KB", record_of_size(1024, USER)),
    ("record 10 KB", record_of_size(10240, USER)),
)


# ---------------------------------------------------------------------------------------------
# Records text: n records in arrays of at most MAX_ITEMS items, under objects of at most
# MAX_ENTRIES members ("p000", "p001", ...), nested as deep as the count needs. Record i sits at
# position i of the depth-first order.


def split(count: int) -> list[int]:
    """The sizes of the parts an object holding count records splits them into."""
    parts = min(MAX_ENTRIES, math.ceil(count / MAX_ITEMS))
    each = math.ceil(count / parts)
    sizes = [each] * (count // each)
    if count % each:
        sizes.append(count % each)
    return sizes


def locate(count: int, i: int) -> tuple[list[str], int]:
    """Where record i of a text of count records sits: the object keys, then the list index."""
    keys: list[str] = []
    while count > MAX_ITEMS:
        for k, size in enumerate(split(count)):
            if i < size:
                keys.append(f"p{k:03d}")
                count = size
                break
            i -= size
    return keys, i


def record_at(root: Any, count: int, i: int) -> Any:
    keys, index = locate(count, i)
    for key in keys:
        root = root[key]
    return root[index]


def count_records(root: Any) -> int:
    if isinstance(root, list):
        return len(root)
    return sum(count_records(v) for v in root.values())


def write_records(out: TextIO, start: int, count: int) -> None:
    if count <= MAX_ITEMS:
        out.write("[")
        for chunk in range(start, start + count, 4096):
            if chunk != start:
                out.write(",")
            end = min(chunk + 4096, start + count)
            out.write(",".join([user_text(i, friends_of(i)) for i in range(chunk, end)]))
        out.write("]")
        return
    out.write("{")
    for k, size in enumerate(split(count)):
        out.write(f'{"," if k else ""}"p{k:03d}":')
        write_records(out, start, size)
        start += size
    out.write("}")


def records_for(target: int) -> int:
    """How many records make a text of about target bytes. Later records are longer (their ids
    have more digits), so the mean size is taken over records spread across the count that the
    first records suggest, twice."""
    count = target // 100
    for _ in range(2):
        picks = list(sample_indices(max(count, 1), 2000))
        mean = sum(len(user_text(i, friends_of(i))) + 1 for i in picks) / len(picks)
        count = max(1, round(target / mean))
    return count


def write_records_file(path: Path, target: int) -> int:
    """Writes about target bytes of records text to path; returns the number of records."""
    count = records_for(target)
    with open(path, "w", encoding="ascii", buffering=1 << 20) as out:
        write_records(out, 0, count)
    return count


def records_text(count: int) -> str:
    """A records text of count records, in memory (for tests and small sizes)."""
    import io

    out = io.StringIO()
    write_records(out, 0, count)
    return out.getvalue()


def sample_indices(count: int, limit: int) -> Iterator[int]:
    """All indices below count when there are at most limit, else limit of them spread evenly
    (the first and the last included)."""
    if count <= limit:
        yield from range(count)
        return
    for k in range(limit):
        yield k * (count - 1) // (limit - 1)


def check_records(root: Any, count: int, limit: int = 2000) -> str | None:
    """Where a value read from records text differs from the records, or None."""
    got = count_records(root)
    if got != count:
        return f"{got} records, expected {count}"
    for i in sample_indices(count, limit):
        want = json.loads(user_text(i, friends_of(i)))
        if record_at(root, count, i) != want:
            return f"record {i} differs"
    return None
