"""Korvid ZEL: tensors of exact 512-bit fixed-point numbers."""

try:
    from . import zel as _zel
except ImportError as _e:  # the extension reports start-up failures as their cause
    if isinstance(_e.__cause__, (RuntimeError, ValueError)):
        raise _e.__cause__ from None
    raise

from .zel import *  # noqa: F401,F403
from .zel import __all__  # noqa: F401

# The package mirrors the extension's whole namespace, private helpers too.
globals().update({_k: _v for _k, _v in vars(_zel).items() if not _k.startswith("__")})
zel = _zel
