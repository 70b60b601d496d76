// udev-watch COMMAND [ARG]...: runs COMMAND while a udev monitor listens,
// then prints each uevent received, until none has come for half a
// second: "ACTION KIND SYSNAME", KIND being the device type or, when it
// has none, the subsystem. An added hidraw node also gets the port and
// product ID of its USB device: "add hidraw hidraw2 on 1-10 f003".

#include <libudev.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

const char *text(const char *value)
{
    return value != nullptr ? value : "-";
}

void print(udev_device *device)
{
    const std::string action = text(udev_device_get_action(device));
    const std::string subsystem = text(udev_device_get_subsystem(device));
    const char *devtype = udev_device_get_devtype(device);
    printf("%s %s %s", action.c_str(), devtype != nullptr ? devtype : subsystem.c_str(),
           udev_device_get_sysname(device));
    udev_device *usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
    if (action == "add" && subsystem == "hidraw" && usb != nullptr)
        printf(" on %s %s", udev_device_get_sysname(usb), text(udev_device_get_sysattr_value(usb, "idProduct")));
    printf("\n");
}

int run(char **command)
{
    pid_t pid = fork();
    if (pid == 0) {
        execvp(command[0], command);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    udev *context = udev_new();
    udev_monitor *monitor = udev_monitor_new_from_netlink(context, "udev");
    if (monitor == nullptr || udev_monitor_enable_receiving(monitor) < 0) {
        fprintf(stderr, "udev-watch: cannot listen\n");
        return 1;
    }
    int status = run(argv + 1);
    pollfd ready{udev_monitor_get_fd(monitor), POLLIN, 0};
    while (poll(&ready, 1, 500) > 0) {
        udev_device *device = udev_monitor_receive_device(monitor);
        if (device != nullptr)
            print(device);
        udev_device_unref(device);
    }
    udev_monitor_unref(monitor);
    udev_unref(context);
    return status;
}
