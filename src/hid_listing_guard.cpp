// A HID device that leaves the bus while hidapi lists it is left out of
// the list, instead of crashing the launcher.
//
// hidapi before 0.15.0 (0.13.1 in Debian 12, 0.14.0 in Debian 13) passes
// the uevent of each hidraw node's hid parent, as libudev's
// udev_device_get_sysattr_value() reads it, to its parser unchecked
// (linux/hid.c, create_device_info_for_device). Of a device that is
// leaving, the hid parent is still found, but its uevent can no longer be
// read: libudev answers NULL and the parser dereferences it. A listing
// filtered by vendor and product is no safer for a device with those IDs:
// hidapi reads the uevent once by itself, through the hidraw node, to
// compare the IDs, then again through libudev, and a device that leaves in
// between crashes it. On a bench the ondrix devices themselves leave the
// bus, at every switch into the bootloader.
//
// So the launcher defines that libudev function itself. The executable
// comes first in the dynamic linker's search, so hidapi's calls reach this
// definition, which passes on libudev's answer, except that a uevent that
// cannot be read reads as empty. An empty uevent has no HID_ID, HID_NAME or
// HID_UNIQ, and hidapi then leaves the device out, as hidapi 0.15.0 does
// (upstream's fix: parse_uevent_info() returns 0 for a NULL uevent), with
// a fixed hidapi too. hidapi's own entries for the other devices, one per
// collection of each report descriptor, stay as hidapi makes them. The
// launcher reads no uevent itself.
//
// Nothing of hidapi is copied or patched: the package uses the
// distribution's library as it is, through public interfaces only. Listing
// the hidraw nodes through libudev and asking hidapi only for the entries
// of each vendor and product would leave every filtered listing (the
// probes, --list, --serial, --all) open to the crash above.

#include <dlfcn.h>
#include <libudev.h>

#include <cstring>

namespace {

using SysattrLookup = const char *(*)(struct udev_device *, const char *);

SysattrLookup libudevSysattrLookup()
{
    static const SysattrLookup lookup =
        reinterpret_cast<SysattrLookup>(dlsym(RTLD_NEXT, "udev_device_get_sysattr_value"));
    return lookup;
}

} // namespace

const char *udev_device_get_sysattr_value(struct udev_device *udev_device, const char *sysattr)
{
    SysattrLookup lookup = libudevSysattrLookup();
    const char *value = lookup != nullptr ? lookup(udev_device, sysattr) : nullptr;
    if (value == nullptr && sysattr != nullptr && strcmp(sysattr, "uevent") == 0)
        return "";
    return value;
}
