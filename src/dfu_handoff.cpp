#include "dfu_handoff.h"

#include "device.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {
const int DFU_ARGS_SLOTS = 10;
}

void dfu_run(const char *argv, const char *port)
{
    const char *args[DFU_ARGS_SLOTS] = {};
    int slot = 0;
    args[slot++] = "dfu-util";
    args[slot++] = "-d";
    args[slot++] = BOOTLOADER_ID_TEXT;
    // Pinned to the port: another ondrix bootloader must not take the image.
    if (port != nullptr && *port != '\0') {
        args[slot++] = "-p";
        args[slot++] = port;
    }
    args[slot++] = "-a";
    args[slot++] = "0";
    args[slot++] = "-D";

    if (argv == nullptr) {
        printf("file is null,exitn");
        return;
    }
    args[slot] = argv;

    printf("About to run dfu-util for downloading...\n");
    // Whatever is still buffered would be lost with this process image.
    fflush(stdout);
    execvp("dfu-util", const_cast<char *const *>(args));
    perror("execvp");
    exit(1);
}
