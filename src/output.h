#ifndef FWLAUNCH_OUTPUT_H
#define FWLAUNCH_OUTPUT_H

#include <string>

// Our own standard output and error while several devices are updated.
// Either may go away under us (a reader that quit, a terminal that hung
// up); once a write to one fails, it is given up and nothing more is
// written to it, and the updates go on.

enum class Channel { out, err };

// Writes `text` whole, straight to the descriptor.
void emit(Channel channel, const std::string &text);

// False once the channel has been given up.
bool isOpen(Channel channel);

// After a hang-up: gives up each channel that is a terminal.
void giveUpTerminalChannels();

#endif
