"""A Python model of the shared borrow registry: memory owners, borrow
extents, the conflict rule and the return codes of the four operations.

- The memory owner of an array is found by following its bases while they
  are arrays; the first base that is not an array, or the last array, owns
  the memory. Owners are compared by identity.
- The extent of an array is (start, end, data, divisor): the bytes it can
  reach, its data address, and the gcd of its strides' magnitudes (0 when
  every stride is 0). A zero-dimensional array is its one element, with
  divisor 0 like an array whose strides are all zero. An array with a zero
  dimension has an empty range at its data address; its divisor still comes
  from its strides.
- Two extents of one owner conflict when their ranges intersect and the
  distance of their data addresses is a multiple of the gcd of their
  divisors; when both divisors are 0, only a distance of 0 is.
- A release that matches no recorded borrow of its kind is ignored."""
from dataclasses import dataclass
from functools import reduce
from math import gcd

import numpy as np

GRANTED, CONFLICT, NOT_WRITEABLE = 0, -1, -2
WRITE = -1  # the count of a write borrow; k > 0 counts k read borrows
MAX_READS = 2 ** 63 - 1

_base = np.ndarray.base.__get__
_interface = np.ndarray.__array_interface__.__get__
_flags = np.ndarray.flags.__get__


def memory_owner(array):
    while True:
        base = _base(array)
        if base is None:
            return array
        if not issubclass(type(base), np.ndarray):
            return base
        array = base


@dataclass(frozen=True)
class Extent:
    start: int
    end: int
    data: int
    divisor: int


def borrow_extent(array):
    data = _interface(array)["data"][0]
    if array.ndim == 0:
        return Extent(data, data + array.itemsize, data, 0)
    divisor = reduce(gcd, (abs(s) for s in array.strides), 0)
    if 0 in array.shape:
        return Extent(data, data, data, divisor)
    spans = [(d - 1) * s for d, s in zip(array.shape, array.strides)]
    start = data + sum(span for span in spans if span < 0)
    end = data + sum(span for span in spans if span >= 0) + array.itemsize
    return Extent(start, end, data, divisor)


def conflict(a, b):
    if not (a.start < b.end and b.start < a.end):
        return False
    divisor = gcd(a.divisor, b.divisor)
    distance = abs(a.data - b.data)
    return distance == 0 if divisor == 0 else distance % divisor == 0


class RegistryModel:
    """The borrows the registry must hold: for each owner (by identity), its
    extents with their counts, and an array of each extent to release it
    through."""

    def __init__(self):
        self.owners = {}

    def _borrows(self, array):
        return self.owners.setdefault(id(memory_owner(array)), {})

    def _tidy(self, array):
        owner = id(memory_owner(array))
        if not self.owners.get(owner):
            self.owners.pop(owner, None)

    def read_granted(self, array):
        extent, borrows = borrow_extent(array), self._borrows(array)
        granted = (borrows[extent][0] not in (WRITE, MAX_READS) if extent in borrows else
                   not any(count == WRITE and conflict(extent, other)
                           for other, (count, _) in borrows.items()))
        self._tidy(array)
        return granted

    def acquire_read(self, array):
        if not self.read_granted(array):
            return CONFLICT
        extent, borrows = borrow_extent(array), self._borrows(array)
        count, held = borrows.get(extent, (0, array))
        borrows[extent] = (count + 1, held)
        return GRANTED

    def acquire_write(self, array):
        if not _flags(array).writeable:
            return NOT_WRITEABLE
        extent, borrows = borrow_extent(array), self._borrows(array)
        if extent in borrows or any(conflict(extent, other) for other in borrows):
            self._tidy(array)
            return CONFLICT
        borrows[extent] = (WRITE, array)
        return GRANTED

    def release_read(self, array):
        extent, borrows = borrow_extent(array), self._borrows(array)
        count, held = borrows.get(extent, (0, None))
        if count > 1:
            borrows[extent] = (count - 1, held)
        elif count == 1:
            del borrows[extent]
        self._tidy(array)

    def release_write(self, array):
        extent, borrows = borrow_extent(array), self._borrows(array)
        if borrows.get(extent, (0, None))[0] == WRITE:
            del borrows[extent]
        self._tidy(array)

    def held(self):
        """(array, count) for every recorded extent."""
        return [(array, count) for borrows in self.owners.values()
                for count, array in borrows.values()]
