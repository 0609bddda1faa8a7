"""orvix.common: the capsule table and what the three conversions accept, return and hold."""
import array
import gc
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

import orvix.common as common

import common_capi_probe as probe

SIGNATURES = {
    "obj_to_cbuf": "int (PyObject *, PyObject **, char const **, size_t *)",
    "buf_to_cbuf": "int (PyObject *, Py_buffer *, char const **, size_t *)",
    "str_to_cbuf": "int (PyObject *, char const **, size_t *)",
}

properties = settings(database=None, deadline=None)

# The sequences in array.array that have a fixed item size on every platform.
TYPECODES = "bBhHiIlLqQfd"


def array_strategy():
    def build(typecode, values):
        a = array.array(typecode)
        a.frombytes(values[: len(values) // a.itemsize * a.itemsize])
        return a

    return st.builds(build, st.sampled_from(TYPECODES), st.binary(max_size=64))


# ---------------------------------------------------------------- the C API table

def test_capi_maps_each_function_to_a_capsule_named_by_its_signature():
    assert type(common.__qvx_capi__) is dict
    assert set(common.__qvx_capi__) == set(SIGNATURES)
    for name, capsule in common.__qvx_capi__.items():
        assert type(capsule).__name__ == "PyCapsule"
        assert f'"{SIGNATURES[name]}"' in repr(capsule)


def test_import_is_warning_free():
    result = subprocess.run([sys.executable, "-W", "error", "-c", "import orvix.common"],
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")


# ---------------------------------------------------------------- what each accepts

@properties
@given(st.binary(), st.sampled_from([bytes, bytearray, memoryview]))
def test_bytes_like_objects_give_their_bytes(data, kind):
    obj = kind(data)
    assert common.buf_to_bytes(obj) == data
    assert common.obj_to_bytes(obj) == data
    assert probe.hold_buf(obj)[0] == data
    assert probe.convert_obj(obj)[:2] == (0, data)


@properties
@given(st.binary(), st.integers(-70, 70), st.integers(-70, 70))
def test_contiguous_memoryview_slices_give_the_sliced_bytes(data, start, stop):
    view = memoryview(data)[start:stop]
    assert common.buf_to_bytes(view) == data[start:stop]
    assert common.obj_to_bytes(view) == data[start:stop]


@properties
@given(array_strategy())
def test_arrays_give_their_raw_memory(values):
    assert common.buf_to_bytes(values) == values.tobytes()
    assert common.obj_to_bytes(values) == values.tobytes()


@properties
@given(st.binary(min_size=2), st.integers(2, 5))
def test_strided_views_are_refused_by_buf_to_cbuf_and_copied_by_obj_to_cbuf(data, step):
    view = memoryview(data)[::step]
    if len(view) > 1:
        with pytest.raises(BufferError, match="not C-contiguous"):
            common.buf_to_bytes(view)
    else:  # one element is contiguous whatever the stride
        assert common.buf_to_bytes(view) == data[::step]
    assert common.obj_to_bytes(view) == data[::step]


def test_multidimensional_views_in_c_order_are_read_whole():
    data = bytes(range(12))
    assert common.buf_to_bytes(memoryview(data).cast("B", (3, 4))) == data
    assert common.obj_to_bytes(memoryview(data).cast("B", (3, 4))[::2]) == data[:4] + data[8:]


@properties
@given(st.text())
def test_text_is_taken_as_utf8(text):
    assert common.str_to_bytes(text) == text.encode()
    assert common.obj_to_bytes(text) == text.encode()
    assert probe.convert_str(text)[:2] == (0, text.encode())


def test_str_utf8_is_cached_in_the_str_and_lives_with_it():
    text = "δ-message " * 10
    first = probe.convert_str(text)
    assert probe.convert_str(text) == first
    assert probe.convert_str("")[:2] == (0, b"")


def test_objects_with_dunder_bytes_give_what_it_returns():
    class Packet:
        def __bytes__(self):
            return b"\x01\x02"

    assert common.obj_to_bytes(Packet()) == b"\x01\x02"
    result, data, owner = probe.convert_obj(Packet())
    assert (result, data, owner) == (0, b"\x01\x02", b"\x01\x02")


def test_none_is_nothing_to_push():
    assert common.obj_to_bytes(None) is None
    assert probe.convert_obj(None) == (1, None, None)


# ---------------------------------------------------------------- errors

@pytest.mark.parametrize("obj", [None, 7, 1.5, "text", [1, 2], object()])
def test_buf_to_cbuf_refuses_objects_without_a_buffer(obj):
    with pytest.raises(TypeError, match=f"a bytes-like object is required, not '{type(obj).__name__}'"):
        common.buf_to_bytes(obj)
    with pytest.raises(TypeError):
        probe.hold_buf(obj)


@pytest.mark.parametrize("obj", [7, 1.5, [1, 2], (3,), object()])
def test_obj_to_cbuf_refuses_other_objects(obj):
    # bytes(7) or bytes([1, 2]) would make zeros or a byte list: never pushed by accident.
    message = f"a bytes-like object, str or object with __bytes__ is required, not '{type(obj).__name__}'"
    with pytest.raises(TypeError) as info:
        common.obj_to_bytes(obj)
    assert str(info.value) == message
    with pytest.raises(TypeError):
        probe.convert_obj(obj)


@pytest.mark.parametrize("obj", [b"bytes", bytearray(b"x"), None, 3, ["a"]])
def test_str_to_cbuf_takes_only_str(obj):
    with pytest.raises(TypeError) as info:
        common.str_to_bytes(obj)
    assert str(info.value) == f"a str is required, not '{type(obj).__name__}'"
    with pytest.raises(TypeError):
        probe.convert_str(obj)


@pytest.mark.parametrize("convert", [common.str_to_bytes, common.obj_to_bytes, probe.convert_str, probe.convert_obj])
def test_lone_surrogates_raise_unicode_encode_error(convert):
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        convert("ok \ud800")


def test_dunder_bytes_errors_propagate():
    class Wrong:
        def __bytes__(self):
            return "not bytes"

    class Failing:
        def __bytes__(self):
            raise LookupError("no bytes today")

    with pytest.raises(TypeError, match=r"__bytes__ returned non-bytes \(type str\)"):
        common.obj_to_bytes(Wrong())
    with pytest.raises(LookupError, match="no bytes today"):
        probe.convert_obj(Failing())


# ---------------------------------------------------------------- views and owners

def test_buf_to_cbuf_holds_a_buffer_export_until_the_caller_releases_it():
    buffer = bytearray(b"abc")
    data, holder = probe.hold_buf(memoryview(buffer))
    assert data == b"abc"
    with pytest.raises(BufferError):
        buffer.extend(b"d")
    del holder
    buffer.extend(b"d")
    assert common.buf_to_bytes(buffer) == b"abcd"


def test_buf_to_cbuf_leaves_no_view_behind_when_it_fails():
    buffer = bytearray(b"abcdef")
    strided = memoryview(buffer)[::2]
    with pytest.raises(BufferError):
        probe.hold_buf(strided)
    strided.release()  # would raise if the failed call kept an export of it
    buffer.extend(b"g")


def test_buf_to_cbuf_of_an_empty_buffer_is_an_empty_range():
    for empty in (b"", bytearray(), memoryview(b""), array.array("i")):
        assert probe.hold_buf(empty)[0] == b""


def test_obj_to_cbuf_owner_keeps_the_range_alive():
    data = b"payload"
    text = "päyload"
    assert probe.convert_obj(data)[2] is data
    assert probe.convert_obj(text)[2] is text

    buffer = bytearray(b"abc")
    result, copied, owner = probe.convert_obj(buffer)
    assert (result, copied) == (0, b"abc")
    with pytest.raises(BufferError):
        buffer.extend(b"d")  # the owner holds an export: the bytes cannot move
    del owner
    buffer.extend(b"d")


def test_obj_to_cbuf_copy_of_a_strided_view_does_not_hold_the_source():
    buffer = bytearray(b"abcdef")
    strided = memoryview(buffer)[::2]
    result, data, owner = probe.convert_obj(strided)
    assert (result, data) == (0, b"ace")
    strided.release()
    buffer.extend(b"g")  # resizable while the owner (of the copy) lives
    assert bytes(owner) == b"ace"


def test_conversions_do_not_leak_references():
    # Fresh objects, never constants: an interned constant's count moves with
    # whatever else in the process (another thread included) refers to it.
    objects = [bytes(bytearray(b"bytes")), bytearray(b"array"), "".join(["te", "xt"]), memoryview(b"view")]
    before = [sys.getrefcount(obj) for obj in objects]
    for _ in range(100):
        for obj in objects:
            common.buf_to_bytes(obj) if not isinstance(obj, str) else common.str_to_bytes(obj)
            common.obj_to_bytes(obj)
            probe.convert_obj(obj)
        for bad in (7, "\udfff"):
            with pytest.raises((TypeError, UnicodeEncodeError)):
                common.obj_to_bytes(bad)
    del obj
    gc.collect()
    assert [sys.getrefcount(obj) for obj in objects] == before
