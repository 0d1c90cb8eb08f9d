"""The shared borrow registry, driven the way a cooperating module drives it:
the record is read out of the capsule and its operations are called with the
GIL held."""
import ctypes

import numpy.core.multiarray as multiarray

ATTRIBUTE = "_array_borrow_registry"

ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)

GRANTED, CONFLICT, NOT_WRITEABLE = 0, -1, -2


class BorrowRecord(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("state", ctypes.c_void_p),
        ("acquire_read", ctypes.c_void_p),
        ("acquire_write", ctypes.c_void_p),
        ("release_read", ctypes.c_void_p),
        ("release_write", ctypes.c_void_p),
    ]


_api = ctypes.pythonapi
_api.PyCapsule_GetName.restype = ctypes.c_char_p
_api.PyCapsule_GetName.argtypes = [ctypes.py_object]
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_api.PyCapsule_New.restype = ctypes.py_object
_api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


def record_of(capsule):
    name = _api.PyCapsule_GetName(capsule)
    return BorrowRecord.from_address(_api.PyCapsule_GetPointer(capsule, name))


class Registry:
    """The record currently published on numpy.core.multiarray."""

    def __init__(self):
        self.capsule = getattr(multiarray, ATTRIBUTE)
        self.record = record_of(self.capsule)
        self._ops = {
            name: (ACQUIRE if name.startswith("acquire") else RELEASE)(
                getattr(self.record, name))
            for name in ("acquire_read", "acquire_write", "release_read", "release_write")
        }

    def acquire_read(self, array):
        return self._ops["acquire_read"](self.record.state, array)

    def acquire_write(self, array):
        return self._ops["acquire_write"](self.record.state, array)

    def release_read(self, array):
        self._ops["release_read"](self.record.state, array)

    def release_write(self, array):
        self._ops["release_write"](self.record.state, array)

    def is_free(self, array):
        """True when a write borrow of array can be taken (and it is given back)."""
        if self.acquire_write(array) != GRANTED:
            return False
        self.release_write(array)
        return True


class PeerRegistry:
    """A registry record implemented in Python, as a peer module could publish
    it before ondulix: it logs every operation and answers with the given
    acquire result."""

    def __init__(self, version=1, acquire_result=GRANTED):
        self.calls = []
        self.acquire_result = acquire_result

        def acquire(kind):
            def op(state, array):
                self.calls.append((kind, array))
                return self.acquire_result
            return ACQUIRE(op)

        def release(kind):
            def op(state, array):
                self.calls.append((kind, array))
            return RELEASE(op)

        self._callbacks = [acquire("acquire_read"), acquire("acquire_write"),
                           release("release_read"), release("release_write")]
        self.record = BorrowRecord(version, None, *[
            ctypes.cast(cb, ctypes.c_void_p).value for cb in self._callbacks])
        self._name = ATTRIBUTE.encode()
        self.capsule = _api.PyCapsule_New(ctypes.addressof(self.record), self._name, None)

    def publish(self):
        setattr(multiarray, ATTRIBUTE, self.capsule)
