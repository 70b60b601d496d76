#ifndef ONDRIX_SIM_UEVENT_GUARD_H
#define ONDRIX_SIM_UEVENT_GUARD_H

#include <string>

// umockdev announces each arrival and departure of a device to every
// process listening for udev's announcements, through a Unix socket each
// listener has in the testbed (`event<N>` in its root folder), and aborts
// the whole simulator when a listener closed its socket between being
// found and being sent to: a launcher that stops listening to hand over
// to dfu-util, or a dfu-util that ends, while another device switches.
// (umockdev 0.17 passes over a socket that refuses the connection, but
// aborts when the socket was removed before it could connect, or when
// the listener closes it before the send.) Such an announcement is of no
// consequence to anyone, so from this call on it is dropped instead: the
// simulator's connect() and sendmsg(), which umockdev calls, stand in
// front of the real ones for the testbed's event sockets.
void drop_announcements_to_gone_listeners(const std::string &testbed_root);

#endif
