from ._native import *  # noqa: F401,F403
