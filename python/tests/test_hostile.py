"""What a hostile pass over the module found: each is now refused or right."""
import struct

import pytest

import atbfile
from atbfile import Entry, Float, Raw, Table


def test_a_number_whose_own_methods_change_the_entry_is_read_by_its_value():
    t = Table({1: Float(2.5, trailing=b"x" * 32)})

    class Sneaky(int):
        def __float__(self):
            t[1] = Float(9.0)
            return 1.0

    for _ in range(3):
        t[1] = Float(2.5, trailing=b"x" * 32)
        t[1] = Sneaky(3)
        # Its int value, with the old value's bytes behind it; __float__ never ran.
        assert float(t[1]) == 3.0 and t[1].trailing == b"x" * 32


def test_ints_are_rounded_once_to_the_nearest_float():
    n = 2**60 + 2**36 + 1
    assert Float(n).bits == 0x5D800001
    assert Float(2**24 + 1).bits == struct.unpack("<I", struct.pack("<f", 2.0**24))[0]
    with pytest.raises(OverflowError):
        Float(10**40)


def test_keys_types_and_bits_take_32_bits_never_wrapped():
    for make in (lambda: Float.from_bits(2**64 + 0x7FC00001), lambda: Entry(2**64 + 1, 1.5),
                 lambda: Raw(-(2**64) + 100), lambda: Entry(-1, 1.5)):
        with pytest.raises(ValueError):
            make()
    with pytest.raises(TypeError):
        Entry(True, 1.5)


def test_loads_takes_bytes_only():
    with pytest.raises(TypeError):
        atbfile.loads(100)


def test_a_table_holding_what_is_no_entry_has_no_bytes():
    t = atbfile.Tree({1: 1.5})
    t._entries.append(12345)
    with pytest.raises(TypeError):
        atbfile.dumps(t)


def test_a_path_with_a_zero_byte_is_refused(tmp_path):
    (tmp_path / "a").write_bytes(b"")
    for call in (atbfile.read, atbfile.edit):
        with pytest.raises(ValueError):
            call(str(tmp_path / "a") + "\0zzz")


def test_a_header_that_reads_as_a_changes_mark_is_refused(sample_folder, tmp_path):
    path = tmp_path / "s.atb"
    path.write_bytes((sample_folder / "sample.atb").read_bytes())
    before = path.read_bytes()
    with pytest.raises(atbfile.RefusedChange):
        with atbfile.edit(path) as t:
            t.header = b"ATB-MOVE" + t.header[8:]
    assert path.read_bytes() == before
    assert atbfile.read(path).get("/reload_time") is not None
