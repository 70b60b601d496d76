#include "port_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

// World-writable and sticky on Debian without any package's help, and
// emptied at boot, so that no lock outlives the machine's run.
const char *const LOCK_FOLDER = "/run/lock";

std::string lockFileOf(const std::string &port)
{
    return std::string(LOCK_FOLDER) + "/fwlaunch-" + port + ".lock";
}

// The file is left open across the exec of dfu-util (no O_CLOEXEC): the
// lock lasts as long as the file is open in this process.
const int LOCK_OPEN_FLAGS = O_RDWR | O_NOFOLLOW | O_NOCTTY;

// Opens the lock file, making it when it is not there yet. An existing
// file is opened without O_CREAT: in a sticky folder, fs.protected_regular
// refuses O_CREAT on another user's file even where its mode allows the
// open. A new file is writable by everyone, so that every user's run can
// lock it.
int openLockFile(const std::string &file)
{
    int fd = open(file.c_str(), LOCK_OPEN_FLAGS);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    mode_t user_mask = umask(0);
    fd = open(file.c_str(), LOCK_OPEN_FLAGS | O_CREAT | O_EXCL, 0666);
    umask(user_mask);
    if (fd < 0 && errno == EEXIST) // another run made it meanwhile
        fd = open(file.c_str(), LOCK_OPEN_FLAGS);
    return fd;
}

bool isRegularFile(int fd)
{
    struct stat status;
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

// A record lock rather than flock(): the kernel keeps it across execve and
// tells another run which process holds it.
flock wholeFileLock()
{
    flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return lock;
}

// The process holding the lock; 0 when it cannot be told.
pid_t lockHolder(int fd)
{
    flock lock = wholeFileLock();
    if (fcntl(fd, F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK)
        return 0;
    return lock.l_pid > 0 ? lock.l_pid : 0;
}

void sayBusy(const std::string &port, pid_t holder)
{
    fprintf(stderr, "fwlaunch: the ondrix device on port %s is being updated by another run", port.c_str());
    if (holder != 0)
        fprintf(stderr, " (process %ld)", static_cast<long>(holder));
    fprintf(stderr, "\n");
}

} // namespace

int lockPort(const std::string &port, pid_t *holder)
{
    if (port.empty())
        return 0;
    int fd = openLockFile(lockFileOf(port));
    if (fd < 0)
        return 0;
    if (!isRegularFile(fd)) {
        close(fd);
        return 0;
    }
    flock lock = wholeFileLock();
    if (fcntl(fd, F_SETLK, &lock) == 0)
        return 0; // held until this process, or the dfu-util it becomes, ends
    bool held_elsewhere = errno == EACCES || errno == EAGAIN;
    if (held_elsewhere) {
        *holder = lockHolder(fd);
        sayBusy(port, *holder);
    }
    close(fd);
    return held_elsewhere ? -1 : 0;
}
