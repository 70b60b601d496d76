// Preloaded into the command that ondrix-sim runs, ahead of umockdev's
// own library, beside netlink_names.cpp.
//
// A device that leaves the bus while it is being listed: its hid node is
// still found (its uevent file is there), but reading its uevent fails,
// as it does on a real kernel once the node has gone. The sysfs path of
// that file ends in ONDRIX_SIM_UNREADABLE_UEVENT; every way of opening
// it fails with ENOENT. libudev opens it through the fortified
// __open64_2 and through openat, so open() alone is not enough.

#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

bool is_unreadable(const char *path)
{
    const char *suffix = getenv("ONDRIX_SIM_UNREADABLE_UEVENT");
    if (path == nullptr || suffix == nullptr || *suffix == '\0')
        return false;
    size_t length = strlen(path), suffix_length = strlen(suffix);
    return length >= suffix_length && strcmp(path + length - suffix_length, suffix) == 0;
}

// The mode argument is there only when the file may be created.
mode_t mode_of(int flags, va_list args)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

template <typename Function> Function next(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int refuse()
{
    errno = ENOENT;
    return -1;
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    static auto real = next<int (*)(const char *, int, ...)>("open");
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    return is_unreadable(path) ? refuse() : real(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    static auto real = next<int (*)(const char *, int, ...)>("open64");
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    return is_unreadable(path) ? refuse() : real(path, flags, mode);
}

int openat(int folder, const char *path, int flags, ...)
{
    static auto real = next<int (*)(int, const char *, int, ...)>("openat");
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    return is_unreadable(path) ? refuse() : real(folder, path, flags, mode);
}

int openat64(int folder, const char *path, int flags, ...)
{
    static auto real = next<int (*)(int, const char *, int, ...)>("openat64");
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    return is_unreadable(path) ? refuse() : real(folder, path, flags, mode);
}

int __open_2(const char *path, int flags)
{
    static auto real = next<int (*)(const char *, int)>("__open_2");
    return is_unreadable(path) ? refuse() : real(path, flags);
}

int __open64_2(const char *path, int flags)
{
    static auto real = next<int (*)(const char *, int)>("__open64_2");
    return is_unreadable(path) ? refuse() : real(path, flags);
}

} // extern "C"
