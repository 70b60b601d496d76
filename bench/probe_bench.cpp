// Times the launcher's normal-mode probe against a bare hid_enumerate of
// the same identity, alternating the two so that both see the same
// testbed and the same machine load. Prints the median of each in
// microseconds.

#include "device.h"

#include <hidapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

template <typename Call>
double microseconds(Call call)
{
    Clock::time_point start = Clock::now();
    call();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

void bareEnumerate()
{
    hid_free_enumeration(hid_enumerate(DEVICE_VENDOR_ID, NORMAL_MODE_PRODUCT_ID));
}

} // namespace

int main(int argc, char *argv[])
{
    int rounds = argc > 1 ? atoi(argv[1]) : 200;
    if (rounds < 1 || hid_init() != 0)
        return 1;
    std::vector<double> probe, bare;
    for (int i = 0; i < rounds; i++) {
        probe.push_back(microseconds([] { inNormalMode(); }));
        bare.push_back(microseconds(bareEnumerate));
    }
    hid_exit();
    printf("probe_us %.1f\nenumerate_us %.1f\n", median(probe), median(bare));
    return 0;
}
