// Preloaded into the command that ondrix-sim runs, ahead of umockdev's
// own library.
//
// umockdev's library stands in a Unix socket for every udev monitor's
// netlink socket and binds it to "<testbed>/event<descriptor>", removing
// whatever had that name. Processes whose monitors got the same
// descriptor number (every dfu-util, started alike, does) take the name
// from each other: the first no longer hears a single announcement, and
// when two bind at the same moment one bind fails and libusb, in
// dfu-util, fails to start ("unable to initialize libusb"). Here such a
// socket gets "<testbed>/event<descriptor>-<process>", a name of its own,
// which umockdev's sender finds as it finds the others (event[0-9]*).

#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern "C" int bind(int fd, const sockaddr *address, socklen_t length)
{
    static auto umockdev_bind = reinterpret_cast<int (*)(int, const sockaddr *, socklen_t)>(
        dlsym(RTLD_NEXT, "bind"));
    const char *testbed = getenv("UMOCKDEV_DIR");
    int domain = 0;
    socklen_t size = sizeof domain;
    // umockdev's stand-in is asked to bind a netlink address but is a Unix socket.
    if (testbed == nullptr || address == nullptr || address->sa_family != AF_NETLINK ||
        getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0 || domain != AF_UNIX)
        return umockdev_bind(fd, address, length);
    sockaddr_un name = {};
    name.sun_family = AF_UNIX;
    int written = snprintf(name.sun_path, sizeof name.sun_path, "%s/event%d-%d", testbed, fd, int(getpid()));
    if (written < 0 || size_t(written) >= sizeof name.sun_path)
        return umockdev_bind(fd, address, length);
    unlink(name.sun_path);  // left by an earlier process with this number
    return int(syscall(SYS_bind, fd, &name, sizeof name));
}
