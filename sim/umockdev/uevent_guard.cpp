#include "uevent_guard.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

namespace {

// Both are used from umockdev's worker thread and from the main thread.
std::mutex guard_lock;
std::string event_socket_prefix;  // empty until the testbed is there
std::set<int> event_sockets;      // connected to a listener, or to one that has gone
std::set<int> gone;               // of those, the ones whose listener has gone

template <typename Function>
Function real(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

bool is_event_socket(const sockaddr *address, socklen_t length)
{
    if (address == nullptr || address->sa_family != AF_UNIX || length <= sizeof(sa_family_t))
        return false;
    const char *path = reinterpret_cast<const sockaddr_un *>(address)->sun_path;
    std::lock_guard<std::mutex> lock(guard_lock);
    return !event_socket_prefix.empty() &&
           strncmp(path, event_socket_prefix.c_str(), event_socket_prefix.size()) == 0;
}

size_t message_length(const msghdr *message)
{
    size_t length = 0;
    for (size_t i = 0; i < message->msg_iovlen; i++)
        length += message->msg_iov[i].iov_len;
    return length;
}

} // namespace

void drop_announcements_to_gone_listeners(const std::string &testbed_root)
{
    std::lock_guard<std::mutex> lock(guard_lock);
    event_socket_prefix = testbed_root + "/event";
}

extern "C" int connect(int fd, const sockaddr *address, socklen_t length)
{
    static auto real_connect = real<int (*)(int, const sockaddr *, socklen_t)>("connect");
    int result = real_connect(fd, address, length);
    const int error = errno;
    if (!is_event_socket(address, length)) {
        errno = error;
        return result;
    }
    std::lock_guard<std::mutex> lock(guard_lock);
    if (result == 0) {
        event_sockets.insert(fd);
        return 0;
    }
    // umockdev itself passes over a socket nobody listens on any more
    // (ECONNREFUSED) and removes it, but not over one that was removed.
    if (error != ENOENT) {
        errno = error;
        return result;
    }
    event_sockets.insert(fd);
    gone.insert(fd);
    return 0;
}

extern "C" ssize_t sendmsg(int fd, const msghdr *message, int flags)
{
    static auto real_sendmsg = real<ssize_t (*)(int, const msghdr *, int)>("sendmsg");
    bool to_listener = false;
    {
        std::lock_guard<std::mutex> lock(guard_lock);
        to_listener = event_sockets.erase(fd) > 0;
        if (to_listener && gone.erase(fd) > 0)
            return static_cast<ssize_t>(message_length(message));
    }
    ssize_t sent = real_sendmsg(fd, message, flags);
    if (sent < 0 && to_listener && errno == ECONNREFUSED)
        return static_cast<ssize_t>(message_length(message));
    return sent;
}
