#include "usb_device.h"

#include <glib.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// Attribute line of umockdev's device description; sysfs text ends in a line feed.
std::string attribute(const char *name, const std::string &value)
{
    std::string line = std::string("A: ") + name + "=";
    for (char ch : value + "\n")
        line += ch == '\\' ? "\\\\" : ch == '\n' ? "\\n" : std::string(1, ch);
    return line + "\n";
}

std::string optional_attribute(const char *name, const Strings &strings, size_t index)
{
    return index < strings.size() && !strings[index].empty() ? attribute(name, strings[index]) : "";
}

// The device's own attributes as the kernel derives them from its descriptors.
std::string descriptor_attributes(const Bytes &d)
{
    const size_t config = 18;
    return attribute("idVendor", format("%04x", d[8] | d[9] << 8)) +
           attribute("idProduct", format("%04x", d[10] | d[11] << 8)) +
           attribute("bcdDevice", format("%04x", d[12] | d[13] << 8)) +
           attribute("bConfigurationValue", format("%d", d[config + 5])) +
           attribute("bNumConfigurations", format("%d", d[17])) +
           attribute("bNumInterfaces", format("%2d", d[config + 4]));
}

} // namespace

std::string hex(const Bytes &bytes)
{
    std::string text;
    for (uint8_t byte : bytes)
        text += format("%02X", byte);
    return text;
}

std::string format(const char *pattern, ...)
{
    va_list args;
    va_start(args, pattern);
    gchar *text = g_strdup_vprintf(pattern, args);
    va_end(args);
    std::string result = text;
    g_free(text);
    return result;
}

void add_node(UMockdevTestbed *testbed, TestbedNodes &nodes, const std::string &devpath,
              const std::string &devnode, const std::string &lines)
{
    // umockdev creates the /dev node only for a device with an "N:" line,
    // and announces the device to udev monitors with an "add" uevent.
    std::string description = "P: " + devpath + "\n";
    if (!devnode.empty())
        description += "N: " + devnode.substr(5) + "\n";
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, (description + lines).c_str(), &error)) {
        g_printerr("ondrix-sim: cannot add %s: %s\n", devpath.c_str(), error->message);
        exit(EXIT_FAILURE);
    }
    nodes.push_back(TestbedNode{"/sys" + devpath, devnode});
}

TestbedNodes add_usb_device(UMockdevTestbed *testbed, const UsbPort &port, const Bytes &descriptors,
                            const Strings &strings)
{
    const std::string devnode = port.devnode();
    std::string lines = "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + devnode + "\n" +
                        format("E: BUSNUM=%03d\nE: DEVNUM=%03d\n", port.busnum, port.devnum) +
                        attribute("busnum", format("%d", port.busnum)) +
                        attribute("devnum", format("%d", port.devnum)) + attribute("speed", "480") +
                        descriptor_attributes(descriptors) +
                        optional_attribute("manufacturer", strings, 0) +
                        optional_attribute("product", strings, 1) +
                        optional_attribute("serial", strings, 2) +
                        "H: descriptors=" + hex(descriptors) + "\n";
    TestbedNodes nodes;
    add_node(testbed, nodes, "/devices/" + port.name, devnode, lines);
    return nodes;
}

void remove_nodes(UMockdevTestbed *testbed, const TestbedNodes &nodes)
{
    // umockdev announces nothing on removal: each node gets its "remove"
    // uevent while it is still there to be looked at. Its /dev node would
    // be left behind.
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    for (auto node = nodes.rbegin(); node != nodes.rend(); ++node) {
        umockdev_testbed_uevent(testbed, node->syspath.c_str(), "remove");
        umockdev_testbed_remove_device(testbed, node->syspath.c_str());
        if (!node->devnode.empty())
            remove((root + node->devnode).c_str());
    }
    g_free(root);
}
