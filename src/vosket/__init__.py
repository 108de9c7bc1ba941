"""vosket: sequence-aware next-item recommendation with a C++ engine."""

from _vosket import *  # noqa: F401,F403
from _vosket import __all__ as _native_all
from _vosket import __version__

__all__ = list(_native_all)
