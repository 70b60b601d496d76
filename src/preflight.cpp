#include "preflight.h"

#include "device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A DFU 1.1 file suffix: the last 16 bytes of the image, little-endian
// fields in this order, written by dfu-suffix and checked by dfu-util.
const size_t DFU_SUFFIX_LENGTH = 16;
struct DfuSuffix {
    unsigned device, product, vendor, dfu_version;
    char signature[3]; // "UFD"
    unsigned length;
    uint32_t crc;
};

// dfu-util takes a suffix ID of ffff to match any device.
const unsigned ANY_ID = 0xFFFF;

unsigned little16(const unsigned char *bytes)
{
    return bytes[0] | bytes[1] << 8;
}

uint32_t little32(const unsigned char *bytes)
{
    return static_cast<uint32_t>(little16(bytes)) | static_cast<uint32_t>(little16(bytes + 2)) << 16;
}

DfuSuffix parseSuffix(const unsigned char *bytes)
{
    DfuSuffix suffix;
    suffix.device = little16(bytes);
    suffix.product = little16(bytes + 2);
    suffix.vendor = little16(bytes + 4);
    suffix.dfu_version = little16(bytes + 6);
    memcpy(suffix.signature, bytes + 8, sizeof suffix.signature);
    suffix.length = bytes[11];
    suffix.crc = little32(bytes + 12);
    return suffix;
}

// The suffix's CRC-32 covers the whole file but the CRC itself, and is
// kept without the final inversion of the usual CRC-32.
uint32_t crcStep(uint32_t crc, unsigned char byte)
{
    crc ^= byte;
    for (int bit = 0; bit < 8; bit++)
        crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    return crc;
}

// Reads `length` bytes from the start of `fd`, folding them into the CRC.
// False on a read error (errno tells).
bool crcOfFile(int fd, off_t length, uint32_t &crc)
{
    unsigned char chunk[65536];
    crc = 0xFFFFFFFFu;
    for (off_t done = 0; done < length;) {
        size_t wanted = static_cast<size_t>(std::min<off_t>(length - done, sizeof chunk));
        ssize_t got = pread(fd, chunk, wanted, done);
        if (got <= 0) {
            if (got == 0)
                errno = EIO;
            return false;
        }
        for (ssize_t i = 0; i < got; i++)
            crc = crcStep(crc, chunk[i]);
        done += got;
    }
    return true;
}

bool matchesBootloader(unsigned suffix_id, unsigned bootloader_id)
{
    return suffix_id == ANY_ID || suffix_id == bootloader_id;
}

std::string idText(unsigned vendor, unsigned product)
{
    char text[10];
    snprintf(text, sizeof text, "%04x:%04x", vendor, product);
    return text;
}

// Why dfu-util cannot download the open file `fd` of `size` bytes into the
// ondrix bootloader; empty when it can.
std::string problemWithContents(int fd, off_t size)
{
    if (size == 0)
        return "it is empty";
    unsigned char tail[DFU_SUFFIX_LENGTH];
    if (size < static_cast<off_t>(sizeof tail))
        return "";
    if (pread(fd, tail, sizeof tail, size - static_cast<off_t>(sizeof tail)) != static_cast<ssize_t>(sizeof tail))
        return strerror(errno != 0 ? errno : EIO);
    DfuSuffix suffix = parseSuffix(tail);
    if (memcmp(suffix.signature, "UFD", sizeof suffix.signature) != 0)
        return ""; // no suffix: dfu-util warns about that itself
    if (suffix.length < DFU_SUFFIX_LENGTH || static_cast<off_t>(suffix.length) > size)
        return "its DFU suffix has an impossible length (" + std::to_string(suffix.length) + ")";
    uint32_t crc = 0;
    if (!crcOfFile(fd, size - 4, crc))
        return strerror(errno);
    if (crc != suffix.crc)
        return "its DFU suffix CRC does not match its contents (damaged?)";
    if (!matchesBootloader(suffix.vendor, DEVICE_VENDOR_ID) || !matchesBootloader(suffix.product, BOOTLOADER_PRODUCT_ID))
        return "its DFU suffix is for " + idText(suffix.vendor, suffix.product) + ", not the ondrix bootloader " +
               idText(DEVICE_VENDOR_ID, BOOTLOADER_PRODUCT_ID);
    return "";
}

std::string problemWithImage(const char *path)
{
    struct stat status;
    if (stat(path, &status) != 0)
        return strerror(errno);
    if (S_ISDIR(status.st_mode))
        return strerror(EISDIR);
    if (!S_ISREG(status.st_mode))
        return "it is not a regular file";
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return strerror(errno);
    std::string problem = fstat(fd, &status) == 0 ? problemWithContents(fd, status.st_size) : strerror(errno);
    close(fd);
    return problem;
}

// The folders execvp searches: PATH, or where it is unset, the system's
// default search path. An empty entry is the working directory.
std::string commandSearchPath()
{
    const char *path = getenv("PATH");
    if (path != nullptr)
        return path;
    char default_path[256] = "/bin:/usr/bin";
    confstr(_CS_PATH, default_path, sizeof default_path);
    return default_path;
}

bool isExecutableFile(const std::string &file)
{
    struct stat status;
    return stat(file.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(file.c_str(), X_OK) == 0;
}

bool isOnSearchPath(const char *command)
{
    std::string search = commandSearchPath();
    for (size_t start = 0;; ) {
        size_t end = search.find(':', start);
        std::string folder = search.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (isExecutableFile((folder.empty() ? "." : folder) + "/" + command))
            return true;
        if (end == std::string::npos)
            return false;
        start = end + 1;
    }
}

} // namespace

int checkImageContents(const char *path)
{
    std::string problem = problemWithImage(path);
    if (problem.empty())
        return 1;
    fprintf(stderr, "fwlaunch: cannot use %s: %s\n", path, problem.c_str());
    return -1;
}

int checkDfuUtilIsInstalled()
{
    if (isOnSearchPath("dfu-util"))
        return 1;
    fprintf(stderr, "fwlaunch: dfu-util not found on PATH\n");
    fprintf(stderr, "fwlaunch: it does the download; install it (on Debian: apt install dfu-util)\n");
    return -1;
}
