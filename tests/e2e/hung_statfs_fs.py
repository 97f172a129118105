"""A FUSE file system whose root can be looked at but whose statfs never
answers: what a hung disk or a dead network mount looks like to a
free-space call. Usage: hung_statfs_fs.py MOUNTPOINT (runs in the
foreground; SIGKILL ends it and releases every caller that waits)."""
import errno
import stat
import sys
import threading
import time

from fusepy import FUSE, FuseOSError, Operations


class HungStatfs(Operations):
    def getattr(self, path, fh=None):
        if path != "/":
            raise FuseOSError(errno.ENOENT)
        now = time.time()
        return dict(st_mode=stat.S_IFDIR | 0o755, st_nlink=2, st_ctime=now, st_mtime=now, st_atime=now)

    def readdir(self, path, fh):
        return [".", ".."]

    def statfs(self, path):
        threading.Event().wait()  # never answers


if __name__ == "__main__":
    FUSE(HungStatfs(), sys.argv[1], foreground=True, nothreads=False)
