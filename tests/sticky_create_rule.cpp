// Preloaded into a command, applies the rule of Linux's
// fs.protected_regular=2 whatever the machine's setting: in a sticky
// folder that others or the group may write (/run/lock, /tmp), open()
// with O_CREAT of an existing regular file fails with EACCES unless the
// file belongs to the caller or to the folder's owner, root included.
// Debian turns the setting on; build machines and containers often have
// it off, and the kernel's setting is the whole machine's.

// This file defines open() itself, which fortified headers define inline.
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <string>

namespace {

bool refusedBySticky(const char *path, int flags)
{
    if ((flags & O_CREAT) == 0 || (flags & O_EXCL) != 0)
        return false;
    struct stat file;
    if (stat(path, &file) != 0 || !S_ISREG(file.st_mode))
        return false;
    std::string name = path;
    size_t slash = name.rfind('/');
    std::string folder_name = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    struct stat folder;
    if (stat(folder_name.c_str(), &folder) != 0 || (folder.st_mode & S_ISVTX) == 0)
        return false;
    if (file.st_uid == folder.st_uid || file.st_uid == geteuid())
        return false;
    return (folder.st_mode & (S_IWOTH | S_IWGRP)) != 0;
}

using OpenFunction = int (*)(const char *, int, ...);
using OpenAtFunction = int (*)(int, const char *, int, ...);

int openThrough(const char *symbol, const char *path, int flags, mode_t mode)
{
    if (refusedBySticky(path, flags)) {
        errno = EACCES;
        return -1;
    }
    auto next = reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, symbol));
    return next(path, flags, mode);
}

int openAtThrough(const char *symbol, int dir_fd, const char *path, int flags, mode_t mode)
{
    if ((dir_fd == AT_FDCWD || path[0] == '/') && refusedBySticky(path, flags)) {
        errno = EACCES;
        return -1;
    }
    auto next = reinterpret_cast<OpenAtFunction>(dlsym(RTLD_NEXT, symbol));
    return next(dir_fd, path, flags, mode);
}

mode_t modeArgument(int flags, va_list args)
{
    bool has_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    return has_mode ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openThrough("open", path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openThrough("open64", path, flags, mode);
}

int openat(int dir_fd, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openAtThrough("openat", dir_fd, path, flags, mode);
}

int openat64(int dir_fd, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openAtThrough("openat64", dir_fd, path, flags, mode);
}

}
