#ifndef ONDRIX_SIM_USB_PORTS_H
#define ONDRIX_SIM_USB_PORTS_H

#include <string>

// Where a simulated device sits on the bus: its sysfs name ("1-7") and
// the bus and device numbers of its /dev/bus/usb node.
struct UsbPort {
    std::string name;
    int busnum;
    int devnum;

    std::string syspath() const { return "/sys/devices/" + name; }
    std::string devnode() const;
};

// Hands out the ports in turn. udev lists devices in the text order of
// their sysfs paths, so the ports are given out in that order (1-1, 1-10,
// 1-100, ..., 1-109, 1-11, ...): the launcher sees devices in the order
// they were added.
UsbPort next_usb_port();

// A port that udev lists before every port handed out, and that is not
// handed out ("1-0": no bus has a port 0).
UsbPort port_listed_first();

// The same port with a new device number, as a device gets when it
// enumerates again (after a mode switch, say).
UsbPort renumbered(const UsbPort &port);

#endif
