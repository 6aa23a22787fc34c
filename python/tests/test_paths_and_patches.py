import json
import pathlib
import random
import shutil

import pytest

import atbfile
from atbfile import Table
from conftest import atbutil


def sound_files(random_files, n):
    out = []
    for path in random_files:
        try:
            atbfile.read(path)
        except atbfile.DamagedFile:
            continue
        out.append(path)
        if len(out) == n:
            break
    return out


def found_paths(path, selector):
    r = atbutil("find", selector, path, check=False)
    prefix = str(path).encode() + b":"
    return [line[len(prefix):].split(b" = ", 1)[0].decode("utf-8", "surrogateescape")
            for line in r.stdout.splitlines()]


def test_select_matches_what_find_finds_and_get_reads_back_each_path(random_files):
    for path in sound_files(random_files, 60):
        tree = atbfile.read(path)
        for selector in ("/**/*", "/**/[?type=float][?value>10]", "/*[?type=text]"):
            matches = tree.select(selector)
            assert [m.path for m in matches] == found_paths(path, selector), (path, selector)
        for m in tree.select("/**/*"):
            value = tree.get(m.path)
            assert value is m.entry.value or value == m.entry.value, (path, m.path)


def test_get_refuses_as_atbutil_get_does(sample_folder):
    path = sample_folder / "sample.atb"
    tree = atbfile.read(path)
    assert tree.get("/8192/max_damage") == 40.0 and tree.get("/") is tree
    assert tree.get("8192/ember_shells/armour_piercing") == 0.25
    assert tree[8192].get("max_damage") == 40.0  # a table's paths start from it
    said = atbutil("get", path, "/8192/nothing", check=False).stderr.decode()
    with pytest.raises(KeyError) as e:
        tree.get("/8192/nothing")
    assert said == f"atbutil: {path}: {e.value.args[0]}\n"
    assert tree.get("/8192/nothing", None) is None
    with pytest.raises(ValueError):
        tree.get("/8192/#x")
    with pytest.raises(ValueError, match="the selector"):
        tree.select("/**/[?type=")


def test_get_and_select_in_an_edit_see_its_changes(sample_folder, tmp_path):
    path = tmp_path / "s.atb"
    shutil.copy(sample_folder / "sample.atb", path)
    with atbfile.edit(path) as t:
        assert t.get("/reload_time") == 2.5
        t["reload_time"] = 4.0
        t.add("max_range", 9.0)
        assert t.get("/reload_time") == 4.0
        assert [m.path for m in t.select("/*[?type=float][?value>3]")] == [
            "/reload_time", "/305419896", "/max_range"]


def changed_copy(path, rng, out):
    with open(path, "rb") as f:
        tree = atbfile.load(f)
    tables = [tree] + [m.entry.value for m in tree.select("/**/*")
                       if isinstance(m.entry.value, Table)]
    for _ in range(3):
        table = rng.choice(tables)
        if len(table) and rng.random() < 0.4:
            table.remove(rng.choice(table.entries))
        else:
            table.insert(rng.randrange(len(table) + 1), rng.randrange(30),
                         rng.choice([2.5, b"text", "wide", False]))
    with open(out, "wb") as f:
        atbfile.dump(tree, f)


def test_diff_and_apply_are_atbutils(random_files, tmp_path):
    rng = random.Random(5)
    for path in sound_files(random_files, 60):
        b = tmp_path / "b.atb"
        changed_copy(path, rng, b)
        for reversible in (False, True):
            patch = atbfile.diff(path, b, reversible=reversible)
            args = ["diff"] + (["--reversible"] if reversible else []) + [path, b]
            assert patch == atbutil(*args, check=False).stdout.decode("utf-8", "surrogateescape")
        target = tmp_path / "t.atb"
        shutil.copy(path, target)
        atbfile.apply(target, patch)
        assert target.read_bytes() == b.read_bytes()
        assert atbfile.diff(target, b) == ""
        with pytest.raises(atbfile.RefusedChange) as e:
            atbfile.apply(target, patch)
        assert e.value.failures and target.read_bytes() == b.read_bytes()


def test_patches_over_folders(sample_folder, tmp_path):
    a, b, target = tmp_path / "a", tmp_path / "b", tmp_path / "target"
    for folder in (a, b, target):
        shutil.copytree(sample_folder, folder)
    with atbfile.edit(b / "sample.atb") as t:
        t["reload_time"] = 7.0
    (b / "units" / "new.atb").write_bytes((a / "sample.atb").read_bytes())
    patch = atbfile.diff(a, b)
    assert patch == atbutil("diff", a, b, check=False).stdout.decode()
    atbfile.apply(target, patch)
    assert atbfile.diff(target, b) == ""
    (tmp_path / "p.patch").write_text(patch)
    with pytest.raises(atbfile.RefusedChange):
        atbfile.apply(target, pathlib.Path(tmp_path / "p.patch"))
    with pytest.raises(ValueError, match="is a patch over a folder"):
        atbfile.apply(target / "sample.atb", patch)


def test_merge_is_atbutils(random_files, tmp_path):
    rng = random.Random(9)
    for path in sound_files(random_files, 40):
        ours, theirs = tmp_path / "ours.atb", tmp_path / "theirs.atb"
        changed_copy(path, rng, ours)
        changed_copy(path, rng, theirs)
        shutil.copy(ours, tmp_path / "ours2.atb")
        said = atbutil("merge", path, tmp_path / "ours2.atb", theirs, check=False).stderr.decode(
            "utf-8", "replace")
        lines = atbfile.merge(path, ours, theirs)
        assert ours.read_bytes() == (tmp_path / "ours2.atb").read_bytes(), path
        for line in lines:
            assert f": {line}\n" in said


def test_conflicts_and_combine_are_atbutils(sample_folder, tmp_path):
    base = sample_folder / "sample.atb"
    mods = []
    for k, (reload, damage) in enumerate([(3.0, 41.0), (4.0, 40.0), (3.0, 45.0)]):
        mod = tmp_path / f"mod{k}.atb"
        shutil.copy(base, mod)
        with atbfile.edit(mod) as t:
            t["reload_time"] = reload
            t[8192]["max_damage"] = damage
        mods.append(mod)
    told = atbfile.conflicts(base, *mods)
    shown = json.loads(atbutil("conflicts", "--json", base, *mods, check=False).stdout)
    assert [e["path"] for e in told] == [e["path"] for e in shown] == [
        "/8192/max_damage", "/reload_time"]
    for ours, theirs in zip(told, shown):
        assert ours["kind"] == theirs["kind"] and ours["winner"] == theirs["winner"]
        assert [list(m) for m in ours["mods"]] == [[m["mod"], m["value"]] for m in theirs["mods"]]
    assert atbfile.combine(base, *mods) == atbutil("combine", base, *mods,
                                                   check=False).stdout.decode()
    with pytest.raises(atbfile.RefusedChange) as e:
        atbfile.conflicts(base, mods[0], mods[0])
    assert e.value.failures
