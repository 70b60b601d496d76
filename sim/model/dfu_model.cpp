#include "dfu_model.h"

namespace {

const size_t FLASH_SIZE = 16 * 1024 * 1024;  // larger images are refused with errADDRESS

enum StringIndex : uint8_t { INTERFACE_NAME_STRING = 4 };

enum DfuRequest : uint8_t { DETACH, DNLOAD, UPLOAD, GETSTATUS, CLRSTATUS, GETSTATE, ABORT };

enum DfuStateValue : uint8_t {
    dfuIDLE = 2, dfuDNLOAD_SYNC = 3, dfuDNBUSY = 4, dfuDNLOAD_IDLE = 5, dfuMANIFEST_SYNC = 6,
    dfuERROR = 10,
};

using Clock = std::chrono::steady_clock;

enum DfuStatus : uint8_t { OK = 0x00, errWRITE = 0x03, errADDRESS = 0x08, errSTALLEDPKT = 0x0f };

Bytes build_descriptors(const DfuDeviceConfig &c, const Strings &strings)
{
    const bool with_hid = !c.hid_report_descriptor.empty();
    Bytes interfaces;
    if (with_hid)
        interfaces = hid_interface_descriptors(0, c.hid_report_descriptor.size(), false);
    const uint8_t dfu_interface = with_hid ? 1 : 0;
    interfaces.insert(interfaces.end(), {9, 4, dfu_interface, 0, 0, 0xfe, 0x01, 0x02,
                                         string_index(strings, INTERFACE_NAME_STRING)});
    // DFU functional descriptor: can download, manifestation tolerant.
    interfaces.insert(interfaces.end(), {9, 0x21, 0x05});
    put16(interfaces, 255);  // wDetachTimeOut, ms
    put16(interfaces, c.transfer_size);
    put16(interfaces, 0x0110);

    Bytes d = device_descriptor(c.vendor_id, c.product_id, strings);
    append(d, configuration_descriptor(uint8_t(dfu_interface + 1), interfaces));
    return d;
}

// Returns false when the request must stall.
bool dnload(DfuModel &m, const Setup &setup, const uint8_t *data)
{
    DfuState &dfu = m.dfu;
    if (setup.length == 0) {  // end of image: manifest at once
        if (dfu.state != dfuDNLOAD_IDLE)
            return false;
        dfu.state = dfuMANIFEST_SYNC;
        dfu.manifested = true;
        return true;
    }
    if (setup.length > m.config.transfer_size)
        return false;
    if (dfu.state == dfuIDLE) {
        dfu.image.clear();
        dfu.blocks = 0;
        dfu.manifested = false;
    }
    // The device writes blocks in order; wValue carries the block number.
    const bool in_sequence = setup.value == uint16_t(dfu.blocks);
    if (!in_sequence || dfu.image.size() + setup.length > FLASH_SIZE) {
        dfu.state = dfuERROR;
        dfu.status = errADDRESS;
    } else if (int64_t(dfu.blocks) == m.config.fail_after_block) {
        dfu.state = dfuERROR;
        dfu.status = errWRITE;
    } else {
        dfu.image.insert(dfu.image.end(), data, data + setup.length);
        dfu.blocks++;
        dfu.state = dfuDNLOAD_SYNC;
        dfu.written_at = Clock::now() + std::chrono::milliseconds(m.config.flash_time_ms);
    }
    return true;
}

// Milliseconds until the last block is written, rounded up: a host that
// waits that long finds it written.
uint32_t write_time_left(const DfuState &dfu)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(dfu.written_at - Clock::now());
    return left.count() > 0 ? uint32_t(left.count()) : 0;
}

// The device writes a block after its DNLOAD. While it writes, the status
// request answers dfuDNBUSY with the time left as the poll timeout (the
// host waits that long and asks again), and dfuDNLOAD-IDLE once the block
// is written. Every device keeps its own deadline, so no device waits for
// another. The end of a download has nothing left to write: it manifests
// at once.
Bytes get_status(DfuState &dfu)
{
    uint32_t poll_timeout = 0;
    if (dfu.state == dfuDNLOAD_SYNC || dfu.state == dfuDNBUSY) {
        poll_timeout = write_time_left(dfu);
        dfu.state = poll_timeout > 0 ? dfuDNBUSY : dfuDNLOAD_IDLE;
    } else if (dfu.state == dfuMANIFEST_SYNC) {
        dfu.state = dfuIDLE;
    }
    return Bytes{dfu.status, uint8_t(poll_timeout), uint8_t(poll_timeout >> 8),
                 uint8_t(poll_timeout >> 16), dfu.state, 0};
}

std::optional<Bytes> dfu_request(DfuModel &m, const Setup &setup, const uint8_t *data)
{
    DfuState &dfu = m.dfu;
    const bool idle = dfu.state == dfuIDLE || dfu.state == dfuDNLOAD_IDLE;
    switch (setup.request) {
    case GETSTATUS: return get_status(dfu);
    case GETSTATE: return Bytes{dfu.state};
    case DNLOAD:
        if (idle && !setup.is_in() && dnload(m, setup, data))
            return Bytes{};
        break;
    case CLRSTATUS:
        if (dfu.state == dfuERROR) {
            dfu.state = dfuIDLE;
            dfu.status = OK;
            return Bytes{};
        }
        break;
    case ABORT:
        if (idle) {
            dfu.state = dfuIDLE;
            return Bytes{};
        }
        break;
    }
    // DETACH and UPLOAD are not supported in this mode; anything out of place stalls.
    dfu.state = dfuERROR;
    dfu.status = errSTALLEDPKT;
    return std::nullopt;
}

} // namespace

DfuModel dfu_model_new(const DfuDeviceConfig &config)
{
    Strings strings = {config.manufacturer, config.product, config.serial, config.interface_name};
    return DfuModel{config, build_descriptors(config, strings), strings,
                    DfuState{dfuIDLE, OK, 0, {}, false, {}}};
}

uint8_t dfu_interface_number(const DfuModel &m)
{
    return m.config.hid_report_descriptor.empty() ? 0 : 1;
}

uint8_t dfu_interface_count(const DfuModel &m) { return dfu_interface_number(m) + 1; }

bool is_dfu_request(const DfuModel &m, const Setup &setup)
{
    return (setup.request_type & 0x7f) == 0x21 && (setup.index & 0xff) == dfu_interface_number(m);
}

bool is_dfu_download(const DfuModel &m, const Setup &setup)
{
    return is_dfu_request(m, setup) && setup.request == DNLOAD;
}

std::optional<Bytes> dfu_control_request(DfuModel &m, const Setup &setup, const uint8_t *data)
{
    if (is_dfu_request(m, setup))
        return dfu_request(m, setup, data);
    return standard_request(m.descriptors, m.strings, m.config.hid_report_descriptor, setup);
}
