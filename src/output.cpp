#include "output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Standard output and error, each written only while it can be.
bool channel_open[2] = {true, true};

int fdOf(Channel channel)
{
    return channel == Channel::out ? STDOUT_FILENO : STDERR_FILENO;
}

bool &openFlag(Channel channel)
{
    return channel_open[channel == Channel::out ? 0 : 1];
}

} // namespace

// Not through stdio: stdio would keep a failed line in its buffer and say
// nothing of the failure.
void emit(Channel channel, const std::string &text)
{
    size_t done = 0;
    while (openFlag(channel) && done < text.size()) {
        ssize_t written = write(fdOf(channel), text.data() + done, text.size() - done);
        if (written > 0) {
            done += static_cast<size_t>(written);
        } else if (written < 0 && errno == EAGAIN) {
            pollfd writable = {fdOf(channel), POLLOUT, 0};
            poll(&writable, 1, -1);
        } else if (written < 0 && errno != EINTR) {
            openFlag(channel) = false;
        }
    }
}

bool isOpen(Channel channel)
{
    return openFlag(channel);
}

// A terminal that hung up fails every write, or, once it is someone
// else's, shows them what was meant for us.
void giveUpTerminalChannels()
{
    for (Channel channel : {Channel::out, Channel::err})
        if (isatty(fdOf(channel)) != 0)
            openFlag(channel) = false;
}
