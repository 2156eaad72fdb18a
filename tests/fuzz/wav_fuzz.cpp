// The WAV reader on any file: what it loads is whole frames, no more than the file holds (at
// most as many zeros again), at a rate it accepts.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/wav_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("wav_fuzz", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        __builtin_trap();
    }
    std::vector<float> samples;
    int rate = 0, channels = 0;
    std::string err;
    if (!wavRead(path, samples, rate, channels, err)) return 0;
    if (channels < 1 || samples.size() % channels != 0 || samples.size() > 2 * size ||
        rate < 4000 || rate > 768000) {
        __builtin_trap();
    }
    return 0;
}
