// One record per key kind that keeps primitives: how a key's primitive is
// made, how two primitives compare, and, for a kind whose primitive is only a
// prefix of its key, how keys of equal prefixes are told apart. Classifying a
// key (keys/kind.h), the search inside a node (keys/search.h), the ordering of
// bulk input (bulk/order.cpp) and the merges (bulk/merge.cpp) know a kind only
// through its record.
#pragma once
#include <Python.h>
#include <bit>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <optional>

#include "compat.h"
#include "hints.h"
#include "keys/compare.h"
#include "nodes/node.h"

// What a record's `make` found `key` to be: a key of the kind, with its
// primitive stored; a key of another kind; a key of the kind's type that has
// no primitive (an int beyond 64 bits), which the tree keeps as an object; or
// nothing, with an exception set.
enum class BTreeMade { Prim, Foreign, Object, Error };

// What every record gives:
// - `kind`, its enumerator, one that keeps primitives;
// - `whole`: the primitive is the whole key, so equal primitives are equal
//   keys; otherwise it is a prefix, and keys of equal prefixes are ordered by
//   `tie(a, b)` on the key objects (-1, 0 or 1, running no Python code);
// - `make(key, prim)`, the classification of one key by its exact type;
//   a record may leave its rarer exact types to `make_rare(key, prim)`,
//   which a key is offered only once every record's `make` has declined it,
//   so that the commoner keys of later records do not test them first;
// - `compare(a, b)`, three-way, and `less(a, b)`, `not_greater(a, b)`, the
//   same order without branches, for the searches;
// - `order(p)`, the primitive as an unsigned number in that order, for the
//   radix sort of bulk input.
template <class R>
concept BTreeKindRecord =
    requires(PyObject *key, BTreePrim *out, BTreePrim a, BTreePrim b) {
        { R::kind } -> std::convertible_to<BTreeKeyKind>;
        { R::whole } -> std::convertible_to<bool>;
        { R::make(key, out) } -> std::same_as<BTreeMade>;
        { R::compare(a, b) } -> std::same_as<int>;
        { R::less(a, b) } -> std::same_as<bool>;
        { R::not_greater(a, b) } -> std::same_as<bool>;
        { R::order(a) } -> std::same_as<uint64_t>;
    } && btree_kind_keeps_prims(R::kind) &&
    (!requires { &R::make_rare; } || requires(PyObject *key, BTreePrim *out) {
        { R::make_rare(key, out) } -> std::same_as<BTreeMade>;
    }) &&
    (R::whole || requires(PyObject *left, PyObject *right) {
        { R::tie(left, right) } -> std::same_as<int>;
    });

// Order of two keys whose primitives are equal.
template <BTreeKindRecord R>
BTREE_ALWAYS_INLINE inline int btree_kind_tie(PyObject *left, PyObject *right)
{
    if constexpr (R::whole)
        return 0;
    else
        return R::tie(left, right);
}

// Three-way order of two keys of the kind, `a` and `b` their primitives: the
// key objects are read only when the primitives of a prefix kind tie. A
// prefix kind asks `less` first, branching on the answers, since distinct
// keys rarely share a prefix.
template <BTreeKindRecord R>
BTREE_ALWAYS_INLINE inline int btree_kind_order(BTreePrim a, BTreePrim b, PyObject *left, PyObject *right)
{
    if constexpr (R::whole) {
        return R::compare(a, b);
    } else {
        if (R::less(a, b))
            return -1;
        if (R::less(b, a))
            return 1;
        return R::tie(left, right);
    }
}

// Every exact int within 64 bits, and every bool: its value. Bools are rare
// keys, left to `make_rare`.
struct BTreeInt64Kind {
    static constexpr BTreeKeyKind kind = BTreeKeyKind::Int64;
    static constexpr bool whole = true;

    BTREE_ALWAYS_INLINE static BTreeMade make(PyObject *key, BTreePrim *prim)
    {
        PyTypeObject *type = Py_TYPE(key);
        if (type == &PyLong_Type) {
            if (btree_long_is_compact(key)) {
                prim->i = btree_long_compact_value(key);
                return BTreeMade::Prim;
            }
            if (btree_long_digits_value(key, &prim->i))
                return BTreeMade::Prim;
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(key, &overflow);
            if (overflow)
                return PyErr_Occurred() ? BTreeMade::Error : BTreeMade::Object;
            if (v == -1 && PyErr_Occurred())
                return BTreeMade::Error;
            prim->i = v;
            return BTreeMade::Prim;
        }
        return BTreeMade::Foreign;
    }
    BTREE_ALWAYS_INLINE static BTreeMade make_rare(PyObject *key, BTreePrim *prim)
    {
        if (Py_TYPE(key) != &PyBool_Type)
            return BTreeMade::Foreign;
        prim->i = key == Py_True;
        return BTreeMade::Prim;
    }
    static int compare(BTreePrim a, BTreePrim b) { return (a.i > b.i) - (a.i < b.i); }
    static bool less(BTreePrim a, BTreePrim b) { return a.i < b.i; }
    static bool not_greater(BTreePrim a, BTreePrim b) { return a.i <= b.i; }
    // The sign bit flipped: unsigned order is then signed order.
    static uint64_t order(BTreePrim p) { return static_cast<uint64_t>(p.i) ^ (uint64_t{1} << 63); }
};

// Float order in which NaN orders above every number and equal to NaN, which
// keeps the order total although NaN keys never enter a tree.
inline int btree_f64_cmp(double s, double k)
{
    if (s < k)
        return -1;
    if (s > k)
        return 1;
    if (s == k)
        return 0;
    bool sn = s != s, kn = k != k;
    return sn == kn ? 0 : (sn ? 1 : -1);
}

// Every exact float but NaN, which is refused: its value.
struct BTreeFloat64Kind {
    static constexpr BTreeKeyKind kind = BTreeKeyKind::Float64;
    static constexpr bool whole = true;

    BTREE_ALWAYS_INLINE static BTreeMade make(PyObject *key, BTreePrim *prim)
    {
        if (Py_TYPE(key) != &PyFloat_Type)
            return BTreeMade::Foreign;
        double d = PyFloat_AS_DOUBLE(key);
        if (std::isnan(d)) {
            PyErr_SetString(PyExc_ValueError, "NaN keys are not supported");
            return BTreeMade::Error;
        }
        prim->f = d;
        return BTreeMade::Prim;
    }
    static int compare(BTreePrim a, BTreePrim b) { return btree_f64_cmp(a.f, b.f); }
    // The order of btree_f64_cmp, without branches.
    static bool less(BTreePrim a, BTreePrim b) { return (a.f < b.f) | ((a.f == a.f) & (b.f != b.f)); }
    static bool not_greater(BTreePrim a, BTreePrim b) { return (a.f <= b.f) | (b.f != b.f); }
    // The bits of a positive number with the sign bit set, those of a
    // negative one inverted: unsigned order is then numeric order. No NaN
    // reaches a sort.
    static uint64_t order(BTreePrim p)
    {
        double d = p.f + 0.0;  // -0.0 equals 0.0
        uint64_t bits;
        memcpy(&bits, &d, sizeof bits);
        return bits >> 63 ? ~bits : bits | (uint64_t{1} << 63);
    }
};

// The prefix of a string that is not ASCII, encoded code point by code point.
BTREE_NOINLINE inline uint64_t btree_wide_str_prefix(PyObject *s)
{
    Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    const void *data = PyUnicode_DATA(s);
    int kind = PyUnicode_KIND(s);
    uint64_t v = 0;
    int shift = 56;
    for (Py_ssize_t i = 0; i < len && shift >= 0; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        unsigned char enc[4];
        int m;
        if (c < 0x80) {
            enc[0] = static_cast<unsigned char>(c);
            m = 1;
        } else if (c < 0x800) {
            enc[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            enc[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            m = 2;
        } else if (c < 0x10000) {
            enc[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            enc[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            enc[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            m = 3;
        } else {
            enc[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            enc[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            enc[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            enc[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            m = 4;
        }
        for (int j = 0; j < m && shift >= 0; j++, shift -= 8)
            v |= static_cast<uint64_t>(enc[j]) << shift;
    }
    return v;
}

// The first eight bytes of the string's UTF-8 form, zero-padded, as a
// big-endian number. UTF-8 byte order is code point order and a string sorts
// before its extensions, so prefixes that differ order their strings; equal
// prefixes say nothing. Surrogates encode by the same rule.
BTREE_ALWAYS_INLINE inline uint64_t btree_str_prefix(PyObject *s)
{
    if (!PyUnicode_IS_ASCII(s))
        return btree_wide_str_prefix(s);
    // An ASCII string is its own UTF-8 form; one load reads a long one.
    Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    const void *data = PyUnicode_DATA(s);
    uint64_t v = 0;
    if (len >= 8)
        memcpy(&v, data, 8);
    else
        memcpy(&v, data, static_cast<size_t>(len));
    if constexpr (std::endian::native == std::endian::little)
        v = btree_byteswap64(v);
    return v;
}

// Every exact str: the prefix of btree_str_prefix; strings of one prefix are
// ordered by code points.
struct BTreeStrKind {
    static constexpr BTreeKeyKind kind = BTreeKeyKind::Str;
    static constexpr bool whole = false;

    BTREE_ALWAYS_INLINE static BTreeMade make(PyObject *key, BTreePrim *prim)
    {
        if (Py_TYPE(key) != &PyUnicode_Type)
            return BTreeMade::Foreign;
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(key) < 0)
            return BTreeMade::Error;
#endif
        prim->u = btree_str_prefix(key);
        return BTreeMade::Prim;
    }
    static int compare(BTreePrim a, BTreePrim b) { return (a.u > b.u) - (a.u < b.u); }
    static bool less(BTreePrim a, BTreePrim b) { return a.u < b.u; }
    static bool not_greater(BTreePrim a, BTreePrim b) { return a.u <= b.u; }
    static uint64_t order(BTreePrim p) { return p.u; }
    static int tie(PyObject *left, PyObject *right) { return btree_str_cmp(left, right); }
};

// The records, in the order a key is offered to them.
template <class... R>
struct BTreeKindRecords {
    static_assert((BTreeKindRecord<R> && ...), "a key kind record lacks a piece of BTreeKindRecord");

    template <class T>
    static constexpr bool lists = (std::same_as<T, R> || ...);

    // The kind of `key`, with its primitive stored when the kind keeps one;
    // Object when no record claims it; nothing with an exception set.
    BTREE_ALWAYS_INLINE static std::optional<BTreeKeyKind> classify(PyObject *key, BTreePrim *prim)
    {
        return classify_by<false, R...>(key, prim);
    }

private:
    // Each record's `make` in turn, then each record's `make_rare`.
    template <bool Rare, class T, class... Rest>
    BTREE_ALWAYS_INLINE static std::optional<BTreeKeyKind> classify_by(PyObject *key, BTreePrim *prim)
    {
        BTreeMade made = BTreeMade::Foreign;
        if constexpr (!Rare)
            made = T::make(key, prim);
        else if constexpr (requires { &T::make_rare; })
            made = T::make_rare(key, prim);
        switch (made) {
        case BTreeMade::Prim:
            return T::kind;
        case BTreeMade::Object:
            return BTreeKeyKind::Object;
        case BTreeMade::Error:
            return std::nullopt;
        case BTreeMade::Foreign:
            break;
        }
        if constexpr (sizeof...(Rest) > 0)
            return classify_by<Rare, Rest...>(key, prim);
        else if constexpr (!Rare)
            return classify_by<true, R...>(key, prim);
        else
            return BTreeKeyKind::Object;
    }
};

// Ints come first: they are the commonest keys.
using BTreeKindList = BTreeKindRecords<BTreeInt64Kind, BTreeFloat64Kind, BTreeStrKind>;

// The record of the case for kind `K` of btree_with_kind_record.
template <BTreeKeyKind K, class R>
constexpr R btree_kind_record()
{
    static_assert(R::kind == K, "a key kind dispatched to another kind's record");
    static_assert(BTreeKindList::lists<R>, "a key kind record left out of BTreeKindList");
    return R{};
}

// `on_record(R{})` with the record R of `kind`, or `on_object()` for a kind
// that keeps no primitives. The switch names every enumerator and has no
// default, so a kind added without its case here does not compile.
BTREE_SWITCH_EXHAUSTIVE_BEGIN
template <class OnRecord, class OnObject>
BTREE_ALWAYS_INLINE inline auto btree_with_kind_record(BTreeKeyKind kind, OnRecord &&on_record,
                                                         OnObject &&on_object)
{
    switch (kind) {
    case BTreeKeyKind::None:
    case BTreeKeyKind::Object:
        break;
    case BTreeKeyKind::Int64:
        return on_record(btree_kind_record<BTreeKeyKind::Int64, BTreeInt64Kind>());
    case BTreeKeyKind::Float64:
        return on_record(btree_kind_record<BTreeKeyKind::Float64, BTreeFloat64Kind>());
    case BTreeKeyKind::Str:
        return on_record(btree_kind_record<BTreeKeyKind::Str, BTreeStrKind>());
    }
    return on_object();
}
BTREE_SWITCH_EXHAUSTIVE_END
