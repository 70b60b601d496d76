#ifndef FWLAUNCH_JSON_VIEW_H
#define FWLAUNCH_JSON_VIEW_H

#include "fleet_events.h"

#include <map>
#include <string>

// --json: the run as JSON Lines on standard output, one object per event,
// for a factory system to record which image went into which serial
// number, and with what result. Every object starts with "time" (UTC,
// RFC 3339, milliseconds) and "event".
class JsonView : public FleetView {
public:
    void started(const FleetStart &start) override;
    void takenUp(const FleetDevice &device) override;
    void phase(const FleetDevice &device, const std::string &phase, double time) override;
    void progress(const FleetDevice &device, int percent, double time) override;
    void line(const FleetDevice &device, FleetStream stream, const std::string &text, double time) override;
    void result(const FleetDevice &device, const FleetResult &result) override;
    void alreadyUpdated(const FleetDevice &device, double time) override;
    void summary(const FleetSummary &summary) override;

private:
    std::string image_sha256_;
    // By port: the tenth of the last progress written for the update on it.
    std::map<std::string, int> progress_tenth_;
};

// `text` as a JSON string, quotes included (RFC 8259); any byte sequence
// that is not UTF-8 becomes U+FFFD.
std::string jsonString(const std::string &text);

#endif
