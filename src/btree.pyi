"""B-tree data structure for Quindle."""

from collections.abc import Iterator, Sequence
from typing import Generic, TypeVar, final, overload

from _typeshed import SupportsRichComparison
from typing_extensions import CapsuleType

_K = TypeVar("_K", bound=SupportsRichComparison)
_V = TypeVar("_V")
_K2 = TypeVar("_K2", bound=SupportsRichComparison)
_V2 = TypeVar("_V2")

@final
class BTree(Generic[_K, _V]):
    """A sorted map from keys to values, held as a B+ tree.

    The key and value types exist for type checkers only: the class cannot be
    subscripted at run time, so write ``tree: BTree[int, str] = BTree()``.
    """

    def __len__(self) -> int: ...
    # Without a value the key is stored with None, which the value type must
    # admit.
    @overload
    def insert(self, key: _K, value: _V, /) -> None: ...
    @overload
    def insert(self: BTree[_K2, _V2 | None], key: _K2, /) -> None: ...
    def delete(self, key: _K, /) -> None: ...
    def search(self, key: _K, /) -> _V: ...
    def clear(self) -> None: ...
    def keys(self) -> Iterator[_K]: ...
    def values(self) -> Iterator[_V]: ...
    def items(self) -> Iterator[tuple[_K, _V]]: ...
    def bisect_left(self, key: _K, /) -> int: ...
    def bisect_right(self, key: _K, /) -> int: ...
    def irange(
        self,
        min: _K | None = None,
        max: _K | None = None,
        inclusive: Sequence[bool] | None = None,
    ) -> list[_K]: ...

_C_API: CapsuleType
