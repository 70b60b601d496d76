// A USB device served from user space through GadgetFS, on a device
// controller of a real kernel (dummy_udc, wired to the dummy_hcd host).
//
// GadgetFS takes the device's own descriptors and hands every control
// request it does not answer itself (strings, the HID report descriptor,
// class requests, SET_CONFIGURATION, SET_INTERFACE) to user space on ep0.
#ifndef ONDRIX_SIM_GADGETFS_H
#define ONDRIX_SIM_GADGETFS_H

#include "usb_model.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

struct Gadget {
    std::string folder;      // where gadgetfs is mounted, e.g. /dev/gadget
    std::string controller;  // the controller's file in it, e.g. dummy_udc
    int ep0 = -1;
    std::map<uint8_t, int> endpoints;  // open endpoint files by address
};

// What ep0 reports: the host connecting, resetting or suspending the
// device, or a control request that waits for its answer.
struct GadgetEvent {
    enum Type { NOTHING, CONNECT, DISCONNECT, SETUP, SUSPEND } type;
    Setup setup;
};

// Puts the device on the bus with these descriptors (device descriptor
// followed by its one configuration). False, with the reason on standard
// error, when the controller refuses.
bool gadget_connect(Gadget &gadget, const Bytes &descriptors);

// Takes the device off the bus. Stop every reader of an endpoint first:
// the kernel waits for a pending read before it lets the device go.
void gadget_disconnect(Gadget &gadget);

// Enables the endpoint an endpoint descriptor describes; the host's
// SET_CONFIGURATION is the moment. Returns its file, or -1.
int gadget_enable_endpoint(Gadget &gadget, const Bytes &endpoint_descriptor);

// The events ep0 has ready; a SETUP is always the last of them, and its
// answer must come before the next read.
std::vector<GadgetEvent> gadget_read_events(Gadget &gadget);

// The data stage of an OUT request; read it at once, before the host can
// send its next request.
bool gadget_read_out_data(Gadget &gadget, const Setup &setup, Bytes &data);

// Answers a control request: sends the reply of an IN request or
// acknowledges an OUT request; nullopt stalls it.
void gadget_answer(Gadget &gadget, const Setup &setup, const std::optional<Bytes> &reply);

#endif
