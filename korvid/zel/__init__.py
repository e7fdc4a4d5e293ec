"""Korvid ZEL: tensors of exact 512-bit fixed-point numbers."""
import sys as _sys
import types as _types

try:
    from . import zel as _zel
except ImportError as _e:  # the extension reports start-up failures as their cause
    if isinstance(_e.__cause__, (RuntimeError, ValueError)):
        raise _e.__cause__ from None
    raise

from .zel import *  # noqa: F401,F403
from .zel import __all__  # noqa: F401

# The package mirrors the extension's whole namespace, private helpers too,
# so that attribute lookups cost nothing extra.  The module's mutable state
# is not copied: reading or setting it here reads or sets the extension's.
_STATE = ("_lcg_state", "_numpy_originals", "_numpy_patched")
globals().update({_k: _v for _k, _v in vars(_zel).items() if not _k.startswith("__") and _k not in _STATE})
zel = _zel


def __getattr__(name):
    if name in _STATE:
        return getattr(_zel, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class _Package(_types.ModuleType):
    def __setattr__(self, name, value):
        if name in _STATE:
            setattr(_zel, name, value)
        else:
            super().__setattr__(name, value)


_sys.modules[__name__].__class__ = _Package
