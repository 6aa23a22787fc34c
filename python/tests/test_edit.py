import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import atbfile
from atbfile import Float, Table
from conftest import atbutil


def sound(random_files):
    for path in random_files:
        try:
            atbfile.read(path)
        except atbfile.DamagedFile:
            continue
        yield path


def quoted(data):
    return '"' + "".join(f"\\x{b:02x}" for b in data) + '"'


def test_edit_writes_what_atbutil_set_writes(random_files, tmp_path):
    rng = random.Random(7)
    compared = 0
    for path in sound(random_files):
        matches = [m for m in atbfile.read(path).select("/**/*")
                   if m.entry.type in (atbfile.FLOAT, atbfile.BOOL, atbfile.TEXT)
                   and not isinstance(m.entry.value, atbfile.Raw)]
        if not matches:
            continue
        picked = rng.sample(matches, min(3, len(matches)))
        ours, theirs = tmp_path / "ours.atb", tmp_path / "theirs.atb"
        shutil.copy(path, ours)
        shutil.copy(path, theirs)
        pairs, values = [], []
        for m in picked:
            if m.entry.type == atbfile.FLOAT:
                v = float(Float(rng.uniform(-100, 100)))
                pairs += [m.path, repr(v)]
            elif m.entry.type == atbfile.BOOL:
                v = rng.random() < 0.5
                pairs += [m.path, str(int(v))]
            else:
                v = bytes(rng.randrange(1, 256) for _ in range(rng.randrange(12)))
                pairs += [m.path, quoted(v)]
            values.append(v)
        with atbfile.edit(ours) as t:
            for m, v in zip(picked, values):
                # A path names the same entry before and after the changes made so far.
                t.select(m.path)[0].entry.value = v
        atbutil("set", theirs, *pairs)
        assert ours.read_bytes() == theirs.read_bytes(), (path, pairs)
        compared += 1
    assert compared > 100


def test_edit_writes_what_apply_of_the_diff_writes(random_files, tmp_path):
    rng = random.Random(11)
    compared = 0
    for path in sound(random_files):
        before = tmp_path / "before.atb"
        ours, theirs = tmp_path / "ours.atb", tmp_path / "theirs.atb"
        for p in (before, ours, theirs):
            shutil.copy(path, p)
        with atbfile.edit(ours) as t:
            tables = [t] + [m.entry.value for m in t.select("/**/*")
                            if isinstance(m.entry.value, Table)]
            for _ in range(rng.randrange(1, 4)):
                table = rng.choice(tables)
                what = rng.randrange(4)
                if what == 0 and len(table):
                    table.remove(rng.choice(table.entries))
                elif what == 1:
                    table.insert(rng.randrange(len(table) + 1), rng.randrange(20),
                                 rng.choice([1.5, b"new", "neu", True, Table({1: 2.0})]))
                elif what == 2:
                    table.lead = bytes(rng.randrange(4))
                else:
                    t.header = bytes(rng.randrange(256) for _ in range(52))
        if ours.read_bytes() == before.read_bytes():
            continue
        patch = atbutil("diff", before, ours, check=False)
        assert patch.returncode == 1, patch.stderr
        (tmp_path / "p.patch").write_bytes(patch.stdout)
        atbutil("apply", theirs, tmp_path / "p.patch")
        assert ours.read_bytes() == theirs.read_bytes(), path
        if atbutil("check", before, check=False).returncode == 0:
            atbutil("check", ours)
        compared += 1
    assert compared > 100


def test_edit_reads_only_what_it_touches(tmp_path):
    path = tmp_path / "f.atb"
    big = Table({k: float(k) for k in range(1, 2000)})
    atbfile.dump(atbfile.Tree({1: 2.5, 2: big, 3: b"x" * 100000}), open(path, "wb"))
    with atbfile.edit(path) as t:
        t[1] = 3.25
        table = t[2]
        assert not table._loaded
    assert atbfile.read(path)[1] == 3.25
    assert atbfile.read(path)[2] == big
    # What the block did not read is not read after it, whatever file took its descriptor.
    with open(path, "rb"), pytest.raises(ValueError, match="the edit is over"):
        len(table)
    with pytest.raises(ValueError, match="the edit is over"):
        t.entries[2].value


def test_an_exception_in_the_block_writes_nothing(sample_folder, tmp_path):
    path = tmp_path / "s.atb"
    shutil.copy(sample_folder / "sample.atb", path)
    before = path.read_bytes()
    with pytest.raises(RuntimeError):
        with atbfile.edit(path) as t:
            t["reload_time"] = 9.0
            t[536870913] = b"a longer text than before"
            t.add("max_range", 1.0)
            raise RuntimeError("changed my mind")
    assert path.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["s.atb"]
    # And the file is free again.
    with atbfile.edit(path) as t:
        t["reload_time"] = 9.0
    assert atbfile.read(path)["reload_time"] == 9.0


def test_errors_have_kinds_and_atbutils_reasons(sample_folder, tmp_path):
    path = tmp_path / "s.atb"
    shutil.copy(sample_folder / "sample.atb", path)
    with atbfile.edit(path):
        with pytest.raises(atbfile.Locked) as locked:
            with atbfile.edit(path):
                pass
        assert str(locked.value).startswith(str(path) + ": ")
        # Readers still see the file.
        assert atbfile.read(path)["reload_time"] == 2.5
    with pytest.raises(FileNotFoundError):
        atbfile.edit(tmp_path / "missing.atb").__enter__()
    damaged = tmp_path / "d.atb"
    damaged.write_bytes(path.read_bytes()[:52] + struct.pack("<I", 99))
    with pytest.raises(atbfile.DamagedFile) as e:
        atbfile.edit(damaged).__enter__()
    said = atbutil("set", damaged, "1", "2", check=False).stderr.decode()
    assert said == f"atbutil: {e.value}\n"
    os.chmod(path, 0o444)
    with pytest.raises(atbfile.RefusedChange, match="no write permission"):
        atbfile.edit(path).__enter__()


CHILD = textwrap.dedent("""
    import sys, atbfile
    with atbfile.edit(sys.argv[1]) as t:
        t[2] = b"y" * int(sys.argv[2])
        t[1] = 7.5
""")


def test_a_kill_during_edit_leaves_before_or_after(tmp_path):
    path = tmp_path / "k.atb"
    atbfile.dump(atbfile.Tree({1: 2.5, 2: b"x", 3: b"z" * (4 << 20)}), open(path, "wb"))
    before = path.read_bytes()
    after_tree = atbfile.loads(before)
    after_tree[2] = b"y" * 3000
    after_tree[1] = 7.5
    after = atbfile.dumps(after_tree)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    # How long a whole edit takes here, to kill children at instants spread over it.
    t0 = time.monotonic()
    subprocess.run([sys.executable, "-c", CHILD, str(path), "3000"], env=env, check=True)
    whole = time.monotonic() - t0
    assert path.read_bytes() == after
    rng = random.Random(3)
    states = set()
    for _ in range(12):
        path.write_bytes(before)
        child = subprocess.Popen([sys.executable, "-c", CHILD, str(path), "3000"], env=env)
        time.sleep(rng.uniform(0, whole))
        child.send_signal(signal.SIGKILL)
        child.wait()
        # The next open finishes or undoes an interrupted change.
        now = atbfile.dumps(atbfile.read(path))
        assert now in (before, after)
        assert path.read_bytes() in (before, after)
        states.add(now == after)
        # A journal left from before the file was marked is taken away by the next change.
        with atbfile.edit(path) as t:
            t[1] = 1.0
        assert atbfile.read(path)[1] == 1.0
        assert not [n for n in os.listdir(tmp_path) if n.endswith(".journal")]
    assert states  # both are likely; either one is allowed


LIMITED = textwrap.dedent("""
    import resource, sys, atbfile
    resource.setrlimit(resource.RLIMIT_FSIZE, (32768, 32768))
    try:
        with atbfile.edit(sys.argv[1]) as t:
            t[1] = b"a text now a good deal longer than it was"
    except atbfile.NoSpace as e:
        print(type(e).__name__, e.errno, e)
""")


def test_a_file_size_limit_is_no_space_and_writes_nothing(tmp_path):
    path = tmp_path / "f.atb"
    atbfile.dump(atbfile.Tree({1: b"abc", 2: atbfile.Raw(7, b"z" * 65536)}), open(path, "wb"))
    before = path.read_bytes()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", LIMITED, str(path)], env=env, capture_output=True,
                         text=True, timeout=60).stdout
    assert path.read_bytes() == before
    assert out.startswith("NoSpace 27 ") and "file size limit (ulimit -f) of 32768 bytes" in out
    assert sorted(os.listdir(tmp_path)) == ["f.atb"]


@pytest.mark.skipif(os.geteuid() != 0, reason="mounting a small file system needs root")
def test_a_full_disk_is_no_space_and_writes_nothing(tmp_path):
    small = tmp_path / "small"
    small.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", str(small)],
                      capture_output=True).returncode != 0:
        pytest.skip("tmpfs cannot be mounted here")
    try:
        path = small / "f.atb"
        atbfile.dump(atbfile.Tree({1: b"abc", 2: atbfile.Raw(7, b"z" * (300 << 10))}),
                     open(path, "wb"))
        (small / "filler").write_bytes(b"f" * (60 << 10))
        before = path.read_bytes()
        with pytest.raises(atbfile.NoSpace, match="No space left on device") as e:
            with atbfile.edit(path) as t:
                t[1] = b"g" * (120 << 10)
        assert e.value.errno == 28 and isinstance(e.value, OSError)
        assert path.read_bytes() == before
        assert sorted(os.listdir(small)) == ["f.atb", "filler"]
    finally:
        subprocess.run(["umount", str(small)], check=True)


def random_change(rng, tree):
    """One change anywhere in `tree`, chosen by `rng` alone: the same calls on two trees alike
    make the same change in both."""
    tables = [tree] + [m.entry.value for m in tree.select("/**/*")
                       if isinstance(m.entry.value, Table)]
    table = tables[rng.randrange(len(tables))]
    what = rng.randrange(8)
    entries = table.entries
    if what == 0 and len(entries):
        entries[rng.randrange(len(entries))].value = atbfile.Raw(rng.choice([7, 0]), b"raw")
    elif what == 1 and len(entries):
        e = entries[rng.randrange(len(entries))]
        plain = {atbfile.FLOAT: rng.uniform(-9, 9), atbfile.BOOL: rng.random() < 0.5,
                 atbfile.TEXT: b"t" * rng.randrange(9), atbfile.LOCALIZED: "l" * rng.randrange(9)}
        if e.type in plain and not isinstance(e.value, atbfile.Raw):
            e.value = plain[e.type]
    elif what == 2 and len(entries):
        table.remove(entries[rng.randrange(len(entries))])
    elif what == 3:
        table.insert(rng.randrange(len(entries) + 1), rng.randrange(16),
                     [Float(1.5), b"new", "neu", True, Table({3: b"in"})][rng.randrange(5)])
    elif what == 4:
        table.lead = bytes([rng.randrange(256)] * rng.randrange(3))
    elif what == 5:
        tree.header = bytes(rng.randrange(256) for _ in range(52))
    elif what == 6 and len(tables) > 1:
        # A table put in a second place, read from the file or from memory; only the root takes
        # one, so that no table comes to hold itself.
        tree.insert(0, rng.randrange(16), tables[rng.randrange(1, len(tables))])
    elif what == 7 and len(entries):
        e = entries[rng.randrange(len(entries))]
        e.value = e.value  # given again as it stands: nothing to write


def test_edit_leaves_the_bytes_the_same_changes_give_in_memory(random_files, tmp_path):
    compared = 0
    for n, path in enumerate(sound(random_files)):
        model = atbfile.read(path)
        ours = tmp_path / "ours.atb"
        shutil.copy(path, ours)
        steps = random.Random(n).randrange(1, 6)
        mine, theirs = random.Random(n * 7), random.Random(n * 7)
        with atbfile.edit(ours) as t:
            for _ in range(steps):
                random_change(mine, t)
        for _ in range(steps):
            random_change(theirs, model)
        assert ours.read_bytes() == atbfile.dumps(model), path
        compared += 1
    assert compared > 150


def test_an_edit_that_changes_nothing_writes_nothing(sample_folder, tmp_path):
    path = tmp_path / "s.atb"
    shutil.copy(sample_folder / "sample.atb", path)
    os.utime(path, (1, 1))
    with atbfile.edit(path) as t:
        t["reload_time"] = 2.5
        t[536870913] = b"Arc Caster"
        t[8192].lead = b""
        t.header = t.header
    assert path.stat().st_mtime == 1


def test_tables_nested_deeper_than_the_stack_reaches(tmp_path):
    tree = atbfile.Tree()
    table = tree
    for level in range(100000):
        inner = Table({1: float(level)})
        table.add(2, inner)
        table = inner
    data = atbfile.dumps(tree)
    path = tmp_path / "deep.atb"
    path.write_bytes(data)
    atbutil("check", path)
    again = atbfile.loads(data)
    depth, table = 0, again
    while 2 in table:
        table, depth = table[2], depth + 1
    assert depth == 100000 and atbfile.dumps(again) == data
    with atbfile.edit(path) as t:
        table = t
        for _ in range(100000):
            table = table[2]
        table[1] = 7.0
    assert atbutil("get", path, "@200000").stdout == b"7\n"
