#include "update.h"

#include "device.h"
#include "dfu_handoff.h"
#include "phase_channel.h"
#include "port_lock.h"
#include "udev_wait.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <vector>

namespace {

// A run that does not hand the image to dfu-util ends with this status.
const int EXIT_UPDATE_FAILED = 1;

// The two vendor commands that take the device from normal mode into its
// bootloader: the pre-mode command readies it, the switch-mode command
// makes it drop off the bus and come back as 040e:f003.
const unsigned char PRE_MODE_CMD[2] = {0xDE, 0x12};
const unsigned char SWITCH_MODE_CMD[2] = {0x12, 0x34};

// The bootloader is looked for this many times, one second apart.
const int SWITCH_WAIT_PROBES = 5;

// One update as it goes: the image, the port of its device, its wait for
// udev, and where it reports its phases.
struct UpdateRun {
    const char *img;
    std::string port;
    UdevWait &udev_wait;
    int phase_fd;
};

void enterPhase(const UpdateRun &run, Phase phase)
{
    reportPhase(run.phase_fd, PhaseReport{phase});
}

// The wait for the bootloader: a probe, then up to a second's sleep, which
// udev cuts short when it announces the bootloader.
bool waitForBootloader(UdevWait &udev_wait)
{
    int timeout = 0;
    while (timeout < SWITCH_WAIT_PROBES) {
        if (inBootloaderMode() != 0)
            return true;
        udev_wait.sleepUnlessBootloaderArrives(1);
        printf("wait for.......\n");
        timeout++;
    }
    return false;
}

// Hands the image to dfu-util once udev is done with the bootloader (the
// user may otherwise not yet be allowed to open it). Returns only when
// dfu-util could not be started.
int handOff(const UpdateRun &run)
{
    run.udev_wait.waitUntilUsbDeviceIsReady(bootloaderNode().c_str());
    run.udev_wait.stop();
    enterPhase(run, Phase::downloading);
    dfu_run(run.img, run.port.c_str());
    return EXIT_UPDATE_FAILED;
}

// Runs from normal mode to the hand-off. Returns only when the update
// could not be handed to dfu-util.
int switchToBootloader(const UpdateRun &run)
{
    enterPhase(run, Phase::switching);
    printf("start check usb mode\n");
    if (requestHidCmd(PRE_MODE_CMD[0], PRE_MODE_CMD[1]) == -1) {
        printf("request pre-mode fail\n");
        return EXIT_UPDATE_FAILED;
    }
    printf("send pre_mode ok\n");

    if (requestHidCmd(SWITCH_MODE_CMD[0], SWITCH_MODE_CMD[1]) == -1) {
        printf("request switch-mode fail\n");
        return EXIT_UPDATE_FAILED;
    }
    printf("send switch_mode ok\n");
    enterPhase(run, Phase::waiting_for_bootloader);

    if (!waitForBootloader(run.udev_wait)) {
        printf("timeout error\n");
        return EXIT_UPDATE_FAILED;
    }
    printf("start download file: %s\n", run.img);
    return handOff(run);
}

int updateFromBootloader(const UpdateRun &run)
{
    printf("the divce is already in usb bootloader mode\n");
    printf("Try to start download img file : %s.\n", run.img);
    return handOff(run);
}

// Without --port the run takes the first device in normal mode, else the
// first bootloader, and when there is a choice, says which and how to
// choose. Empty when there is no device, or its port cannot be told.
std::string chooseDevice()
{
    std::vector<OndrixDevice> devices = listOndrixDevices();
    if (devices.empty() || devices.front().port.empty())
        return "";
    std::vector<std::string> ports;
    for (const OndrixDevice &device : devices)
        if (std::find(ports.begin(), ports.end(), device.port) == ports.end())
            ports.push_back(device.port);
    if (ports.size() > 1)
        printf("%zu ondrix devices attached; updating the one on port %s (choose with --port)\n", ports.size(),
               devices.front().port.c_str());
    return devices.front().port;
}

} // namespace

void printNotFound()
{
    printf("don't found any ondrix hid device\n");
    printf("please check if you has plun in a ondrix usb device\n");
}

int runUpdate(const char *img, const std::string &port_option, int phase_fd)
{
    // Once a device is being switched, only the device or the user ends
    // the update: not a reader of our output that went away (the writes
    // fail instead), nor a terminal that hung up. dfu-util inherits both.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    std::string port = !port_option.empty() ? port_option : chooseDevice();
    pid_t holder = 0;
    if (lockPort(port, &holder) == -1) {
        reportPhase(phase_fd, PhaseReport{Phase::busy, holder});
        return EXIT_UPDATE_FAILED;
    }
    // Listening starts before the first report: udev's word on the
    // bootloader's arrival must not be missed.
    UdevWait udev_wait(port);
    pinToPort(port, &udev_wait);
    UpdateRun run{img, port, udev_wait, phase_fd};
    int status = EXIT_UPDATE_FAILED;
    if (inNormalMode() == 0)
        status = switchToBootloader(run);
    else if (inBootloaderMode() == 1)
        status = updateFromBootloader(run);
    else
        printNotFound();
    pinToPort(port, nullptr); // udev_wait ends with this function
    return status;
}
