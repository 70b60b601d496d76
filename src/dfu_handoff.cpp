#include "dfu_handoff.h"

#include "device.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {
const int DFU_ARGS_SLOTS = 10;
}

void dfu_run(const char *argv)
{
    const char *args[DFU_ARGS_SLOTS] = {};
    args[0] = "dfu-util";
    args[1] = "-d";
    args[2] = BOOTLOADER_ID_TEXT;
    args[3] = "-a";
    args[4] = "0";
    args[5] = "-D";

    if (argv == nullptr) {
        printf("file is null,exitn");
        return;
    }
    args[6] = argv;

    printf("About to run dfu-util for downloading...\n");
    // Whatever is still buffered would be lost with this process image.
    fflush(stdout);
    execvp("dfu-util", const_cast<char *const *>(args));
    perror("execvp");
    exit(1);
}
