#include "usb_port.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace {

struct udev *port_lookup_context = nullptr;

struct udev *portLookupContext()
{
    if (port_lookup_context == nullptr)
        port_lookup_context = udev_new();
    return port_lookup_context;
}

// The components of a port path, as numbers written without leading zeros.
std::vector<std::string> portNumbers(const std::string &port)
{
    std::vector<std::string> numbers(1);
    for (char c : port) {
        if (isdigit(static_cast<unsigned char>(c)) == 0)
            numbers.emplace_back();
        else if (c != '0' || !numbers.back().empty())
            numbers.back() += c;
    }
    return numbers;
}

bool numberLess(const std::string &a, const std::string &b)
{
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

const char *skipDigits(const char *c)
{
    while (isdigit(static_cast<unsigned char>(*c)) != 0)
        c++;
    return c;
}

bool startsWithDigit(const char *c)
{
    return isdigit(static_cast<unsigned char>(*c)) != 0;
}

} // namespace

udev_device *hidrawRecordOf(struct udev *udev, const char *hidraw_node)
{
    if (udev == nullptr)
        return nullptr;
    const char *slash = strrchr(hidraw_node, '/');
    return udev_device_new_from_subsystem_sysname(udev, "hidraw", slash != nullptr ? slash + 1 : hidraw_node);
}

udev_device *usbDeviceRecordOf(struct udev *udev, const char *hidraw_node)
{
    udev_device *hidraw = hidrawRecordOf(udev, hidraw_node);
    if (hidraw == nullptr)
        return nullptr;
    udev_device *usb = udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device");
    if (usb != nullptr)
        udev_device_ref(usb);
    udev_device_unref(hidraw);
    return usb;
}

const char *usbPortOfDevice(udev_device *usb)
{
    return udev_device_get_sysname(usb);
}

std::string usbPortOf(const char *hidraw_node)
{
    udev_device *usb = usbDeviceRecordOf(portLookupContext(), hidraw_node);
    if (usb == nullptr)
        return "";
    std::string port = usbPortOfDevice(usb);
    udev_device_unref(usb);
    return port;
}

bool isPortPath(const char *text)
{
    // digits '-' digits, then ('.' digits) per hub
    if (!startsWithDigit(text))
        return false;
    const char *c = skipDigits(text);
    if (*c++ != '-' || !startsWithDigit(c))
        return false;
    c = skipDigits(c);
    while (*c == '.') {
        if (!startsWithDigit(++c))
            return false;
        c = skipDigits(c);
    }
    return *c == '\0';
}

bool portPathLess(const std::string &a, const std::string &b)
{
    if (a.empty() != b.empty())
        return b.empty();
    std::vector<std::string> x = portNumbers(a), y = portNumbers(b);
    return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(), numberLess);
}
