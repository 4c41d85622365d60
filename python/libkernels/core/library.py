"""Loads libkernels.so with ctypes and declares the twelve C functions.

The shared library is bundled inside this package (found with
importlib.resources); the environment variable LIBKERNELS_LIBRARY may name
another build, e.g. a developer's build/libkernels.so.  Every argument type is
declared: float32 scalars must travel as c_float (undeclared, ctypes would pass
a double), arrays as C-contiguous numpy arrays of the exact dtype.

A function that the loaded library does not export yet (an older build) is
reported by `available()` and raises MissingKernelError when called, so that
everything else keeps working.  The declarations below are checked against the
prototypes of include/libkernels.h by the test suite (test_abi.py).

When a kernel cannot obtain its scratch memory it clears its output and
returns, which would read as an all-zero result; it also leaves errno at
ENOMEM.  Every call here clears errno first and raises KernelMemoryError (a
MemoryError) when it is ENOMEM afterwards.
"""

from __future__ import annotations

import ctypes
import errno
import importlib.resources
import os
import threading
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple

import numpy as np
from numpy.ctypeslib import ndpointer

from .errors import KernelMemoryError, LibraryNotFoundError, MissingKernelError

if TYPE_CHECKING:
    from numpy.typing import DTypeLike

    from .types import Float32Array

_I32 = ctypes.c_int32
_F32 = ctypes.c_float


def _array(dtype: DTypeLike, written: bool = False) -> Any:
    """A C-contiguous numpy array of exactly `dtype`; `written` (a non-const pointer
    in the header) also demands a writeable array, which the kernel fills."""
    return ndpointer(dtype=dtype,
                     flags=["C_CONTIGUOUS", "WRITEABLE"] if written else ["C_CONTIGUOUS"])


class _NullableArray:
    """An ndpointer that also accepts None, passed as a null pointer."""

    def __init__(self, dtype: DTypeLike) -> None:
        self._pointer = _array(dtype)

    def from_param(self, value: Optional[np.ndarray]) -> Any:
        if value is None:
            return None
        return self._pointer.from_param(value)


_IA = _array(np.int32)                    # const int32_t *
_FA = _array(np.float32)                  # const float *
_FA_OUT = _array(np.float32, written=True)  # float *, written by the kernel
_FA_OR_NULL = _NullableArray(np.float32)  # const float *, NULL allowed

# Argument lists in the exact order of include/libkernels.h (test_abi.py
# compares them with the header's prototypes).
SIGNATURES: Dict[str, Tuple[Any, List[Any]]] = {
    "momentum_map": (None, [
        _I32, _I32, _IA, _FA, _FA, _FA,
        _F32, _F32, _F32, _F32, _F32, _F32,
        _IA, _IA, _FA, _FA, _FA, _FA_OUT]),
    "polarisation_factor": (None, [
        _I32, _I32, _I32, _FA_OUT, _F32, _F32, _F32, _F32, _F32, _F32, _F32]),
    "momentum_map_sum": (None, [
        _I32, _FA, _FA_OR_NULL, _FA, _I32, _I32,
        _F32, _F32, _F32, _F32, _F32, _F32, _F32, _F32,
        _I32, _I32, _I32, _FA_OR_NULL,
        _I32, _IA, _FA, _FA, _FA, _IA, _IA, _FA, _FA, _FA_OUT]),
    "scalar_field": (None, [
        _I32, _I32, _I32, _I32, _IA, _FA, _F32, _F32, _F32, _F32,
        _FA, _FA, _IA, _IA, _FA, _FA, _FA, _FA_OUT]),
    "charge_density_sum": (None, [
        _I32, _I32, _I32, _I32, _FA_OR_NULL, _FA, _F32, _F32, _F32, _F32,
        _I32, _IA, _FA, _FA, _FA, _IA, _IA, _FA, _FA, _FA_OUT]),
    "momentum_density": (None, [
        _I32, _I32, _I32, _I32, _IA, _FA, _F32, _F32, _F32, _F32,
        _FA, _FA, _IA, _IA, _FA, _FA, _FA, _FA_OUT]),
    "momentum_density_sum": (None, [
        _I32, _I32, _I32, _I32, _FA_OR_NULL, _FA, _F32, _F32, _F32, _F32,
        _I32, _IA, _FA, _FA, _FA, _IA, _IA, _FA, _FA, _FA_OUT]),
    # the returned map is malloc'ed by the library: an address to copy and free
    "rotation": (ctypes.c_void_p, [_I32, _FA, _F32]),
    "flip_over_x": (ctypes.c_void_p, [_I32, _FA]),
    "flip_over_y": (ctypes.c_void_p, [_I32, _FA]),
    "symmetrisation": (None, [_I32, _I32, _FA_OUT]),
    "normalisation": (None, [_I32, _FA_OUT]),
}


_lock = threading.Lock()
_loaded: Dict[str, ctypes.CDLL] = {}


def library_path() -> str:
    """Path of the shared library that the package uses."""
    override = os.environ.get("LIBKERNELS_LIBRARY")
    if override:
        return override
    resource = importlib.resources.files("libkernels").joinpath("libkernels.so")
    if not resource.is_file():
        raise LibraryNotFoundError(
            "libkernels.so is not bundled with this installation of the libkernels "
            "package; install it with `pip install .` from the repository root, or "
            "set LIBKERNELS_LIBRARY to the path of a built libkernels.so")
    return str(resource)


def _handle() -> ctypes.CDLL:
    with _lock:
        if "cdll" not in _loaded:
            path = library_path()
            try:
                _loaded["cdll"] = ctypes.CDLL(path, use_errno=True)
            except OSError as error:  # not there, or not a library for this machine
                raise LibraryNotFoundError(f"cannot load {path}: {error}") from None
            _loaded["libc"] = ctypes.CDLL(None)
            _loaded["libc"].free.argtypes = [ctypes.c_void_p]
            _loaded["libc"].free.restype = None
        return _loaded["cdll"]


def available(name: str) -> bool:
    """True when the loaded library exports the C function `name`."""
    if name not in SIGNATURES:
        raise KeyError(f"libkernels has no function {name!r}")
    try:
        getattr(_handle(), name)
    except AttributeError:
        return False
    return True


class _Kernel:
    """A C function of the library that raises KernelMemoryError when the call reports
    (errno ENOMEM) that its memory could not be obtained."""

    def __init__(self, name: str, fn: Callable[..., Any]) -> None:
        self.__name__ = name
        self._fn = fn

    def __call__(self, *args: Any) -> Any:
        ctypes.set_errno(0)
        result = self._fn(*args)
        # A returned map is a success whatever errno says (the caller frees it).
        if ctypes.get_errno() == errno.ENOMEM and not result:
            raise KernelMemoryError(f"libkernels {self.__name__}(): not enough memory for "
                                    "the scratch arrays of this call (try a smaller grid or "
                                    "map)")
        return result


def function(name: str) -> _Kernel:
    """The C function `name` with its argument and result types declared."""
    restype, argtypes = SIGNATURES[name]
    fn = _exported(name, lambda handle: getattr(handle, name))
    fn.restype = restype
    fn.argtypes = argtypes
    return _Kernel(name, fn)


def _exported(name: str, look_up: Callable[[ctypes.CDLL], Any]) -> Any:
    """The library's function object for `name` (MissingKernelError when it lacks it)."""
    try:
        return look_up(_handle())
    except AttributeError:
        raise MissingKernelError(
            f"the loaded libkernels.so ({library_path()}) does not export {name}(); "
            "it was built before that kernel was added") from None


def raw_function(name: str) -> _Kernel:
    """`name` with its array arguments declared as plain addresses (c_void_p).

    For prepared calls that a fit or a live view repeats thousands of times:
    they check and convert each array once (`address`) instead of letting
    ctypes check every array on every call, and must keep the arrays alive
    while the addresses are in use.  A separate function object: the checked
    one that `function` returns keeps its declarations.  Like it, it raises
    KernelMemoryError when the call reports that its memory could not be had.
    """
    restype, argtypes = SIGNATURES[name]
    # indexing makes a new function object, apart from the one getattr caches
    fn = _exported(name, lambda handle: handle[name])
    fn.restype = restype
    fn.argtypes = [t if t is _I32 or t is _F32 else ctypes.c_void_p for t in argtypes]
    return _Kernel(name, fn)


def address(array: Optional[np.ndarray], dtype: DTypeLike, name: str = "array") -> Optional[int]:
    """The data address of a C-contiguous numpy array of exactly `dtype` (None: NULL).

    The checks `function`'s declarations make on every call, made once.
    """
    if array is None:
        return None
    if not isinstance(array, np.ndarray) or array.dtype != np.dtype(dtype) \
            or not array.flags.c_contiguous:
        raise TypeError(f"{name} must be a C-contiguous numpy array of {np.dtype(dtype).name}")
    return array.ctypes.data


def take_malloced_map(pointer: Optional[int], n: int) -> Float32Array:
    """Copies an n*n float map returned by the library into numpy and frees it."""
    if not pointer:
        raise KernelMemoryError("libkernels could not allocate the result map")
    try:
        view = (ctypes.c_float * (n * n)).from_address(pointer)
        return np.array(view, dtype=np.float32).reshape(n, n)
    finally:
        _loaded["libc"].free(pointer)
