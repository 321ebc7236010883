/* The compiler hints the module uses, the one place that names a compiler's
 * own builtins and attributes: GCC and Clang get theirs, MSVC its intrinsics,
 * and any other compiler builds without the hint. Plain C, since compat.h
 * includes it. */
#ifndef BTREE_HINTS_H
#define BTREE_HINTS_H

#include <stdint.h>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define BTREE_MSVC 1
#elif defined(__GNUC__) || defined(__clang__)
#define BTREE_GNU 1
#endif

/* Inlining forced where the compiler's own choice made the hot paths slower,
 * and refused where a rare path would crowd its caller. */
#if defined(BTREE_GNU)
#define BTREE_ALWAYS_INLINE __attribute__((always_inline))
#define BTREE_NOINLINE __attribute__((noinline))
#elif defined(BTREE_MSVC) && defined(__cplusplus)
#define BTREE_ALWAYS_INLINE [[msvc::forceinline]]
#define BTREE_NOINLINE __declspec(noinline)
#elif defined(BTREE_MSVC)
#define BTREE_ALWAYS_INLINE
#define BTREE_NOINLINE __declspec(noinline)
#else
#define BTREE_ALWAYS_INLINE
#define BTREE_NOINLINE
#endif

/* Asks for the cache line at `p`, to be read, or to be written (a reference
 * count, a shifted slot). Never faults, whatever `p` is. */
#if defined(BTREE_GNU)
#define BTREE_PREFETCH(p) __builtin_prefetch((p))
#define BTREE_PREFETCH_WRITE(p) __builtin_prefetch((p), 1)
#elif defined(BTREE_MSVC) && (defined(_M_X64) || defined(_M_IX86))
#define BTREE_PREFETCH(p) _mm_prefetch((const char *)(p), _MM_HINT_T0)
#define BTREE_PREFETCH_WRITE(p) _mm_prefetch((const char *)(p), _MM_HINT_T0)
#elif defined(BTREE_MSVC) && defined(_M_ARM64)
#define BTREE_PREFETCH(p) __prefetch((const void *)(p))
#define BTREE_PREFETCH_WRITE(p) __prefetch((const void *)(p))
#else
#define BTREE_PREFETCH(p) ((void)(p))
#define BTREE_PREFETCH_WRITE(p) ((void)(p))
#endif

/* The bytes of `v` in reverse order: one instruction. */
static inline uint64_t btree_byteswap64(uint64_t v)
{
#if defined(BTREE_GNU)
    return __builtin_bswap64(v);
#elif defined(BTREE_MSVC)
    return _byteswap_uint64(v);
#else
    v = (v & 0x00FF00FF00FF00FFull) << 8 | (v >> 8 & 0x00FF00FF00FF00FFull);
    v = (v & 0x0000FFFF0000FFFFull) << 16 | (v >> 16 & 0x0000FFFF0000FFFFull);
    return v << 32 | v >> 32;
#endif
}

/* A pause inside a spin loop: lets the sibling hardware thread run and
 * saves power while another thread finishes. */
static inline void btree_cpu_relax(void)
{
#if defined(BTREE_GNU) && (defined(__x86_64__) || defined(__i386__))
    __builtin_ia32_pause();
#elif defined(BTREE_GNU) && defined(__aarch64__)
    __asm__ __volatile__("yield");
#elif defined(BTREE_MSVC) && (defined(_M_X64) || defined(_M_IX86))
    _mm_pause();
#elif defined(BTREE_MSVC) && defined(_M_ARM64)
    __yield();
#endif
}

/* Thread-local storage of the initial-exec model: an access is one load at a
 * fixed offset from the thread pointer, without a call. The module is loaded
 * by an interpreter whose threads already run, which the model allows on the
 * systems it exists on; elsewhere thread-local storage is already that
 * cheap. */
#if defined(BTREE_GNU)
#define BTREE_TLS_INITIAL_EXEC __attribute__((tls_model("initial-exec")))
#else
#define BTREE_TLS_INITIAL_EXEC
#endif

/* Between BTREE_SWITCH_EXHAUSTIVE_BEGIN and _END, a switch over an
 * enumeration that leaves out one of its enumerators does not compile, even
 * where warnings are not errors. */
#if defined(BTREE_GNU)
#define BTREE_SWITCH_EXHAUSTIVE_BEGIN _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic error \"-Wswitch\"")
#define BTREE_SWITCH_EXHAUSTIVE_END _Pragma("GCC diagnostic pop")
#elif defined(BTREE_MSVC)
#define BTREE_SWITCH_EXHAUSTIVE_BEGIN __pragma(warning(push)) __pragma(warning(error : 4062))
#define BTREE_SWITCH_EXHAUSTIVE_END __pragma(warning(pop))
#else
#define BTREE_SWITCH_EXHAUSTIVE_BEGIN
#define BTREE_SWITCH_EXHAUSTIVE_END
#endif

#ifdef __cplusplus
#include <atomic>

/* Atomic access to a plain field: std::atomic_ref where the C++ library has
 * it (libc++ before LLVM 19 does not), else the same calls on the
 * compiler's atomic builtins. */
#if defined(__cpp_lib_atomic_ref)
template <class T>
using BTreeAtomicRef = std::atomic_ref<T>;
#elif defined(BTREE_GNU)
template <class T>
class BTreeAtomicRef {
public:
    explicit BTreeAtomicRef(T &field) : field_(&field) {}
    T load(std::memory_order order = std::memory_order_seq_cst) const { return __atomic_load_n(field_, model(order)); }
    void store(T value, std::memory_order order = std::memory_order_seq_cst) const
    {
        __atomic_store_n(field_, value, model(order));
    }
    T fetch_add(T value, std::memory_order order = std::memory_order_seq_cst) const
    {
        return __atomic_fetch_add(field_, value, model(order));
    }
    T fetch_sub(T value, std::memory_order order = std::memory_order_seq_cst) const
    {
        return __atomic_fetch_sub(field_, value, model(order));
    }
    T fetch_and(T value, std::memory_order order = std::memory_order_seq_cst) const
    {
        return __atomic_fetch_and(field_, value, model(order));
    }
    T fetch_or(T value, std::memory_order order = std::memory_order_seq_cst) const
    {
        return __atomic_fetch_or(field_, value, model(order));
    }
    bool compare_exchange_strong(T &expected, T desired, std::memory_order order = std::memory_order_seq_cst) const
    {
        return __atomic_compare_exchange_n(field_, &expected, desired, false, model(order), failure_model(order));
    }
    bool compare_exchange_weak(T &expected, T desired, std::memory_order order = std::memory_order_seq_cst) const
    {
        return __atomic_compare_exchange_n(field_, &expected, desired, true, model(order), failure_model(order));
    }

private:
    static constexpr int model(std::memory_order order)
    {
        switch (order) {
        case std::memory_order_relaxed:
            return __ATOMIC_RELAXED;
        case std::memory_order_consume:
            return __ATOMIC_CONSUME;
        case std::memory_order_acquire:
            return __ATOMIC_ACQUIRE;
        case std::memory_order_release:
            return __ATOMIC_RELEASE;
        case std::memory_order_acq_rel:
            return __ATOMIC_ACQ_REL;
        case std::memory_order_seq_cst:
            break;
        }
        return __ATOMIC_SEQ_CST;
    }
    // A failed exchange only reads: it may not release.
    static constexpr int failure_model(std::memory_order order)
    {
        if (order == std::memory_order_acq_rel)
            return __ATOMIC_ACQUIRE;
        if (order == std::memory_order_release)
            return __ATOMIC_RELAXED;
        return model(order);
    }

    T *field_;
};
#endif
#endif

#endif /* BTREE_HINTS_H */
