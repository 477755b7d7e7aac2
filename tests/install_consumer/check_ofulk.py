"""Imports an installed ofulk and computes one flow; exits 0 when the package
comes from where it was installed and behaves.

    check_ofulk.py SITE [--library-root ROOT | --static]

SITE: the folder that must hold the imported package. --library-root: the
module must load libcvoptflowulk.so from under ROOT (not a copy elsewhere);
--static: the module must carry the library inside and load no
libcvoptflowulk.so at all. Prints "ofulk ok" and the SHA-256 of the field,
so that two installs of one version can be compared.
"""

import argparse
import hashlib
import os
import sys

import numpy as np


def loaded_libraries():
    with open("/proc/self/maps") as maps:
        return {line.split()[-1] for line in maps if "/" in line}


def textured_frame():
    """A smooth random texture that the engine segments well."""
    noise = np.random.RandomState(1).randint(0, 256, (24, 32))
    frame = np.kron(noise, np.ones((4, 4))).astype(np.float32)
    kernel = np.ones(5) / 5
    for axis in (0, 1):
        frame = np.apply_along_axis(np.convolve, axis, frame, kernel, "same")
    return frame.astype(np.uint8)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("site")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--library-root")
    where.add_argument("--static", action="store_true")
    args = parser.parse_args()

    import ofulk

    site = os.path.realpath(args.site) + os.sep
    if not os.path.realpath(ofulk.__file__).startswith(site):
        sys.exit(f"ofulk imported from {ofulk.__file__}, not from {site}")

    older = textured_frame()
    newer = np.roll(older, 3, axis=1)
    flow = ofulk.calc_flow(older, newer)
    if flow.shape != older.shape + (2,) or flow.dtype != np.float32:
        sys.exit(f"calc_flow gave {flow.shape} {flow.dtype}")
    # The texture moved 3 pixels to the right.
    x, y = np.median(flow[..., 0]), np.median(flow[..., 1])
    if abs(x - 3) > 0.5 or abs(y) > 0.5:
        sys.exit(f"calc_flow found a median motion of ({x}, {y}), not (3, 0)")

    ours = sorted(p for p in loaded_libraries() if "libcvoptflowulk" in p)
    if args.static and ours:
        sys.exit(f"the module loaded {ours}")
    if args.library_root:
        root = os.path.realpath(args.library_root) + os.sep
        if not ours or any(not os.path.realpath(p).startswith(root) for p in ours):
            sys.exit(f"the module loaded {ours}, not a library under {root}")
    print("ofulk ok", hashlib.sha256(flow.tobytes()).hexdigest())


if __name__ == "__main__":
    main()
