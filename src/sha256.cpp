#include "sha256.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

// SHA-256 as FIPS 180-4 sets it out (sections 4.2.2, 5.1.1, 5.3.3, 6.2).
const uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

const size_t BLOCK_SIZE = 64;
// Where the message length goes in the last block.
const size_t LENGTH_AT = 56;

uint32_t rotateRight(uint32_t word, int bits)
{
    return (word >> bits) | (word << (32 - bits));
}

class Sha256 {
public:
    void add(const unsigned char *data, size_t size)
    {
        for (size_t i = 0; i < size; i++) {
            block_[used_++] = data[i];
            if (used_ == BLOCK_SIZE) {
                compress();
                used_ = 0;
            }
        }
        length_ += size;
    }

    // The message is padded with a 1 bit, zeros and its length in bits.
    std::string finish()
    {
        uint64_t bits = length_ * 8;
        const unsigned char one_bit = 0x80, zero = 0;
        add(&one_bit, 1);
        while (used_ != LENGTH_AT)
            add(&zero, 1);
        unsigned char length[8];
        for (int i = 0; i < 8; i++)
            length[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        add(length, sizeof length);

        const char digits[] = "0123456789abcdef";
        std::string hex;
        for (uint32_t word : state_)
            for (int shift = 28; shift >= 0; shift -= 4)
                hex += digits[(word >> shift) & 0xf];
        return hex;
    }

private:
    void compress()
    {
        uint32_t schedule[64];
        for (size_t t = 0; t < 16; t++)
            schedule[t] = uint32_t{block_[4 * t]} << 24 | uint32_t{block_[4 * t + 1]} << 16 |
                          uint32_t{block_[4 * t + 2]} << 8 | uint32_t{block_[4 * t + 3]};
        for (size_t t = 16; t < 64; t++) {
            uint32_t s0 = rotateRight(schedule[t - 15], 7) ^ rotateRight(schedule[t - 15], 18) ^ (schedule[t - 15] >> 3);
            uint32_t s1 = rotateRight(schedule[t - 2], 17) ^ rotateRight(schedule[t - 2], 19) ^ (schedule[t - 2] >> 10);
            schedule[t] = schedule[t - 16] + s0 + schedule[t - 7] + s1;
        }
        uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
        uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
        for (size_t t = 0; t < 64; t++) {
            uint32_t sum1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
            uint32_t choice = (e & f) ^ (~e & g);
            uint32_t temp1 = h + sum1 + choice + ROUND_CONSTANTS[t] + schedule[t];
            uint32_t sum0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
            uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            h = g;
            g = f;
            f = e;
            e = d + temp1;
            d = c;
            c = b;
            b = a;
            a = temp1 + sum0 + majority;
        }
        uint32_t worked[8] = {a, b, c, d, e, f, g, h};
        for (size_t i = 0; i < 8; i++)
            state_[i] += worked[i];
    }

    uint32_t state_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char block_[BLOCK_SIZE] = {};
    size_t used_ = 0;     // bytes of block_ filled
    uint64_t length_ = 0; // bytes added in all
};

} // namespace

bool sha256OfFile(const char *path, std::string *hex, uint64_t *size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    Sha256 sha;
    std::vector<unsigned char> buffer(64 * 1024);
    uint64_t total = 0;
    while (true) {
        ssize_t count = read(fd, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            int saved_errno = errno;
            close(fd);
            errno = saved_errno;
            return false;
        }
        if (count == 0)
            break;
        sha.add(buffer.data(), static_cast<size_t>(count));
        total += static_cast<uint64_t>(count);
    }
    close(fd);
    *hex = sha.finish();
    *size = total;
    return true;
}
