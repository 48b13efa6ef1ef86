#!/usr/bin/env python3
"""Writes tests/data/divider_table.txt: requests and the dividers that the search must choose.

An implementation of the frequency search apart from the program's own, in Python's floats
(IEEE double, every operation rounded once), so the table does not inherit a fault of the C++
code or of one compiler. The requests are random (a fixed seed) and boundary values: the
post-divider and doubler thresholds, the range ends, whole megahertz, and ties between two
multipliers. Run from the repository's root: python3 tools/divider_reference.py
"""
import random

REFERENCE_HZ = 24_000_000.0
POST_DIVIDER_BELOW_HZ = 30_000_000.0
DOUBLER_ABOVE_HZ = 90_000_000.0
MULTIPLIERS = {"K": 1000.0, "k": 1000.0, "M": 1_000_000.0, "m": 1_000_000.0}


def search(text):
    multiplier = MULTIPLIERS.get(text[-1], 1.0)
    number = text[:-1] if text[-1] in MULTIPLIERS else text
    target = float(number) * multiplier
    assert 1.0 <= target <= 180_000_000.0, text
    post_div, doubler, synth = 0, 0, target
    if target < POST_DIVIDER_BELOW_HZ:
        n = int(POST_DIVIDER_BELOW_HZ / target)
        post_div = 2 * ((n + 1) // 2)
        synth = target * post_div
    if synth > DOUBLER_ABOVE_HZ:
        synth = synth * 0.5
        doubler = 1
    best, best_a, best_b = 1_000_000.0, 0, 0
    for div_a in range(24, 1000):
        step = REFERENCE_HZ / div_a
        n = int(synth / step)
        below = n * step
        above = (n + 1) * step
        e_below = synth - below
        e_above = above - synth
        candidate, error = (n + 1, e_above) if e_below > e_above else (n, e_below)
        if error < best:
            best, best_a, best_b = error, div_a, candidate
        if best == 0.0:
            break
    return post_div, doubler, best_a, best_b


def requests():
    rng = random.Random(20261209)
    out = ["10M", "1", "12.3M", "7.3728M", "14.31818M", "10.5K", "66M", "90M", "33.333M",
           "77.77M", "100M", "180M", "29.999999M", "1e3K", "89.96652M", "1788816"]
    out += [f"{mhz}M" for mhz in range(1, 181)]
    for edge in ("1", "30000000", "90000000", "180000000", "45000000", "60000000"):
        base = float(edge)
        for k in range(1, 41):
            for sign in (-1, 1):
                value = base + sign * k * k * 0.37 * max(base * 1e-9, 1e-6)
                if 1.0 <= value <= 180e6:
                    out.append(f"{value:.9f}")
    # Ties: the synthesiser frequency halfway between two multiples of a step.
    for _ in range(300):
        div_a = rng.randrange(24, 1000)
        n = rng.randrange(int(20e6 * div_a / REFERENCE_HZ) + 1, int(90e6 * div_a / REFERENCE_HZ))
        out.append(f"{(n + 0.5) * REFERENCE_HZ / div_a:.6f}")
    for _ in range(3000):
        hz = 10 ** rng.uniform(0.0, 8.2552725)
        digits = rng.randrange(0, 10)
        suffix = rng.choice(["", "", "K", "M", "k", "m"])
        scale = {"": 1.0, "K": 1e3, "k": 1e3, "M": 1e6, "m": 1e6}[suffix]
        text = f"{hz / scale:.{digits}f}" + suffix
        if 1.0 <= float(text.rstrip("KkMm")) * scale <= 180e6:
            out.append(text)
    return out


def main():
    with open("tests/data/divider_table.txt", "w") as f:
        f.write("# Requests and the dividers that the search chooses for them, one a line:\n"
                "# input post_div doubler div_a div_b\n"
                "# Made by tools/divider_reference.py, a separate implementation of the search\n"
                "# in Python's IEEE double arithmetic, and equal to what the x86-64 Linux build\n"
                "# chose when the file was made. Every build of the program must agree.\n")
        for text in requests():
            f.write(text + " %d %d %d %d\n" % search(text))


if __name__ == "__main__":
    main()
