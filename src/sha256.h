#ifndef FWLAUNCH_SHA256_H
#define FWLAUNCH_SHA256_H

#include <cstdint>
#include <string>

// The SHA-256 of the contents of the file at `path`, in lower-case hex,
// and its size in bytes. False, with errno set, when it cannot be read.
bool sha256OfFile(const char *path, std::string *hex, uint64_t *size);

#endif
