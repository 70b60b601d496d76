#include "json_view.h"

#include "output.h"
#include "time_text.h"

#include <cmath>

namespace {

unsigned char byteOf(char c)
{
    return static_cast<unsigned char>(c);
}

// The UTF-8 character at `at` (RFC 3629: no overlong form, no surrogate,
// nothing above U+10FFFF), or, when there is none, the bytes that began
// like one: these go as one U+FFFD, as Unicode advises.
struct Utf8Run {
    size_t length;
    bool valid;
};

Utf8Run utf8At(const std::string &text, size_t at)
{
    unsigned char lead = byteOf(text[at]);
    unsigned char low = 0x80, high = 0xBF; // the range of the next byte
    size_t length;
    if (lead < 0x80)
        return {1, true};
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return {1, false};
    }
    for (size_t i = 1; i < length; i++) {
        if (at + i >= text.size() || byteOf(text[at + i]) < low || byteOf(text[at + i]) > high)
            return {i, false};
        low = 0x80;
        high = 0xBF;
    }
    return {length, true};
}

std::string escapedAscii(char c)
{
    switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\b': return "\\b";
    case '\f': return "\\f";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: break;
    }
    if (byteOf(c) >= 0x20)
        return std::string(1, c);
    const char digits[] = "0123456789abcdef";
    return std::string("\\u00") + digits[byteOf(c) >> 4] + digits[byteOf(c) & 0xf];
}

std::string stringOrNull(const std::string &text)
{
    return text.empty() ? "null" : jsonString(text);
}

std::string boolean(bool value)
{
    return value ? "true" : "false";
}

std::string milliseconds(double seconds)
{
    return std::isfinite(seconds) ? secondsText(seconds, 3) : "null";
}

// One line of the stream: a JSON object, its members in the order added.
class JsonLine {
public:
    JsonLine(double time, const char *event)
    {
        add("time", jsonString(utcTime(time, false)));
        add("event", jsonString(event));
    }

    JsonLine(double time, const char *event, const FleetDevice &device) : JsonLine(time, event)
    {
        add("port", jsonString(device.port));
        add("serial", stringOrNull(device.serial));
    }

    // `json`: the value, already JSON.
    JsonLine &add(const char *key, const std::string &json)
    {
        text_ += (text_.empty() ? "{" : ",") + jsonString(key) + ":" + json;
        return *this;
    }

    void write()
    {
        emit(Channel::out, text_ + "}\n");
    }

private:
    std::string text_;
};

} // namespace

std::string jsonString(const std::string &text)
{
    std::string json = "\"";
    for (size_t at = 0; at < text.size();) {
        Utf8Run run = utf8At(text, at);
        if (!run.valid)
            json += "\xEF\xBF\xBD";
        else if (run.length > 1)
            json.append(text, at, run.length);
        else
            json += escapedAscii(text[at]);
        at += run.length;
    }
    return json + "\"";
}

void JsonView::started(const FleetStart &start)
{
    image_sha256_ = start.image.sha256;
    JsonLine json(start.time, "start");
    json.add("fwlaunch", jsonString(FWLAUNCH_VERSION));
    json.add("mode", jsonString(start.watch ? "watch" : "all"));
    if (!start.watch) {
        std::string ports;
        for (const std::string &port : start.ports)
            ports += (ports.empty() ? "" : ",") + jsonString(port);
        json.add("ports", "[" + ports + "]");
    }
    json.add("image", "{\"path\":" + jsonString(start.image.path) + ",\"size\":" +
                          std::to_string(start.image.size) + ",\"sha256\":" + jsonString(start.image.sha256) + "}");
    json.add("jobs", start.jobs == 0 ? "null" : std::to_string(start.jobs));
    json.add("left_alone", std::to_string(start.left_alone));
    json.add("polling", boolean(start.polling));
    json.write();
}

void JsonView::takenUp(const FleetDevice &device)
{
    progress_tenth_.erase(device.port);
    JsonLine(device.taken_up_at, "device", device)
        .add("mode", jsonString(device.in_bootloader ? "bootloader" : "normal"))
        .write();
}

void JsonView::phase(const FleetDevice &device, const std::string &phase, double time)
{
    JsonLine(time, "phase", device).add("phase", jsonString(phase)).write();
}

// dfu-util redraws its bar many times a second: a line only for each
// tenth reached.
void JsonView::progress(const FleetDevice &device, int percent, double time)
{
    if (percent < 0 || percent > 100)
        return;
    auto last = progress_tenth_.find(device.port);
    if (last != progress_tenth_.end() && percent / 10 <= last->second)
        return;
    progress_tenth_[device.port] = percent / 10;
    JsonLine(time, "progress", device).add("percent", std::to_string(percent)).write();
}

void JsonView::line(const FleetDevice &device, FleetStream stream, const std::string &text, double time)
{
    JsonLine(time, "line", device)
        .add("stream", jsonString(stream == FleetStream::out ? "stdout" : "stderr"))
        .add("text", jsonString(text))
        .write();
}

// The last line of an update that succeeded is no error.
void JsonView::result(const FleetDevice &device, const FleetResult &result)
{
    progress_tenth_.erase(device.port);
    bool updated = result.outcome == "updated";
    JsonLine json(result.time, "result", device);
    json.add("outcome", jsonString(result.outcome));
    json.add("status", result.exit_status == -1 ? "null" : std::to_string(result.exit_status));
    json.add("phase", jsonString(result.phase));
    json.add("error", updated ? "null" : stringOrNull(result.last_error_line));
    json.add("seconds", milliseconds(result.seconds));
    json.add("sha256", jsonString(image_sha256_));
    json.add("left_in_bootloader", boolean(result.left_in_bootloader));
    if (result.outcome == "busy")
        json.add("holder", stringOrNull(result.busy_holder));
    json.write();
}

void JsonView::alreadyUpdated(const FleetDevice &device, double time)
{
    JsonLine(time, "already-updated", device).write();
}

void JsonView::summary(const FleetSummary &summary)
{
    JsonLine(summary.time, "summary")
        .add("updated", std::to_string(summary.updated))
        .add("devices", std::to_string(summary.taken_up))
        .add("status", std::to_string(summary.exit_status))
        .write();
}
