// The tree operations shared by every Python surface and the capsule entries.
// Each enters the tree itself (ops/entry.h) and reports failures the C API
// way.
#pragma once
#include <Python.h>

#include "nodes/release.h"
#include "nodes/tree.h"

// Looks `key` up: 1 with the value in `*value` (new reference), 0 when it is
// absent (no exception), -1 with an exception. A hit fills the path cache.
int btree_lookup(BTreeCore *tree, PyObject *key, PyObject **value);

// The value stored under `key` (new reference), or NULL: KeyError when it is
// absent.
PyObject *btree_search_item(BTreeCore *tree, PyObject *key);

// How a write treats the nodes on its path. Splits: every full node it passes
// is split, whether or not the key is new. KeepShape: storing over the value
// of a present key moves no node (walks that allow that go on), at the cost of
// a second descent when a new key's path has a full node.
enum class BTreeWrite { Splits, KeepShape };

// Stores `value` under `key`, replacing the value of an equal key. 0 or -1.
int btree_insert_item(BTreeCore *tree, PyObject *key, PyObject *value, BTreeWrite mode = BTreeWrite::Splits);

// Adds `delta` to the value of `key`, or stores `start + delta` for a missing
// key; returns the value now stored (new reference) or NULL.
PyObject *btree_increment(BTreeCore *tree, PyObject *key, PyObject *delta, PyObject *start,
                          BTreeWrite mode = BTreeWrite::Splits);

// Removes the item of `key`. 0, or -1 with an exception (KeyError carrying the
// key when absent).
int btree_delete_item(BTreeCore *tree, PyObject *key);

// Removes the item of `key` and hands over its value: 1 with `*value` (new
// reference), 0 when the key is absent (no exception), -1 with an exception.
int btree_pop_key(BTreeCore *tree, PyObject *key, PyObject **value);

// The value of `key` (new reference); a missing key first gets `fallback`.
// NULL with an exception.
PyObject *btree_setdefault(BTreeCore *tree, PyObject *key, PyObject *fallback);

// Number of keys less than (or, with `or_equal`, not greater than) `key`, or
// -1. Without `or_equal`, `*present` (when given) says whether the key is in
// the tree: its position, found in the same descent.
Py_ssize_t btree_rank(BTreeCore *tree, PyObject *key, bool or_equal, bool *present = nullptr);

// The positions [*before, *through) of the run of keys equal to `key`, read
// in one entry: 1 when the run holds an item, 0 when it is empty, -1.
int btree_run_bounds(BTreeCore *tree, PyObject *key, Py_ssize_t *before, Py_ssize_t *through);

// The positions [*start, *stop) of the keys from `min` to `max` (NULL: no
// bound), read in one entry with the shape version they are valid for. 0 or
// -1.
int btree_range_positions(BTreeCore *tree, PyObject *min, PyObject *max, bool inclusive_min, bool inclusive_max,
                          Py_ssize_t *start, Py_ssize_t *stop, uint64_t *shape_version);

// The key next to `key` in order: the greatest not above it (Floor), the
// least not below it (Ceiling), the greatest below it (Lower) or the least
// above it (Higher). 1 with `*found_key` (new reference; in a large tree of
// exact ints, an equal int rather than the stored object), 0 when there is
// none, -1 with an exception.
enum class BTreeNeighbour { Floor, Ceiling, Lower, Higher };
int btree_neighbour(BTreeCore *tree, PyObject *key, BTreeNeighbour which, PyObject **found_key);

// The keys within the bounds as a new list, or NULL. A NULL or None bound is
// no bound; `inclusive` is NULL, None or a sequence of two flags.
PyObject *btree_irange(BTreeCore *tree, PyObject *min, PyObject *max, PyObject *inclusive);

// Reads an `inclusive` argument: NULL or None keeps both bounds inclusive,
// else a sequence of two flags. Both flags are always evaluated; the second
// runs with no exception set, and the first flag's error is the one reported.
// 0 or -1.
int btree_parse_inclusive(PyObject *inclusive, bool *inclusive_min, bool *inclusive_max);

// Removes the items at positions [start, stop) (clamped to the tree) in one
// operation: the subtrees between the two ends go whole. Returns how many
// went, or -1 with an exception (MemoryError, nothing removed).
Py_ssize_t btree_remove_range(BTreeCore *tree, Py_ssize_t start, Py_ssize_t stop);

// Removes the positions of a slice of step 1 or -1, its bounds as
// PySlice_Unpack gives them, adjusted to the tree's size in the same entry.
// The number removed, or -1.
Py_ssize_t btree_remove_slice(BTreeCore *tree, Py_ssize_t start, Py_ssize_t stop, Py_ssize_t step);

// Removes the keys within the bounds (a NULL or None bound is no bound), as
// btree_irange selects them. Returns how many went, or -1. With `count`, that
// number is also made as an int object (a new reference) before anything is
// removed, so that a caller returning it cannot fail after the removal.
Py_ssize_t btree_remove_range_keys(BTreeCore *tree, PyObject *min, PyObject *max, bool inclusive_min,
                                   bool inclusive_max, PyObject **count = nullptr);

// Removes the item at a position, negative positions counting from the end.
// 0, or -1 with IndexError "index out of range".
int btree_delete_at(BTreeCore *tree, Py_ssize_t index);

// What positional access and walks yield of an item. In a tree of pair
// values, PairKeys and PairValues are the members of the stored pair.
enum class BTreeItemKind { Keys, Values, Items, PairKeys, PairValues };

// The key, the value or the (key, value) tuple at a position, negative
// positions counting from the end; NULL with IndexError "index out of range".
PyObject *btree_item_at(BTreeCore *tree, Py_ssize_t index, BTreeItemKind kind);

// The key, the value or the (key, value) tuple of one slot of a leaf, as a
// new reference; NULL when the tuple cannot be made. A leaf without values
// holds elements: an element is its own value.
PyObject *btree_slot_item(const BTreeNode *leaf, int slot, BTreeItemKind kind);

// Removes the item at a position and returns its key, its value or the
// (key, value) tuple. In a tree that keeps no values, an element is its own
// value.
PyObject *btree_pop_item_at(BTreeCore *tree, Py_ssize_t index, BTreeItemKind kind = BTreeItemKind::Items);

// Removes every item: the clear() operation. 0, or -1 when the guard refuses.
int btree_clear(BTreeCore *tree);

// Moves the items of `built`, a tree no object owns (made by the bulk build,
// a merge or a copy), into the empty `tree`, and marks the change; `built` is
// left empty. 0; 1 with nothing moved when `tree` gained items while the
// entry waited for another thread; -1 when the entry is refused.
int btree_adopt(BTreeCore *tree, BTreeCore *built);

// Gives `tree` the nodes of the built tree in place of its own, unless it
// changed since its version was `version`: 1 then, and both stay as they
// are. The old items are let go once the tree is free again. 0, 1 or -1.
int btree_replace(BTreeCore *tree, BTreeCore *built, uint64_t version);

// Fills the empty tree `dst`, which no other code reaches yet, with a copy of
// `src` node for node (the keys and values shared), once no operation runs on
// `src`. 0, or -1 with MemoryError or the refusal of the entry, `dst` empty.
int btree_copy(BTreeCore *dst, BTreeCore *src);

// Bytes of a tree's nodes, for the memory it takes.
size_t btree_tree_bytes(const BTreeCore *tree);

// The garbage collector's clear: every item goes, whatever holds the guard.
void btree_clear_refs(BTreeCore *tree);

// Releases everything the tree owns, when its object is deallocated.
void btree_finalize(BTreeCore *tree);

// A tree that holds no item returns to the empty state (no root, key kind
// None, no key type).
void btree_reset_empty(BTreeCore *tree);

// KeyError whose single argument is the key, also when the key is a tuple
// (which PyErr_SetObject would unpack into several arguments).
void btree_set_key_error(PyObject *key);

// The sorted sequences' operations on the run of keys equal to `key`. An
// item holds `element` when its value (its key, in a tree that keeps no
// values) compares equal to it; a NULL element is held by every item. In a
// tree of unique keys a run holds one item at most.
//
// Adds the item (`key`, `value`) after the run: the tree takes a new
// reference to `value`, which is NULL in a tree that keeps no values. 0 or -1.
int btree_add(BTreeCore *tree, PyObject *key, PyObject *value);

// Adds the item (`key`, `value`) after the run unless an item of it holds
// `element`: 1 when added, 0 when held already, -1 with an exception.
int btree_add_unique(BTreeCore *tree, PyObject *key, PyObject *value, PyObject *element);

// The first item of the run at position `from` or after that holds
// `element`: 1 with its position in `*rank` and its value in `*value` (a new
// reference; each when given), 0 when there is none, -1 with an exception.
int btree_find_in_run(BTreeCore *tree, PyObject *key, PyObject *element, Py_ssize_t from, Py_ssize_t *rank,
                      PyObject **value = nullptr);

// Items of the run that hold `element`, or -1.
Py_ssize_t btree_count_in_run(BTreeCore *tree, PyObject *key, PyObject *element);

// Removes the first item of the run that holds `element`: 1, with its value
// (its key in a tree that keeps no values) handed over in `*removed` when
// given; 0 when there is none; -1 with an exception.
int btree_remove_in_run(BTreeCore *tree, PyObject *key, PyObject *element, PyObject **removed);

// The writes of a keyed map, a tree of pair values, on the item whose pair
// holds `element` in the run of `key`; a missing item is added after the run
// with the pair (element, value).
//
// Stores `value` in the item's pair, whose key object stays. 0 or -1.
int btree_store_pair(BTreeCore *tree, PyObject *key, PyObject *element, PyObject *value);

// The value of the item (new reference); a missing item first gets
// `fallback`. NULL with an exception.
PyObject *btree_setdefault_pair(BTreeCore *tree, PyObject *key, PyObject *element, PyObject *fallback);

// Adds `delta` to the item's value, or stores `start + delta` in a missing
// item; returns the value now stored (new reference) or NULL.
PyObject *btree_increment_pair(BTreeCore *tree, PyObject *key, PyObject *element, PyObject *delta, PyObject *start);

// Splits the full child `children[index]` of the non-full internal `parent`;
// primitives travel with their keys when `copy_prims` is set. 0, or -1 with
// MemoryError before anything has changed.
int btree_split_child(BTreeNode *parent, int index, bool copy_prims);

// The work of btree_prepare_root once the root is missing or full.
int btree_grow_root(BTreeCore *tree, bool *split);

// Makes sure the root has room for one more key: a missing root becomes an
// empty leaf and a full root is split under a new internal root. `*split` is
// set when the tree grew. 0, or -1 with MemoryError and the tree unchanged.
// In line, as nearly every insertion finds room and needs no call.
BTREE_ALWAYS_INLINE inline int btree_prepare_root(BTreeCore *tree, bool *split)
{
    *split = false;
    if (tree->root && tree->root->n < BTREE_MAX_KEYS)
        return 0;
    return btree_grow_root(tree, split);
}

// Tops up the child `children[idx]` of `parent` (which has at least one key)
// by borrowing one entry from a sibling with more than the minimum, or by
// merging with a sibling. The child's entries then sit in `children[idx]`, or
// in `children[idx - 1]` when idx now exceeds the parent's key count.
// Separators that leave the tree go to `pending`.
void btree_fill(BTreeNode *parent, int idx, bool copy_prims, BTreeReleaseList &pending);

// Joins `children[idx + 1]` into `children[idx]` and frees the right node.
void btree_merge(BTreeNode *parent, int idx, bool copy_prims, BTreeReleaseList &pending);
