#ifndef FWLAUNCH_USB_PORT_H
#define FWLAUNCH_USB_PORT_H

#include <libudev.h>

#include <string>

// Where an ondrix device is attached. A device is known by its USB port
// path ("1-1", "3-2.4"): the bus, then the port on each hub down to the
// device. It is the name of the USB device's folder in sysfs, the form
// dfu-util -p takes, and it stays the same when the device re-enumerates
// under its other identity.

// The USB port of the device a hidraw node (its /dev path) belongs to;
// empty when udev does not know the node.
std::string usbPortOf(const char *hidraw_node);

// The port path of a USB device udev knows.
const char *usbPortOfDevice(udev_device *usb);

// udev's record of a hidraw node, and of the USB device it belongs to;
// null when udev does not know it. The caller unrefs the result.
udev_device *hidrawRecordOf(struct udev *udev, const char *hidraw_node);
udev_device *usbDeviceRecordOf(struct udev *udev, const char *hidraw_node);

// Whether `text` has the form of a port path: bus-port, then any number
// of .port for the hubs in between.
bool isPortPath(const char *text);

// Orders port paths as the bus does: by bus, then port by port. Unknown
// (empty) ports sort last.
bool portPathLess(const std::string &a, const std::string &b);

#endif
