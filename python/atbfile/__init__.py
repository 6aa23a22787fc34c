"""Attribute files (*.atb) from Python.

Read a file into a tree of tables and write it back byte for byte, change a file in place as
atbutil does, find entries by path and selector, and make and apply patches:

    import atbfile

    with open("unit.atb", "rb") as f:
        tree = atbfile.load(f)
    print(tree.get("/8192/max_damage"))        # Float(40.0)
    with atbfile.edit("unit.atb") as t:        # locked; one journaled change at the end
        t["reload_time"] = 3.25

A table is an ordered sequence of entries (Entry: a key and a value), indexed by label, name or
key (an int is always a key; positions go through .entries), or by (key, k) for the k-th of
several entries with one key. Values keep their bytes: Float, Bool, Text, Localized, a nested
Table, or Raw for what has no other form (unknown types, damaged tables).
"""

import operator
import os

from . import _atbfile
from ._atbfile import Bool, Entry, Float, Localized, Raw, Text


def _fspath(path):
    """A path as os.fspath gives it; one holding a zero byte is refused, as open() refuses it,
    rather than cut short at it."""
    path = os.fspath(path)
    if ("\0" if isinstance(path, str) else b"\0") in path:
        raise ValueError("embedded null byte")
    return path

__all__ = [
    "Bool", "DamagedFile", "Entry", "Error", "Float", "Localized", "Locked", "Match", "NoSpace",
    "Raw", "RefusedChange", "Table", "Text", "Tree", "add_names", "apply", "combine",
    "conflicts", "diff", "dump", "dumps", "edit", "key", "load", "loads", "merge", "name", "read",
]

FLOAT, BOOL, TEXT, LOCALIZED, TABLE = 0, 2, 3, 4, 100
REF_NAME_KEY = 0x49D60FAE
HEADER_SIZE = 52


class Error(Exception):
    """What went wrong with an attribute file; the message is atbutil's."""


class DamagedFile(Error):
    """The file's bytes cannot be trusted: too short, too long, or its root table damaged."""


class RefusedChange(Error):
    """A change that cannot be made safely as asked; nothing was written. Where patches or mods
    do not apply, .failures says each one as atbutil does."""

    failures = ()


class Locked(Error):
    """Another process holds the file: another editor, or one that makes no progress."""


class NoSpace(Error, OSError):
    """No room for the change (a full disk, a file size limit, memory); nothing was written."""


class Match(tuple):
    """An entry a selector matched, and its path as atbutil dump prints it: (path, entry)."""

    __slots__ = ()

    def __new__(cls, path, entry):
        return tuple.__new__(cls, (path, entry))

    path = property(operator.itemgetter(0), doc="The path, as atbutil dump prints it.")
    entry = property(operator.itemgetter(1), doc="The entry.")

    def __repr__(self):
        return f"Match(path={self[0]!r}, entry={self[1]!r})"


_MISSING = object()


def key(word):
    """The key that `word` (a label, a name or a number written alone) stands for."""
    if isinstance(word, int) and not isinstance(word, bool):
        if not 0 <= word <= 0xFFFFFFFF:
            raise KeyError(f"a key takes 32 bits: {word}")
        return word
    if not isinstance(word, str):
        raise TypeError(f"a key is an int or a str, not {type(word).__name__}")
    return _atbfile.key_of(word)[0]


def name(key):
    """The label or known name of `key`, as a path writes it; None when it has none."""
    return _atbfile.name_of(key)


def add_names(path):
    """Reads a names file (one name a line, as atbutil --names takes) for keys without one."""
    _atbfile.add_names(_fspath(path))


class _Entries:
    """A table's entries by position, as they stand."""

    __slots__ = ("_list",)

    def __init__(self, entries):
        self._list = entries

    def __len__(self):
        return len(self._list)

    def __getitem__(self, i):
        if isinstance(i, slice):
            return tuple(self._list[i])
        return self._list[i]

    def __iter__(self):
        return iter(self._list)

    def __reversed__(self):
        return reversed(self._list)

    def __contains__(self, entry):
        return any(e is entry for e in self._list)

    def index(self, entry):
        """The position of `entry`."""
        for i, e in enumerate(self._list):
            if e is entry:
                return i
        raise ValueError("the entry is not in this table")

    def __repr__(self):
        return f"<{len(self._list)} entries>"


class Table(_atbfile._TableBase):
    """A table: an ordered sequence of entries, also indexed by label, name or key.

    Table(entries=(), *, lead=b'') takes a mapping or (key, value) pairs, in the order given;
    keys are ints, labels or names, values are typed values, tables, floats, True or False,
    bytes (a text) or str (a localized text).

    t[k] is the value of the entry k names: an int is a key, a str a label, a name or a number
    written alone (or the name a nested table lists), (key, k) the k-th of several entries with
    one key. t[k] = v changes it (see Entry.value), del t[k] takes it out, t.add(k, v) adds an
    entry where atbutil add puts it. Iterating gives the entries; t.entries has them by
    position.
    """

    __slots__ = ()

    def __init__(self, entries=(), *, lead=b""):
        own = self._entries
        del own[:]
        self._index = None
        self.lead = lead
        items = entries.items() if hasattr(entries, "items") else entries
        for item in items:
            if isinstance(item, Entry):
                k, v = item.key, item.value
            else:
                k, v = item
            own.append(_atbfile.new_entry(key(k), v))

    # What an index names.

    def _positions(self, k):
        own = self._entries
        if isinstance(k, tuple):
            if len(k) != 2 or not isinstance(k[1], int):
                raise KeyError(f"{k!r}: a pick is (key, k)")
            positions = self._positions_of_key(key(k[0]))
            if not 0 <= k[1] < len(positions):
                raise KeyError(f"{k!r}: the table holds {len(positions)} entries with that key")
            return [positions[k[1]]]
        if isinstance(k, int) and not isinstance(k, bool):
            return self._positions_of_key(key(k))
        if not isinstance(k, str):
            raise TypeError(f"a table is indexed by an int, a str or (key, k), "
                            f"not {type(k).__name__}")
        code, word = _atbfile.key_of(k)
        positions = self._positions_of_key(code)
        if positions or not word:
            return positions
        # A word that names no key may name a nested table by the name it lists.
        wanted = k.encode("utf-8", "surrogateescape")
        return [i for i, e in enumerate(own)
                if e.type == TABLE and isinstance(e.value, Table) and
                e.value._name_bytes() == wanted]

    def _positions_of_key(self, code):
        index = self._index
        if index is None:
            index = {}
            for i, e in enumerate(self._entries):
                index.setdefault(e.key, []).append(i)
            self._index = index
        return index.get(code, [])

    def _entry(self, k):
        positions = self._positions(k)
        if not positions:
            raise KeyError(k)
        if len(positions) > 1:
            raise KeyError(f"{k!r} matches {len(positions)} entries: pick one with (key, k)")
        return self._entries[positions[0]]

    def __getitem__(self, k):
        return self._entry(k).value

    def __setitem__(self, k, value):
        try:
            e = self._entry(k)
        except KeyError as missing:
            raise KeyError(f"{missing.args[0]}: no such entry: add it with add()") from None
        e.value = value

    def __delitem__(self, k):
        e = self._entry(k)
        own = self._entries
        for i, other in enumerate(own):
            if other is e:
                del own[i]
                break
        self._index = None

    def __contains__(self, k):
        try:
            return bool(self._positions(k))
        except (KeyError, TypeError):
            return False

    def __len__(self):
        return len(self._entries)

    def __iter__(self):
        return iter(self._entries)

    @property
    def entries(self):
        """The entries by position: t.entries[0] is the first."""
        return _Entries(self._entries)

    def keys(self):
        """The entries' keys, in order."""
        return [e.key for e in self._entries]

    def values(self):
        """The entries' values, in order."""
        return [e.value for e in self._entries]

    def items(self):
        """(key, value) for every entry, in order."""
        return [(e.key, e.value) for e in self._entries]

    def find(self, k):
        """Every entry with the key `k` names, in order."""
        own = self._entries
        return [own[i] for i in self._positions(k)]

    def add(self, k, value):
        """Adds an entry keyed `k` in front of the first entry whose key is greater, or last, as
        atbutil add does; refused (ValueError) where the table holds the key already."""
        code = key(k)
        if self._positions_of_key(code):
            raise ValueError(f"the table already holds {k!r}: set it, or insert() another")
        own = self._entries
        at = len(own)
        for i, e in enumerate(own):
            if e.key > code:
                at = i
                break
        own.insert(at, _atbfile.new_entry(code, value))
        self._index = None
        return own[at]

    def insert(self, position, k, value):
        """Adds an entry keyed `k` at `position`, whatever the keys around it: repeated keys."""
        own = self._entries
        own.insert(position, _atbfile.new_entry(key(k), value))
        self._index = None

    def remove(self, entry):
        """Takes `entry` (an Entry of this table) out."""
        own = self._entries
        for i, other in enumerate(own):
            if other is entry:
                del own[i]
                self._index = None
                return
        raise ValueError("the entry is not in this table")

    def _name_bytes(self):
        for e in self._entries:
            if e.key == REF_NAME_KEY:
                v = e.value
                data = (v.value if isinstance(v, Text) else
                        _atbfile.encode_value(v) if not isinstance(v, Table) else b"")
                return data[:200].split(b"\0", 1)[0]
        return None

    @property
    def name(self):
        """The name the table lists (its first ref_name entry), as a reference shows it."""
        data = self._name_bytes()
        return None if data is None else data.decode("utf-8", "replace")

    # Paths and selectors run over the table's bytes, as over a file whose root it is.

    def _over(self):
        return _atbfile.encode_file(self, bytes(HEADER_SIZE), -1)

    def _follow(self, trail):
        t, e = self, None
        for i in trail:
            if e is not None:
                t = e.value
            e = t._entries[i]
        return e

    def get(self, path, default=_MISSING):
        """The value of the entry a path names, as atbutil get takes paths ("/8192/max_damage",
        "#3", "@12/max_damage", "slot[1]"); the table itself for "/". KeyError, with atbutil's
        reason, where it names no single entry, unless a default is given."""
        try:
            trail = _atbfile.resolve(self._over(), path)
        except RefusedChange as e:
            if default is not _MISSING:
                return default
            raise KeyError(str(e)) from None
        return self if not trail else self._follow(trail).value

    def select(self, selector):
        """Every entry a selector matches ("/**/max_damage", "/*[?type=float][?value>10]"), as
        atbutil find takes them: a list of Match(path, entry), in dump's order."""
        return [Match(path, self._follow(trail))
                for path, trail in _atbfile.select(self._over(), selector)]

    def __eq__(self, other):
        if not isinstance(other, Table):
            return NotImplemented
        return self.lead == other.lead and list(self._entries) == list(other._entries)

    __hash__ = None

    def __repr__(self):
        own = self._entries
        if len(own) > 8:
            return f"<{type(self).__name__} of {len(own)} entries>"
        lead = f", lead={self.lead!r}" if self.lead else ""
        return f"{type(self).__name__}({list(own)!r}{lead})"


class Tree(Table):
    """A whole file: its root table, and its 52-byte header.

    Tree(entries=(), *, lead=b'', header=None) makes one from scratch (a header of zeros).
    dumps() writes the header as it stands, its two sizes following the length, as every change
    makes them; a header read and left as it was keeps its sizes while the length stays too.
    """

    __slots__ = ("header", "_length", "_read_header", "_source")

    def __init__(self, entries=(), *, lead=b"", header=None):
        super().__init__(entries, lead=lead)
        self.header = bytes(HEADER_SIZE) if header is None else bytes(header)
        self._length = -1
        self._read_header = None
        self._source = None

    def _over(self):
        # A file open for edit is searched as it lies, unless the block changed it.
        source = getattr(self, "_source", None)
        if source is not None and not _atbfile.changed(source, self, self.header):
            return source
        return dumps(self)


def _tree(root, header, length, source=None):
    root.header = root._read_header = header
    root._length = length
    root._source = source
    return root


def loads(data):
    """The tree of an attribute file's bytes. DamagedFile where its root table is damaged (a
    damaged nested table is a Raw value, type 100)."""
    # memoryview, not bytes(): bytes(10**9) would be a gigabyte of zeros, taken for a file.
    data = bytes(memoryview(data))
    root, header = _atbfile.loads(data)
    return _tree(root, header, len(data))


def load(fp):
    """The tree of the attribute file that `fp` (opened for binary reading) holds."""
    return loads(fp.read())


def read(path):
    """The tree of the file at `path`, read while no change is under way (finishing one that
    a dying process left half made, as atbutil does)."""
    data = _atbfile.read(_fspath(path))
    root, header = _atbfile.loads(data, _fspath(path))
    return _tree(root, header, len(data))


def dumps(tree):
    """The bytes of a tree (or of a Table, behind a header of zeros): for a tree read by loads,
    dumps(loads(data)) == data."""
    if isinstance(tree, Tree):
        same = tree.header == getattr(tree, "_read_header", None)
        return _atbfile.encode_file(tree, tree.header, tree._length if same else -1)
    if isinstance(tree, Table):
        return _atbfile.encode_file(tree, bytes(HEADER_SIZE), -1)
    raise TypeError(f"dumps takes a Tree or a Table, not {type(tree).__name__}")


def dump(tree, fp):
    """Writes the bytes of a tree to `fp` (opened for binary writing)."""
    fp.write(dumps(tree))


class edit:
    """with atbfile.edit(path) as tree: changes the file in place.

    The file is locked against other editors for the whole block (readers still see it as it
    was); only the tables the block reaches are read. Leaving the block makes every change as
    one journaled, durable change through the change layer (the bytes atbutil apply of the
    diff between before and after would write); an exception in the block writes nothing.
    """

    def __init__(self, path):
        self._path = _fspath(path)
        self._source = None
        self._tree = None

    def __enter__(self):
        source, root, header = _atbfile.open_edit(self._path)
        self._source = source
        self._tree = _tree(root, header, -1, source)
        return self._tree

    def __exit__(self, exc_type, exc, tb):
        source, tree = self._source, self._tree
        try:
            if exc_type is None:
                _atbfile.commit(source, tree, tree.header)
        finally:
            tree._source = None
            _atbfile.close_edit(source)
        return False


def _patch_text(patch):
    if isinstance(patch, os.PathLike):
        with open(patch, "rb") as f:
            return f.read(), _fspath(patch)
    if isinstance(patch, (bytes, bytearray)):
        return bytes(patch), "<patch>"
    if isinstance(patch, str):
        return patch.encode("utf-8", "surrogateescape"), "<patch>"
    raise TypeError(f"a patch is its text (str) or a path (os.PathLike), "
                    f"not {type(patch).__name__}")


def _file_or_bytes(what):
    if isinstance(what, Table):
        return dumps(what)
    if isinstance(what, (bytes, bytearray)):
        return bytes(what)
    return _fspath(what)


def diff(a, b, *, reversible=False, overlay=False):
    """The patch (its text) that turns `a` into `b`, as atbutil diff writes it; "" when they
    are the same. Each is a path of a file or a folder, a tree, or a file's bytes."""
    return _atbfile.diff(_file_or_bytes(a), _file_or_bytes(b), reversible, overlay)


def apply(target, *patches, check=False):
    """Applies patches in order to the file or folder `target`, as one change, as atbutil apply
    does: all of them or none. A patch is its text (str) or a path (os.PathLike). RefusedChange
    (its .failures say each change that does not hold) when one does not apply; with check,
    only that. Returns what writes damaged tables, as atbutil says it."""
    texts = [_patch_text(p) for p in patches]
    if not texts:
        raise TypeError("apply needs at least one patch")
    return _atbfile.apply(_fspath(target), texts, check)


def merge(base, ours, theirs, *, side=None):
    """Merges into the file `ours` every change from `base` to `theirs`, as atbutil merge does.
    side None keeps ours at each conflict; "ours" or "theirs" settles them. Returns the
    conflicts, each as atbutil says it ("PATH: base ..., ours ..., theirs ...")."""
    if side not in (None, "ours", "theirs"):
        raise ValueError("side is None, 'ours' or 'theirs'")
    return _atbfile.merge(_fspath(base), _fspath(ours), _fspath(theirs), side or "")


def conflicts(base, *mods, all=False):
    """Which mods (patches or attribute files, or folders of them, for the file or folder
    `base`) change the same entries, and which one wins, as atbutil conflicts says: a list of
    dicts with path, kind (agree, override, lost, hidden, single), winner, base and mods (each
    (mod, value)); with all, every entry any mod touches."""
    return _atbfile.conflicts(_fspath(base), [_fspath(m) for m in mods], all)


def combine(base, *mods):
    """The one patch (its text) that installs the mods in load order, as atbutil combine
    writes it."""
    return _atbfile.combine(_fspath(base), [_fspath(m) for m in mods])


_atbfile._setup(Table, Tree, DamagedFile, RefusedChange, Locked, NoSpace)
