""".flo files: byte for byte the files of cv2, read both ways, and every
damaged or unreachable file refused with the right exception."""

import os
import pathlib
import struct

import cv2
import numpy as np
import pytest

import ofulk
from conftest import run_python, write_clip


def distinct_field(rows=7, cols=11):
    y, x = np.mgrid[0:rows, 0:cols].astype(np.float32)
    flow = np.dstack([0.25 * x - 3.5, -0.125 * y + 0.001 * x]).astype(np.float32)
    flow[0, 0] = (-0.0, np.nan)
    flow[1, 1] = (np.inf, -1e10)
    return flow


@pytest.mark.parametrize("as_path", [str, pathlib.Path], ids=["str", "pathlike"])
def test_files_equal_cv2s_and_read_back_both_ways(tmp_dir, as_path):
    flow = distinct_field()
    ours = os.path.join(tmp_dir, "ours.flo")
    theirs = os.path.join(tmp_dir, "theirs.flo")
    ofulk.write_flo(as_path(ours), flow)
    assert cv2.writeOpticalFlow(theirs, flow)
    assert open(ours, "rb").read() == open(theirs, "rb").read()

    back = ofulk.read_flo(as_path(theirs))
    assert back.dtype == np.float32 and back.shape == flow.shape
    assert back.tobytes() == flow.tobytes()
    assert cv2.readOpticalFlow(ours).tobytes() == flow.tobytes()


def test_strided_field_is_written_as_its_copy(tmp_dir):
    wide = distinct_field(6, 20)
    path = os.path.join(tmp_dir, "crop.flo")
    ofulk.write_flo(path, wide[:, 3:15])
    assert ofulk.read_flo(path).tobytes() == np.ascontiguousarray(wide[:, 3:15]).tobytes()


def header(width, height, tag=b"PIEH"):
    return tag + struct.pack("<ii", width, height)


DAMAGED = [
    ("empty", b"", "too short"),
    ("header_cut", header(2, 2)[:9], "too short"),
    ("other_tag", header(1, 1, b"PIEX") + bytes(8), "no PIEH tag"),
    ("zero_width", header(0, 3), "size of 0 x 3"),
    ("negative_height", header(3, -1), "size of 3 x -1"),
    ("data_cut", header(2, 2) + bytes(31), "holds 31 bytes of flow, but 2 x 2 needs 32"),
    ("bytes_after_the_data", header(1, 1) + bytes(9), "holds 9 bytes"),
    ("huge_size", header(1 << 30, 1 << 30), "needs 9223372036854775808"),
    # 8 bytes times this size passes 2**64 by exactly the 11936 bytes here.
    ("size_past_64_bits", header(2147380029, 1073793636) + bytes(11936),
     "holds 11936 bytes of flow, but 2147380029 x 1073793636 needs 18446744073709563552"),
]


@pytest.mark.parametrize("name,content,reason", DAMAGED, ids=[d[0] for d in DAMAGED])
def test_damaged_files_raise_value_error_with_the_reason(tmp_dir, name, content, reason):
    path = os.path.join(tmp_dir, name + ".flo")
    with open(path, "wb") as f:
        f.write(content)
    with pytest.raises(ValueError, match=reason):
        ofulk.read_flo(path)


def test_unreachable_paths_raise_os_errors(tmp_dir):
    missing = os.path.join(tmp_dir, "missing.flo")
    with pytest.raises(FileNotFoundError) as raised:
        ofulk.read_flo(missing)
    assert raised.value.filename == missing
    with pytest.raises(OSError, match="cannot open"):
        ofulk.read_flo(tmp_dir)  # a folder
    with pytest.raises(OSError, match="cannot write"):
        ofulk.write_flo(os.path.join(tmp_dir, "no", "such", "x.flo"), distinct_field())


@pytest.mark.parametrize(
    "call",
    [
        lambda: ofulk.read_flo(12),
        lambda: ofulk.read_flo(["x.flo"]),
        lambda: ofulk.write_flo(None, distinct_field()),
        lambda: ofulk.write_flo("x.flo", distinct_field().astype(np.float64)),
        lambda: ofulk.write_flo("x.flo", distinct_field()[..., 0]),
    ],
    ids=["int_path", "list_path", "none_path", "float64_field", "one_channel"],
)
def test_wrong_kinds_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


WRITE_UNDER_A_SIZE_LIMIT = """
    import resource, signal, sys, numpy as np, ofulk
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
    ofulk.write_flo(sys.argv[1], np.zeros((64, 64, 2), np.float32))
"""


@pytest.mark.parametrize("earlier", [b"earlier file", None], ids=["replacing", "new"])
def test_failed_write_leaves_the_earlier_file_or_none(tmp_dir, earlier):
    path = pathlib.Path(tmp_dir, "f.flo")
    if earlier:
        path.write_bytes(earlier)
    run = run_python(WRITE_UNDER_A_SIZE_LIMIT, str(path))
    assert f"OSError: cannot write {path}: File too large" in run.stderr
    assert os.listdir(tmp_dir) == (["f.flo"] if earlier else [])
    assert not earlier or path.read_bytes() == earlier


@pytest.mark.parametrize("kind", [str, os.fsencode], ids=["str", "bytes"])
@pytest.mark.parametrize(
    "call",
    [lambda path: ofulk.write_flo(path, distinct_field()), ofulk.read_flo, ofulk.video_flows],
    ids=["write_flo", "read_flo", "video_flows"],
)
def test_null_byte_in_a_path_is_refused_as_open_refuses_it(tmp_dir, call, kind):
    path = os.path.join(tmp_dir, "a.flo")
    ofulk.write_flo(path, distinct_field(3, 3))
    with pytest.raises(ValueError, match="embedded null byte"):
        call(kind(path + "\0.bak"))
    assert ofulk.read_flo(path).shape == (3, 3, 2)


@pytest.mark.parametrize("kind", [os.fsencode, os.fsdecode], ids=["bytes", "str_escaped"])
def test_paths_that_are_not_utf8_name_the_file_as_open_does(tmp_dir, kind):
    path = os.path.join(os.fsencode(tmp_dir), b"caf\xe9.flo")
    ofulk.write_flo(kind(path), distinct_field())
    assert ofulk.read_flo(kind(path)).tobytes() == distinct_field().tobytes()
    write_clip(os.path.join(tmp_dir, "clip.avi"), 3)
    os.rename(os.path.join(tmp_dir, "clip.avi"), path + b".avi")
    assert [i for i, _ in ofulk.video_flows(kind(path + b".avi"))] == [0, 1]
    assert sorted(os.listdir(os.fsencode(tmp_dir))) == [b"caf\xe9.flo", b"caf\xe9.flo.avi"]
    with pytest.raises(FileNotFoundError) as raised:
        ofulk.read_flo(kind(path + b".\xff"))
    assert raised.value.filename == kind(path + b".\xff")
