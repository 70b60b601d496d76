#include "hid_device.h"

#include "ondrix_model.h"

namespace {

const unsigned BUS_USB = 0x0003;

// Each hid node is named after its bus, IDs and a running instance
// number, and each hidraw node takes the next minor, as the kernel does.
int next_hid_instance = 1;
int next_hidraw_minor = 0;

// A hidraw minor beyond any the hand-out reaches: a node or two per port.
const int MINOR_APART = 1000;

// One configuration with `interfaces` HID interfaces, as libusb reads it.
Bytes hid_device_descriptors(const HidIdentity &identity, const Strings &strings, uint8_t interfaces)
{
    Bytes descriptors = device_descriptor(identity.vendor_id, identity.product_id, strings);
    Bytes interface_descriptors;
    for (uint8_t number = 0; number < interfaces; number++)
        append(interface_descriptors, hid_interface_descriptors(number, ONDRIX_REPORT_DESCRIPTOR.size(), true));
    append(descriptors, configuration_descriptor(interfaces, interface_descriptors));
    return descriptors;
}

TestbedNodes add_usb_device_for(UMockdevTestbed *testbed, const UsbPort &port, const HidIdentity &identity,
                                uint8_t interfaces)
{
    Strings strings = {identity.manufacturer, identity.product, identity.serial};
    return add_usb_device(testbed, port, hid_device_descriptors(identity, strings, interfaces), strings);
}

} // namespace

TestbedNodes add_usb_hid_device(UMockdevTestbed *testbed, const UsbPort &port, const HidIdentity &identity,
                                uint8_t interfaces, const BeforeHidrawNode &before_first_node)
{
    TestbedNodes nodes = add_usb_device_for(testbed, port, identity, interfaces);
    for (uint8_t number = 0; number < interfaces; number++)
        add_hid_interface(testbed, nodes, identity, number, -1, number == 0 ? before_first_node : nullptr);
    return nodes;
}

std::string add_leaving_hid_device(UMockdevTestbed *testbed, const HidIdentity &identity)
{
    TestbedNodes nodes = add_usb_device_for(testbed, port_listed_first(), identity, 1);
    add_hid_interface(testbed, nodes, identity, 0, MINOR_APART);
    const std::string &hid_syspath = nodes.at(2).syspath; // after the usb_device and usb_interface
    return hid_syspath.substr(hid_syspath.rfind('/')) + "/uevent";
}

void add_hid_interface(UMockdevTestbed *testbed, TestbedNodes &nodes, const HidIdentity &identity,
                       uint8_t number, int hidraw_minor, const BeforeHidrawNode &before_node)
{
    const std::string &usb_syspath = nodes.front().syspath;
    std::string usb_devpath = usb_syspath.substr(usb_syspath.find("/devices/"));
    std::string usb_name = usb_devpath.substr(usb_devpath.rfind('/') + 1);
    std::string interface_path = usb_devpath + "/" + usb_name + format(":1.%d", number);
    std::string hid_name = format("%04X:%04X:%04X.%04X", BUS_USB, identity.vendor_id,
                                  identity.product_id, next_hid_instance++);
    std::string hid_path = interface_path + "/" + hid_name;
    std::string hidraw_name = format("hidraw%d", hidraw_minor >= 0 ? hidraw_minor : next_hidraw_minor++);

    add_node(testbed, nodes, interface_path, "",
             format("E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
                    "A: bInterfaceNumber=%02X\nA: bInterfaceClass=03\n", number));
    // hidapi takes the IDs and serial number from HID_ID and HID_UNIQ.
    add_node(testbed, nodes, hid_path, "",
             format("E: SUBSYSTEM=hid\nE: HID_ID=%04X:%08X:%08X\n"
                    "E: HID_NAME=%s %s\nE: HID_UNIQ=%s\n"
                    "H: report_descriptor=%s\n",
                    BUS_USB, identity.vendor_id, identity.product_id, identity.manufacturer.c_str(),
                    identity.product.c_str(), identity.serial.c_str(), hex(ONDRIX_REPORT_DESCRIPTOR).c_str()));
    if (before_node)
        before_node("/dev/" + hidraw_name);
    // hid_open reads the hid node's uevent through <hidraw>/device.
    add_node(testbed, nodes, hid_path + "/hidraw/" + hidraw_name, "/dev/" + hidraw_name,
             format("E: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/%s\nL: device=../../../%s\n",
                    hidraw_name.c_str(), hid_name.c_str()));
}
