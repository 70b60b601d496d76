// fwlaunch: brings an ondrix device into its USB bootloader and hands the
// firmware image to dfu-util.

#include "device.h"
#include "dfu_handoff.h"

#include <hidapi.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// Exit statuses of the runs that end in the launcher itself; a successful
// hand-off ends with dfu-util's own status instead.
const int EXIT_UPDATE_FAILED = 1;
const int EXIT_USAGE = 2;

// The two vendor commands that take the device from normal mode into its
// bootloader: the pre-mode command readies it, the switch-mode command
// makes it drop off the bus and come back as 040e:f003.
const unsigned char PRE_MODE_CMD[2] = {0xDE, 0x12};
const unsigned char SWITCH_MODE_CMD[2] = {0x12, 0x34};

// The bootloader is looked for this many times, one second apart.
const int SWITCH_WAIT_PROBES = 5;

void printhelp()
{
    printf("usage:\n");
    printf("<sudo ./fwlaunch img>\n\n");
}

// What --help prints: the usage text, then what the argument is and what
// the exit statuses mean.
void printFullHelp()
{
    printhelp();
    printf("img is the firmware image. fwlaunch switches the attached ondrix\n");
    printf("device into its USB bootloader and hands img to dfu-util, which\n");
    printf("downloads it.\n");
    printf("\n");
    printf("Exit status:\n");
    printf("  dfu-util's own  once img has been handed to dfu-util\n");
    printf("  1               no ondrix device, the switch to the bootloader\n");
    printf("                  failed, or dfu-util could not be started\n");
    printf("  2               no argument, or img does not exist\n");
    printf("  255             the HID layer could not be initialised\n");
    printf("\n");
    printf("fwlaunch --version prints the version.\n");
}

bool firstArgumentIs(int argc, char *argv[], const char *option)
{
    return argc >= 2 && strcmp(argv[1], option) == 0;
}

// Only existence is checked: the image itself is dfu-util's to read.
int checkimg(const char *filename)
{
    if (filename == nullptr || access(filename, F_OK) != 0)
        return -1;
    return 1;
}

bool waitForBootloader()
{
    int timeout = 0;
    while (timeout < SWITCH_WAIT_PROBES) {
        if (inBootloaderMode() != 0)
            return true;
        sleep(1);
        printf("wait for.......\n");
        timeout++;
    }
    return false;
}

// Runs from normal mode to the hand-off. Returns only when the update
// could not be handed to dfu-util.
int switchToBootloader(const char *img)
{
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

    if (!waitForBootloader()) {
        printf("timeout error\n");
        return EXIT_UPDATE_FAILED;
    }
    printf("start download file: %s\n", img);
    dfu_run(img);
    return EXIT_UPDATE_FAILED;
}

int updateFromBootloader(const char *img)
{
    printf("the divce is already in usb bootloader mode\n");
    printf("Try to start download img file : %s.\n", img);
    dfu_run(img);
    return EXIT_UPDATE_FAILED;
}

int runUpdate(int argc, char *argv[])
{
    if (argc < 2 || checkimg(argv[1]) == -1) {
        printhelp();
        return EXIT_USAGE;
    }
    const char *img = argv[1];

    if (inNormalMode() == 0)
        return switchToBootloader(img);
    if (inBootloaderMode() == 1)
        return updateFromBootloader(img);

    printf("don't found any ondrix hid device\n");
    printf("please check if you has plun in a ondrix usb device\n");
    return EXIT_UPDATE_FAILED;
}

} // namespace

int main(int argc, char *argv[])
{
    // Line buffering keeps our lines in order with dfu-util's when the
    // output goes to a pipe or a file.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // Serial numbers are wide strings; without the user's character set
    // hidapi and printf drop any that are not plain ASCII.
    setlocale(LC_CTYPE, "");

    // The two options answer before the HID layer is touched.
    if (firstArgumentIs(argc, argv, "--help")) {
        printFullHelp();
        return EXIT_SUCCESS;
    }
    if (firstArgumentIs(argc, argv, "--version")) {
        printf("fwlaunch %s\n", FWLAUNCH_VERSION);
        return EXIT_SUCCESS;
    }

    int ret_init = hid_init();
    if (ret_init != 0) {
        printf("hid_init() call failed (%d)!", ret_init);
        return -1;
    }

    int status = runUpdate(argc, argv);
    // end_exit: every run that does not become dfu-util closes here.
    hid_exit();
    return status;
}
