"""Output files that are complete or absent.

Each product is written under a temporary name in its final folder and moved
into place only when every product of the job is complete, so an error or an
interruption leaves no half-written file under a final name and an earlier
output of that name intact. The paths are checked before any work starts.
"""

import os
import stat
import tempfile

from .errors import signals_held


class OutputError(OSError):
    """An output path that cannot be written; the message is meant for the user as is."""


def check_writable(path):
    """Raise OutputError unless `path` can be (re)placed: its folder exists and neither is read-only.

    A file or folder whose permissions grant no writing at all is refused even
    where the user could override them (root): it was marked read-only.
    """
    path = os.fspath(path)
    # A link is followed: the file it names is the one replaced.
    folder = os.path.dirname(os.path.realpath(path)) if os.path.islink(path) else os.path.dirname(path) or os.curdir
    if os.path.isdir(path):
        raise OutputError(f"{path}: is a directory")
    if not os.path.exists(folder):
        raise OutputError(f"{path}: the folder {folder} does not exist")
    if not os.path.isdir(folder):
        raise OutputError(f"{path}: {folder} is not a folder")
    if not _special(path) and not _writable(folder, os.W_OK | os.X_OK):
        raise OutputError(f"{path}: the folder {folder} is read-only")
    if os.path.exists(path) and not _writable(path, os.W_OK):
        raise OutputError(f"{path}: the file is read-only")


def _special(path):
    # A device or a pipe (say /dev/null) is written as it is: there is no file to replace.
    return os.path.exists(path) and not os.path.isfile(path) and not os.path.isdir(path)


def _writable(path, mode):
    bits = os.stat(path).st_mode
    return os.access(path, mode) and bool(stat.S_IMODE(bits) & 0o222)


def _mode_for(final):
    # What writing the file in place would have left: an existing file keeps its
    # permissions, a new one gets what open() gives (mkstemp makes it private).
    try:
        return stat.S_IMODE(os.stat(final).st_mode)
    except OSError:
        return 0o666 & ~_umask()


def _umask():
    # Read rather than set where the system tells it: setting it, even briefly,
    # would change the files other threads create meanwhile.
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


class Outputs:
    """The products of one job, moved into place together when the `with` block ends without an error.

    `Outputs(a, b)` checks the final paths at once (OutputError); `path(a)`
    creates the temporary file for `a` in `a`'s folder, with `a`'s suffix so that
    writers choosing a format by suffix choose the same one. Leaving the block
    through an exception (KeyboardInterrupt included) removes every temporary
    file and touches no final one; a final path that was never written is left
    alone. Interruptions that arrive while the temporary files are made or
    removed take effect once that is done; see `commit` for those that arrive
    while the files are moved into place.
    """

    def __init__(self, *paths):
        self._temporary = {}
        self._finals = []
        for path in paths:
            self.expect(path)

    def expect(self, path):
        """Check one more final path (OutputError) and add it to the job."""
        path = os.fspath(path)
        check_writable(path)
        if path not in self._finals:
            self._finals.append(path)

    def path(self, final):
        """The temporary file to write in place of `final` (one of the expected paths).

        A device or a pipe is its own path: it is written directly.
        """
        final = os.fspath(final)
        if final not in self._finals:
            self.expect(final)
        if _special(final):
            return final
        if final not in self._temporary:
            folder, name = os.path.split(os.path.realpath(final))
            suffix = os.path.splitext(name)[1]
            with signals_held():
                handle, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=f".partial{suffix}", dir=folder)
                os.close(handle)
                self._temporary[final] = temporary
        return self._temporary[final]

    def commit(self):
        """Move every written file into place.

        A signal that arrives meanwhile waits until every file is in place and
        is then dropped: the job is done, and stopping it now would leave
        some of its products new and others old.
        """
        with signals_held(then_raise=False):
            for final, temporary in list(self._temporary.items()):
                target = os.path.realpath(final)
                os.chmod(temporary, _mode_for(target))
                os.replace(temporary, target)
                del self._temporary[final]

    def discard(self):
        """Remove every temporary file."""
        with signals_held():
            for final, temporary in list(self._temporary.items()):
                try:
                    os.remove(temporary)
                except FileNotFoundError:
                    pass
                del self._temporary[final]

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        if kind is None:
            try:
                self.commit()
            finally:
                self.discard()
        else:
            self.discard()
        return False
