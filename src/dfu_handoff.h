#ifndef FWLAUNCH_DFU_HANDOFF_H
#define FWLAUNCH_DFU_HANDOFF_H

// Replaces this process with dfu-util downloading the image at `argv`
// into the bootloader on USB port `port` (any port when it is empty).
// Returns only when `argv` is null; when dfu-util cannot be started, the
// process ends with status 1.
void dfu_run(const char *argv, const char *port);

#endif
