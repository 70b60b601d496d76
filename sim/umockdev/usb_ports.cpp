#include "usb_ports.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Device number 1 is the root hub's; a bus has room for 127 devices.
const int FIRST_DEVNUM = 2;
const int MAX_DEVNUM = 127;
const int BUS = 1;

std::vector<std::string> ports_in_text_order()
{
    std::vector<std::string> ports;
    for (int port = 1; port <= MAX_DEVNUM - FIRST_DEVNUM + 1; port++)
        ports.push_back(std::to_string(port));
    std::sort(ports.begin(), ports.end());
    return ports;
}

// Each enumeration takes the next device number; they are not reused.
int next_devnum()
{
    static int devnum = FIRST_DEVNUM;
    if (devnum > MAX_DEVNUM) {
        fprintf(stderr, "ondrix-sim: no free USB device number left\n");
        exit(EXIT_FAILURE);
    }
    return devnum++;
}

} // namespace

std::string UsbPort::devnode() const
{
    char node[32];
    snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", busnum, devnum);
    return node;
}

UsbPort next_usb_port()
{
    static const std::vector<std::string> ports = ports_in_text_order();
    static size_t handed_out = 0;
    if (handed_out == ports.size()) {
        fprintf(stderr, "ondrix-sim: no free USB port left\n");
        exit(EXIT_FAILURE);
    }
    return UsbPort{std::to_string(BUS) + "-" + ports[handed_out++], BUS, next_devnum()};
}

UsbPort port_listed_first()
{
    return UsbPort{std::to_string(BUS) + "-0", BUS, next_devnum()};
}

UsbPort renumbered(const UsbPort &port)
{
    return UsbPort{port.name, port.busnum, next_devnum()};
}
