#ifndef FWLAUNCH_PHASE_CHANNEL_H
#define FWLAUNCH_PHASE_CHANNEL_H

#include <sys/types.h>

#include <string>

// How the update of one device tells the process that started it (--all)
// which phase it has reached, apart from its output, which is the user's
// to read and stays as it is. The update writes one line per phase to a
// descriptor the starter gives it, each line in one write(2), short
// enough to arrive whole through a pipe:
//
//   switching\n                   it starts the switch from normal mode
//   waiting for the bootloader\n  the switch-mode report went through
//   downloading\n                 dfu-util is about to be started
//   busy PID\n                    another run, process PID, holds the
//                                 port's lock: this update ends here
//   busy\n                        the same, the holder not known
//
// The lines come in this order, each at most once; a run that fails, or
// that starts from the bootloader, skips some. The descriptor is to be
// close-on-exec: dfu-util does not inherit it, so the starter reads the
// end of the channel when dfu-util starts or the update ends. From there
// on only dfu-util's own output tells how the download goes. A reader
// ignores a line it does not know.

enum class Phase { switching, waiting_for_bootloader, downloading, busy };

// No channel: a single run from the command line.
const int NO_PHASE_CHANNEL = -1;

// One line of the channel, read.
struct PhaseReport {
    Phase phase = Phase::switching;
    pid_t busy_holder = 0; // busy: the process holding the lock; 0 when not known
};

// The words of a phase as its line carries them ("switching", "waiting
// for the bootloader", "downloading", "busy").
const char *phaseWord(Phase phase);

// Writes the line of `report` to `fd`; nothing when `fd` is
// NO_PHASE_CHANNEL. A write that fails (the reader gone; the update
// ignores SIGPIPE) is let be: the update goes on.
void reportPhase(int fd, const PhaseReport &report);

// Reads one line, without its line feed. False when it is not a line of
// the channel.
bool parsePhaseLine(const std::string &text, PhaseReport *report);

#endif
