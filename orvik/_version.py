"""The application's version, kept here alone: the package metadata and `--version` read it."""

__version__ = "0.6.0"
