"""btree's C API table, reached from Python through ctypes.

Positional access, bulk building and the set merges have no Python method;
the benchmark calls their capsule entries directly. Entries are wrapped with
PYFUNCTYPE, so the GIL stays held, a NULL result raises the pending
exception and a returned object is taken over as a new reference.
"""

import ctypes

GET_ITEM_BY_INDEX = 6
MERGE_UNION = 9
MERGE_INTERSECTION = 10
MERGE_DIFFERENCE = 11
BUILD_FROM_SORTED_PAIRS = 14
SLOTS = 16
KIND_KEYS = 0           # what positional access returns: the key
# ob_refcnt, ob_type and ob_size come before a list's ob_item.
_LIST_ITEMS_OFFSET = 3 * ctypes.sizeof(ctypes.c_void_p)

_table = None


def entry(slot, restype, *argtypes):
    """The capsule's entry `slot` as a callable of the given C signature."""
    global _table
    if _table is None:
        import btree
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype = ctypes.c_void_p
        get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        address = get_pointer(btree._C_API, b"btree._C_API")
        _table = (ctypes.c_void_p * SLOTS).from_address(address)
    return ctypes.PYFUNCTYPE(restype, *argtypes)(_table[slot])


def get_item_by_index():
    """f(tree, index, kind) -> key, value or item at that position."""
    return entry(GET_ITEM_BY_INDEX, ctypes.py_object, ctypes.py_object, ctypes.c_ssize_t,
                 ctypes.c_int)


def merge(slot):
    """f(left, right) -> a new tree of the merged keys, values None."""
    return entry(slot, ctypes.py_object, ctypes.py_object, ctypes.py_object)


def call_floor():
    """f(list, index, kind) -> item: PySequence_GetItem(list, index) called
    through ctypes with the very signature of get_item_by_index(), so that
    it costs what converting the arguments and the result costs, and almost
    nothing else. The extra int argument travels in a register that
    PySequence_GetItem never reads (every 64-bit calling convention passes
    the first four integer arguments in registers)."""
    return ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_ssize_t,
                             ctypes.c_int)(("PySequence_GetItem", ctypes.pythonapi))


def _items_address(holder):
    """The address of a list's item array (PyListObject.ob_item, after the
    variable-size object header), checked against the list's first item."""
    address = ctypes.c_void_p.from_address(id(holder) + _LIST_ITEMS_OFFSET).value
    if holder and ctypes.c_void_p.from_address(address).value != id(holder[0]):
        raise RuntimeError("unexpected list layout: cannot hand over item references")
    return address


def build_from_sorted_pairs(keys, values):
    """Prepares a bulk build of the sorted `keys` with `values`; returns
    run(), which makes the tree with one call of the entry.

    The entry takes over one reference per array slot and clears the slot.
    The arrays are the item arrays of two private lists, which own one
    reference per item: the entry takes those over, and a slot it leaves
    (a failed build) is released with its list, whose deallocation skips
    cleared slots. Neither list is used in any other way.
    """
    build = entry(BUILD_FROM_SORTED_PAIRS, ctypes.py_object, ctypes.c_void_p,
                  ctypes.c_void_p, ctypes.c_ssize_t)
    holders = (list(keys), list(values))
    key_slots, value_slots = map(_items_address, holders)
    n = len(keys)

    def run():
        return build(key_slots, value_slots, n)
    # The lists live as long as run().
    run.holders = holders
    return run
