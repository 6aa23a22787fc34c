import math
import struct

import pytest

import atbfile
from atbfile import Bool, Float, Localized, Raw, Table, Text, Tree
from conftest import atbutil


def read_all(table):
    """Reads every table and value, so that dumps writes from them and not from the bytes."""
    stack = [table]
    while stack:
        for e in stack.pop():
            if isinstance(e.value, Table):
                stack.append(e.value)


def rebuilt(table):
    """The same tree made again through the constructors alone."""
    cls = Tree if isinstance(table, Tree) else Table
    copy = cls([(e.key, rebuilt(e.value) if isinstance(e.value, Table) else e.value)
                for e in table], lead=table.lead)
    if isinstance(table, Tree):
        copy.header = table.header
    return copy


def test_round_trip_of_random_files(random_files):
    sound = damaged = 0
    for path in random_files:
        data = path.read_bytes()
        try:
            tree = atbfile.loads(data)
        except atbfile.DamagedFile as e:
            # Refused exactly where atbutil finds the root table damaged.
            check = atbutil("check", path, check=False)
            assert check.returncode == 1 and b": /: " in check.stdout, (path, str(e))
            damaged += 1
            continue
        assert atbfile.dumps(tree) == data, path
        read_all(tree)
        assert atbfile.dumps(tree) == data, path
        # Written again from values alone, the header kept: the same bytes.
        again = rebuilt(tree)
        again._length, again._read_header = len(data), tree.header
        assert atbfile.dumps(again) == data, path
        sound += 1
    assert sound > 150 and damaged > 10


def test_damaged_nested_tables_are_raw_bytes_with_their_reason(random_files):
    seen = 0
    for path in random_files:
        try:
            tree = atbfile.read(path)
        except atbfile.DamagedFile:
            continue
        reasons = []
        stack = [tree]
        while stack:
            for e in stack.pop():
                if isinstance(e.value, Table):
                    stack.append(e.value)
                elif e.type == atbfile.TABLE:
                    assert isinstance(e.value, Raw) and e.value.reason
                    reasons.append(e.value.reason)
        check = atbutil("check", path, check=False).stdout.decode("utf-8", "replace")
        assert len(reasons) == check.count("\n"), (path, check)
        for reason in reasons:
            assert reason in check
        seen += len(reasons)
    assert seen >= 3


def test_floats_keep_their_bits():
    nan = 0x7FA00001  # a signalling NaN with a payload: a double would make it quiet
    tree = Tree({1: Float(2.0), 2: Float.from_bits(nan), 3: Float(-0.0), 4: 3.25})
    again = atbfile.loads(atbfile.dumps(tree))
    whole = again[1]
    assert isinstance(whole, Float) and not isinstance(whole, int)
    assert float(whole) == 2.0 and repr(whole) == "Float(2.0)"
    assert again[2].bits == nan and math.isnan(float(again[2]))
    assert again[2] == Float.from_bits(nan) and again[2] != Float.from_bits(0x7FC00000)
    assert again[3].bits == 0x80000000 and again[3] == 0.0
    assert atbfile.dumps(again)[-16:] == struct.pack("<4I", 0x40000000, nan, 0x80000000,
                                                     0x40500000)


def test_a_number_is_rounded_to_the_nearest_float():
    tree = Tree({1: 0.0})
    tree[1] = 0.1
    assert tree[1].bits == struct.unpack("<I", struct.pack("<f", 0.1))[0]
    tree[1] = 16777217  # an int between two floats: the nearer even one
    assert float(tree[1]) == 16777216.0
    with pytest.raises(OverflowError):
        tree[1] = 1e39
    with pytest.raises(OverflowError):
        tree[1] = 1e-50


def test_bools_keep_their_byte():
    tree = atbfile.loads(atbfile.dumps(Tree({1: Bool(7), 2: False})))
    seven = tree[1]
    assert seven.byte == 7 and int(seven) == 7 and bool(seven) and seven != True  # noqa: E712
    assert seven == 7 and repr(seven) == "Bool(7)" and tree[2] == Bool(False)
    assert atbfile.dumps(tree).endswith(b"\x07\x00")
    with pytest.raises(ValueError):
        Bool(256)


def test_texts():
    tree = Tree({1: b"caf\xc3\xa9", 2: b"\xff\xfe", 3: "w\u00e9 \ud800", 4: Text(b"a", trailing=b"xy")})
    again = atbfile.loads(atbfile.dumps(tree))
    assert again[1] == b"caf\xc3\xa9" and again[1].text == "caf\u00e9"
    assert bytes(again[2]) == b"\xff\xfe"
    with pytest.raises(UnicodeDecodeError):
        again[2].text
    assert str(again[3]) == "w\u00e9 \ud800" and again[3].units == (0x77, 0xE9, 0x20, 0xD800)
    assert again[4].trailing == b"xy"
    with pytest.raises(ValueError):
        Text(b"a\0b")
    with pytest.raises(ValueError):
        Localized([0x41, 0, 0x42])


def test_assigning_takes_the_type_of_the_entry_and_keeps_what_follows_its_value():
    tree = atbfile.loads(atbfile.dumps(Tree([
        (1, Float(1.0, trailing=b"ab")), (2, Bool(0, trailing=b"c")),
        (3, Text(b"x", trailing=b"d")), (4, Localized("y", trailing=b"e")), (5, Raw(7, b"??")),
        (6, Table())])))
    tree[1] = 2
    tree[2] = True
    tree[3] = b"longer"
    tree[4] = "longer"
    assert tree[1] == Float(2.0, trailing=b"ab") and tree[2] == Bool(1, trailing=b"c")
    assert tree[3] == Text(b"longer", trailing=b"d")
    assert tree[4] == Localized("longer", trailing=b"e")
    for k, wrong in [(1, True), (1, "2"), (2, 1), (3, "x"), (4, b"x"), (5, b"x"), (6, 1.0),
                     (1, None), (1, [1])]:
        with pytest.raises(TypeError):
            tree[k] = wrong
    # A typed value stands as it is, whatever the entry held.
    tree[1] = Text(b"now a text")
    assert tree.entries[0].type == atbfile.TEXT and tree[1].trailing == b""
    with pytest.raises(TypeError):
        tree.add(7, 3)


def test_tables_are_indexed_by_label_name_key_and_pick():
    tree = Tree([(8192, Table([("ref_name", b"arc_caster"), ("max_damage", 40.0)])),
                 ("reload_time", 2.5), (9, 1.0), (9, 2.0)])
    assert tree["reload_time"] == 2.5 and tree[atbfile.key("reload_time")] == 2.5
    assert tree[8192]["max_damage"] == 40.0 and tree["0x2000"] is tree[8192]
    assert tree["arc_caster"] is tree[8192]  # the name the table lists
    assert tree[(9, 1)] == 2.0 and tree.entries[3].value == 2.0
    with pytest.raises(KeyError):
        tree[9]
    with pytest.raises(KeyError):
        tree[0]  # an int is a key, never a position
    assert tree.entries[0].name is None and tree.entries[1].name == "reload_time"
    del tree[(9, 0)]
    assert tree[9] == 2.0 and len(tree) == 3
    added = tree.add("max_range", 12.5)
    keys = [e.key for e in tree]
    at = keys.index(added.key)
    assert all(k <= added.key for k in keys[:at])
    assert at == len(keys) - 1 or keys[at + 1] > added.key
    with pytest.raises(ValueError):
        tree.add("max_range", 1.0)
    with pytest.raises(KeyError):
        tree["missing"] = 1.0


def test_header_sizes_follow_the_length_unless_nothing_changed_it(random_files):
    data = next(p.read_bytes() for p in random_files if p.stat().st_size > 100)
    stale = data[:36] + b"\x01\x02\x03\x04" + data[40:]
    tree = atbfile.loads(stale)
    assert atbfile.dumps(tree) == stale
    tree.add(0xFFFFFFFF, 1.0)
    grown = atbfile.dumps(tree)
    assert struct.unpack_from("<I", grown, 36)[0] == len(grown) - 44
    assert struct.unpack_from("<I", grown, 48)[0] == len(grown) - 52


def test_files_that_are_no_tree_are_refused():
    with pytest.raises(atbfile.DamagedFile):
        atbfile.loads(b"\0" * 20)
    with pytest.raises(atbfile.DamagedFile, match="the table / is damaged"):
        atbfile.loads(bytes(52) + struct.pack("<I", 1000))
    table = Table()
    table.add(1, table.entries and 1.0 or 2.0)
    table.add(2, table)
    with pytest.raises(ValueError, match="holds itself"):
        atbfile.dumps(table)
