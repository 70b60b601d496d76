// Stands in for hidapi, linked in place of the real library, to reach
// what no simulated device can: a failing hid_init, a device entry that
// carries no serial number at all, and one whose device left the bus
// while it was listed. HIDAPI_STAND_IN chooses:
//   init-fails                 hid_init returns -1
//   bootloader-without-serial  one bootloader is listed, serial_number null
//   both-left-while-listed     one device in each mode is listed, path null

#include <hidapi.h>

#include <cstdlib>
#include <cstring>

namespace {

bool behaves(const char *behaviour)
{
    const char *chosen = getenv("HIDAPI_STAND_IN");
    return chosen != nullptr && strcmp(chosen, behaviour) == 0;
}

} // namespace

int HID_API_EXPORT hid_init(void)
{
    return behaves("init-fails") ? -1 : 0;
}

int HID_API_EXPORT hid_exit(void)
{
    return 0;
}

hid_device_info *entry(unsigned short vendor_id, unsigned short product_id, const char *path)
{
    hid_device_info *dev = static_cast<hid_device_info *>(calloc(1, sizeof(hid_device_info)));
    dev->path = path != nullptr ? strdup(path) : nullptr;
    dev->vendor_id = vendor_id;
    dev->product_id = product_id;
    return dev;
}

// hidapi lists every device for IDs of 0, else those with both IDs.
bool wanted(unsigned short vendor_id, unsigned short product_id, unsigned short product)
{
    return (vendor_id == 0 && product_id == 0) || (vendor_id == 0x040e && product_id == product);
}

struct hid_device_info HID_API_EXPORT *hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    if (behaves("bootloader-without-serial") && wanted(vendor_id, product_id, 0xf003))
        return entry(0x040e, 0xf003, "/dev/hidraw7");
    if (!behaves("both-left-while-listed"))
        return nullptr;
    hid_device_info *devs = nullptr;
    if (wanted(vendor_id, product_id, 0xf003))
        devs = entry(0x040e, 0xf003, nullptr);
    if (wanted(vendor_id, product_id, 0xf408)) {
        hid_device_info *normal = entry(0x040e, 0xf408, nullptr);
        normal->next = devs;
        devs = normal;
    }
    return devs;
}

void HID_API_EXPORT hid_free_enumeration(struct hid_device_info *devs)
{
    while (devs != nullptr) {
        hid_device_info *next = devs->next;
        free(devs->path);
        free(devs);
        devs = next;
    }
}

hid_device HID_API_EXPORT *hid_open(unsigned short, unsigned short, const wchar_t *)
{
    return nullptr;
}

hid_device HID_API_EXPORT *hid_open_path(const char *)
{
    return nullptr;
}

int HID_API_EXPORT hid_set_nonblocking(hid_device *, int)
{
    return -1;
}

int HID_API_EXPORT hid_write(hid_device *, const unsigned char *, size_t)
{
    return -1;
}

void HID_API_EXPORT hid_close(hid_device *)
{
}
