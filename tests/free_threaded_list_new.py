"""CPython 3.13's free-threaded build, without this project's code: PyList_New
of a non-empty list whose item array cannot be allocated releases the list
with the item pointer it had before (from the free list, or none written), so
list_dealloc reads freed memory (Objects/listobject.c, the Py_GIL_DISABLED
branch of PyList_New). Run with PYTHONMALLOC=mimalloc_debug PYTHON_GIL=0:
it crashes. The suite's sweep of every interpreter allocation reaches that
path, so it is skipped on those builds."""
import _testcapi

d = {i: i for i in range(64)}
for fail_at in range(40):
    junk = [object() for _ in range(64)]
    del junk
    _testcapi.set_nomemory(fail_at, fail_at + 1)
    try:
        list(d)
        "a b c d".split()
    except MemoryError:
        pass
    finally:
        _testcapi.remove_mem_hooks()
print("survived")
