#ifndef FWLAUNCH_TEXT_VIEW_H
#define FWLAUNCH_TEXT_VIEW_H

#include "fleet_events.h"

#include <memory>

// The run as a person reads it: each device's lines, whole and prefixed
// with its port ("[1-2] ..."), on the stream they came on; on a terminal a
// table of the devices under way below them, redrawn in place; and at
// the end what came of each. --all sums up every port; --watch says each
// result as it comes, and at the end the count and what failed.
std::unique_ptr<FleetView> newTextView();

#endif
