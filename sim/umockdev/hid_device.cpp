#include "hid_device.h"

#include "ondrix_model.h"

namespace {

const unsigned BUS_USB = 0x0003;

// Each hid node is named after its bus, IDs and a running instance
// number, and each hidraw node takes the next minor, as the kernel does.
int next_hid_instance = 1;
int next_hidraw_minor = 0;

// One configuration with one HID interface, as libusb reads it.
Bytes hid_device_descriptors(const HidIdentity &identity, const Strings &strings)
{
    Bytes descriptors = device_descriptor(identity.vendor_id, identity.product_id, strings);
    append(descriptors, configuration_descriptor(
                            1, hid_interface_descriptors(0, ONDRIX_REPORT_DESCRIPTOR.size(), true)));
    return descriptors;
}

} // namespace

TestbedNodes add_usb_hid_device(UMockdevTestbed *testbed, const UsbPort &port,
                                const HidIdentity &identity)
{
    Strings strings = {identity.manufacturer, identity.product, identity.serial};
    TestbedNodes nodes = add_usb_device(testbed, port, hid_device_descriptors(identity, strings), strings);
    add_hid_interface(testbed, nodes, identity);
    return nodes;
}

void add_hid_interface(UMockdevTestbed *testbed, TestbedNodes &nodes, const HidIdentity &identity)
{
    const std::string &usb_syspath = nodes.front().syspath;
    std::string usb_devpath = usb_syspath.substr(usb_syspath.find("/devices/"));
    std::string usb_name = usb_devpath.substr(usb_devpath.rfind('/') + 1);
    std::string interface_path = usb_devpath + "/" + usb_name + ":1.0";
    std::string hid_name = format("%04X:%04X:%04X.%04X", BUS_USB, identity.vendor_id,
                                  identity.product_id, next_hid_instance++);
    std::string hid_path = interface_path + "/" + hid_name;
    std::string hidraw_name = format("hidraw%d", next_hidraw_minor++);

    add_node(testbed, nodes, interface_path, "",
             "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
             "A: bInterfaceNumber=00\nA: bInterfaceClass=03\n");
    // hidapi takes the IDs and serial number from HID_ID and HID_UNIQ.
    add_node(testbed, nodes, hid_path, "",
             format("E: SUBSYSTEM=hid\nE: HID_ID=%04X:%08X:%08X\n"
                    "E: HID_NAME=%s %s\nE: HID_UNIQ=%s\n"
                    "H: report_descriptor=%s\n",
                    BUS_USB, identity.vendor_id, identity.product_id, identity.manufacturer.c_str(),
                    identity.product.c_str(), identity.serial.c_str(), hex(ONDRIX_REPORT_DESCRIPTOR).c_str()));
    // hid_open reads the hid node's uevent through <hidraw>/device.
    add_node(testbed, nodes, hid_path + "/hidraw/" + hidraw_name, "/dev/" + hidraw_name,
             format("E: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/%s\nL: device=../../../%s\n",
                    hidraw_name.c_str(), hid_name.c_str()));
}
