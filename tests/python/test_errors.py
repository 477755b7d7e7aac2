"""Every wrong argument gives TypeError (wrong kind) or ValueError (wrong
value) with a message naming it; library failures give ofulk.error."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import ofulk

GREY = np.zeros((24, 32), np.uint8)
BGR = np.zeros((24, 32, 3), np.uint8)
FLOW = np.zeros((24, 32, 2), np.float32)


def engine_calc(*args, **kwargs):
    return ofulk.FlowEngine().calc(*args, **kwargs)


def engine_info(*args):
    return ofulk.FlowEngine().calc_with_info(*args)


def info():
    return ofulk.FlowEngine().calc_with_info(GREY, GREY)[1]


CASES = [
    # (call, arguments, exception, part of the message)
    # Lists go through numpy.asarray, their numbers taking uint8 when they fit.
    (ofulk.calc_flow, ([[1, 2]], GREY), ValueError, "prev has shape (1, 2) and next (24, 32)"),
    (ofulk.calc_flow, (GREY.tolist(), tuple(GREY)), None, None),
    (ofulk.calc_flow, ([[256, 0]], [[0, 0]]), TypeError, "prev must have dtype uint8, not int64"),
    (ofulk.calc_flow, (GREY, None), TypeError, "next must be a numpy.ndarray or an array-like of numbers, not NoneType"),
    (ofulk.calc_flow, (GREY.astype(np.float32), GREY), TypeError, "prev must have dtype uint8, not float32"),
    (ofulk.calc_flow, (GREY, GREY.astype(np.int8)), TypeError, "next must have dtype uint8, not int8"),
    (ofulk.calc_flow, (GREY[0], GREY[0]), TypeError, "prev must be H x W (grey), H x W x 3 (BGR) or H x W x 4 (BGRA), not shape (32,)"),
    (ofulk.calc_flow, (GREY[None], GREY[None]), TypeError, "not shape (1, 24, 32)"),
    (ofulk.calc_flow, (np.zeros((24, 32, 2), np.uint8),) * 2, TypeError, "not shape (24, 32, 2)"),
    (ofulk.calc_flow, (GREY, GREY[:20]), ValueError, "same size, but prev has shape (24, 32) and next (20, 32)"),
    (ofulk.calc_flow, (GREY, BGR), ValueError, "frames of one kind"),
    (ofulk.calc_flow, (GREY[:0], GREY[:0]), ValueError, "prev is empty (shape (0, 32))"),
    (ofulk.calc_flow, (GREY, np.zeros((24, 0), np.uint8)), ValueError, "next is empty"),
    (engine_calc, (GREY, GREY), None, None),
    (engine_calc, (GREY, GREY, FLOW.astype(np.float64)), TypeError, "flow must have dtype float32, not float64"),
    (engine_calc, (GREY, GREY, [0.0]), TypeError, "flow must be a numpy.ndarray, not list"),
    (engine_calc, (GREY, GREY, FLOW[:10]), ValueError, "flow must have shape (24, 32, 2), not (10, 32, 2)"),
    (engine_calc, (GREY, GREY, np.zeros((24, 32, 3), np.float32)), ValueError, "must have shape (24, 32, 2)"),
    (engine_calc, (GREY, GREY, np.zeros((24, 64, 2), np.float32)[:, ::2]), ValueError, "flow must have the pixels of a row side by side"),
    (engine_calc, (GREY, GREY, np.zeros((30, 64, 2), np.float32)[3:27, 5:37]), None, None),
    (engine_calc, (GREY, GREY, np.zeros((24, 32, 2), np.float32).view()), None, None),
    (engine_info, (GREY, BGR), ValueError, "frames of one kind"),
    (ofulk.flow_to_colour, (FLOW[..., 0],), TypeError, "flow must be H x W x 2, not shape (24, 32)"),
    (ofulk.flow_to_colour, (FLOW.astype(">f4"),), TypeError, "flow must have dtype float32"),
    (ofulk.flow_to_colour, (FLOW[:0],), ValueError, "flow is empty"),
    (ofulk.flow_to_colour, (FLOW.tolist(),), None, None),
    (ofulk.flow_to_colour, (FLOW, -1.0), ValueError, "k must be a finite number of at least 0"),
    (ofulk.flow_to_colour, (FLOW, float("nan")), ValueError, "k must be a finite number"),
    (ofulk.flow_to_colour, (FLOW, "0.1"), TypeError, "incompatible function arguments"),
    (ofulk.flow_to_wheel, (FLOW, 0), ValueError, "max_speed must be a positive finite number, not 0"),
    (ofulk.flow_to_wheel, (FLOW, float("inf")), ValueError, "max_speed must be a positive"),
    (ofulk.flow_to_wheel, (FLOW, "3"), TypeError, "max_speed must be a number or None, not str"),
    (ofulk.flow_to_wheel, (FLOW, np.float32(-2)), ValueError, "max_speed must be a positive finite number, not -2"),
    (ofulk.flow_to_wheel, (FLOW, np.float32(2)), None, None),
    (ofulk.flow_to_wheel, (FLOW.astype(np.float16),), TypeError, "flow must have dtype float32, not float16"),
    (ofulk.draw_stuff_info, (BGR, "info"), TypeError, "incompatible function arguments"),
    (ofulk.draw_stuff_info, (GREY, None), TypeError, "incompatible function arguments"),
    (ofulk.draw_stuff_info, ("image", info()), TypeError, "image must be a numpy.ndarray, not str"),
    (ofulk.draw_stuff_info, (GREY, info()), TypeError, "image must be H x W x 3 (BGR), not shape (24, 32)"),
    (ofulk.draw_stuff_info, (BGR.astype(np.uint16), info()), TypeError, "image must have dtype uint8"),
    (ofulk.draw_stuff_info, (BGR[:20], info()), ValueError, "is smaller than info.idx_map (24, 32)"),
    (ofulk.draw_stuff_info, (np.zeros((24, 64, 3), np.uint8)[:, ::2], info()), ValueError, "image must have the pixels of a row side by side"),
    (ofulk.draw_stuff_info, (np.zeros((30, 64, 3), np.uint8)[2:, 8:], info()), None, None),
    (ofulk.draw_stuff_info, (np.zeros((30, 40, 3), np.uint8), info()), None, None),
]


def case_id(case):
    call, _, exception, _ = case
    return f"{call.__name__}-{exception.__name__ if exception else 'ok'}"


@pytest.mark.parametrize("call,args,exception,message", CASES, ids=[case_id(c) for c in CASES])
def test_wrong_arguments_raise_their_exception(call, args, exception, message):
    if exception is None:
        call(*args)
        return
    with pytest.raises(exception) as raised:
        call(*args)
    assert message in str(raised.value)


def test_read_only_image_is_refused_for_drawing():
    image = BGR.copy()
    image.setflags(write=False)
    with pytest.raises(ValueError, match="image is read-only"):
        ofulk.draw_stuff_info(image, info())


def test_library_failure_becomes_ofulk_error_and_the_process_goes_on():
    # The engine runs out of memory under an address-space limit; its
    # cv::Exception arrives as ofulk.error, and a later call still works.
    script = textwrap.dedent(
        """
        import resource, numpy as np, ofulk
        frames = [np.zeros((3000, 3000), np.uint8) for _ in range(2)]
        flow = np.zeros((3000, 3000, 2), np.float32)
        small = np.zeros((24, 32), np.uint8)
        engine = ofulk.FlowEngine()
        engine.calc(small, small)
        used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (24 << 20),) * 2)
        try:
            engine.calc(*frames, flow=flow)
        except ofulk.error as e:
            assert isinstance(e, RuntimeError)
            print(e.code, e.func, "|", e.err, "|", e)
        engine.calc(small, small)
        print("still working")
        """
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    first, second = run.stdout.splitlines()
    code = int(first.split()[0])
    assert code == -4  # CV_StsNoMem: out of memory
    assert "(status -4)" in first
    assert second == "still working"


def test_error_is_a_runtime_error_with_status_and_message():
    assert issubclass(ofulk.error, RuntimeError)
    assert "code" in ofulk.error.__doc__



def made_by_new(cls):
    return cls.__new__(cls)


WITHOUT_INIT = {
    "calc": lambda: made_by_new(ofulk.FlowEngine).calc(GREY, GREY),
    "idx_map": lambda: made_by_new(ofulk.FlowInfo).idx_map,
    "info_repr": lambda: repr(made_by_new(ofulk.FlowInfo)),
    "draw_stuff_info": lambda: ofulk.draw_stuff_info(BGR.copy(), made_by_new(ofulk.FlowInfo)),
    "video_read": lambda: made_by_new(ofulk._VideoFrames).read(),
}


@pytest.mark.parametrize("call", WITHOUT_INIT.values(), ids=WITHOUT_INIT.keys())
def test_objects_made_by_new_without_init_raise_type_error(call):
    with pytest.raises(TypeError, match=r"__init__"):
        call()
