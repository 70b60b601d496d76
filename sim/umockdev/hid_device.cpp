#include "hid_device.h"

#include "ondrix_model.h"

#include <glib.h>

#include <cstdarg>
#include <cstdlib>

namespace {

const unsigned BUS_USB = 0x0003;

// Each hid node is named after its bus, IDs and a running instance
// number, and each hidraw node takes the next minor, as the kernel does.
int next_hid_instance = 1;
int next_hidraw_minor = 0;

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

std::string report_descriptor_hex()
{
    std::string hex;
    for (uint8_t byte : ONDRIX_REPORT_DESCRIPTOR)
        hex += format("%02X", byte);
    return hex;
}

// Devices are given to umockdev in its description format: it creates
// the /dev node only for a device that has an "N:" line.
void add_described(UMockdevTestbed *testbed, const std::string &description)
{
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, description.c_str(), &error)) {
        g_printerr("ondrix-sim: cannot add a device: %s\n", error->message);
        exit(EXIT_FAILURE);
    }
}

} // namespace

HidNodes add_usb_hid_device(UMockdevTestbed *testbed, const std::string &usb_name,
                            const HidIdentity &identity)
{
    std::string devpath = "/devices/" + usb_name;
    add_described(testbed, format("P: %s\n"
                                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
                                  "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=0100\n"
                                  "A: manufacturer=%s\nA: product=%s\nA: serial=%s\n",
                                  devpath.c_str(), identity.vendor_id, identity.product_id,
                                  identity.manufacturer.c_str(), identity.product.c_str(),
                                  identity.serial.c_str()));
    std::string usb_syspath = "/sys" + devpath;
    return HidNodes{usb_syspath, add_hid_interface(testbed, usb_syspath, identity)};
}

std::string add_hid_interface(UMockdevTestbed *testbed, const std::string &usb_syspath,
                              const HidIdentity &identity)
{
    std::string usb_devpath = usb_syspath.substr(usb_syspath.find("/devices/"));
    std::string usb_name = usb_devpath.substr(usb_devpath.rfind('/') + 1);
    std::string interface_path = usb_devpath + "/" + usb_name + ":1.0";
    std::string hid_name = format("%04X:%04X:%04X.%04X", BUS_USB, identity.vendor_id,
                                  identity.product_id, next_hid_instance++);
    std::string hid_path = interface_path + "/" + hid_name;
    std::string hidraw_name = format("hidraw%d", next_hidraw_minor++);

    add_described(testbed, format("P: %s\n"
                                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
                                  "A: bInterfaceNumber=00\nA: bInterfaceClass=03\n",
                                  interface_path.c_str()));
    // hidapi takes the IDs and serial number from HID_ID and HID_UNIQ.
    add_described(testbed, format("P: %s\n"
                                  "E: SUBSYSTEM=hid\nE: HID_ID=%04X:%08X:%08X\n"
                                  "E: HID_NAME=%s %s\nE: HID_UNIQ=%s\n"
                                  "H: report_descriptor=%s\n",
                                  hid_path.c_str(), BUS_USB, identity.vendor_id,
                                  identity.product_id, identity.manufacturer.c_str(),
                                  identity.product.c_str(), identity.serial.c_str(),
                                  report_descriptor_hex().c_str()));
    // hid_open reads the hid node's uevent through <hidraw>/device.
    add_described(testbed, format("P: %s/hidraw/%s\nN: %s\n"
                                  "E: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/%s\n"
                                  "L: device=../../../%s\n",
                                  hid_path.c_str(), hidraw_name.c_str(), hidraw_name.c_str(),
                                  hidraw_name.c_str(), hid_name.c_str()));
    return "/dev/" + hidraw_name;
}
