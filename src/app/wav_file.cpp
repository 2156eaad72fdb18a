#include "app/wav_file.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/platform.h"

// Samples and header fields are copied byte for byte.
static_assert(std::endian::native == std::endian::little, "WAV data is little-endian");

namespace {

constexpr size_t kFmtFieldBytes = 40;
// A data chunk is read in pieces so that its declared size alone allocates nothing.
constexpr size_t kReadPiece = size_t{1} << 20;
// A chunk cut short by at most this much is completed with zeros; beyond it the declared size
// is implausible and only the bytes present are used.
constexpr uint64_t kMaxZeroFill = uint64_t{16} << 20;
constexpr float kPcm16Scale = 3.0517578125e-05f;  // 1 / 32768

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

template <typename T>
T readLe(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// fseek takes a long, which has 32 bits on some platforms; chunk sizes reach 4 GiB.
bool skip(std::FILE* f, uint32_t n) {
    constexpr uint32_t kStep = uint32_t{1} << 30;
    for (; n > kStep; n -= kStep) {
        if (std::fseek(f, static_cast<long>(kStep), SEEK_CUR) != 0) return false;
    }
    return std::fseek(f, static_cast<long>(n), SEEK_CUR) == 0;
}

std::vector<unsigned char> readData(std::FILE* f, uint32_t size) {
    std::vector<unsigned char> bytes;
    size_t got = 0;
    while (got < size) {
        const size_t want = std::min<size_t>(kReadPiece, size - got);
        bytes.resize(got + want);
        const size_t n = std::fread(bytes.data() + got, 1, want, f);
        got += n;
        if (n < want) break;
    }
    bytes.resize(got);
    if (size - got <= kMaxZeroFill) bytes.resize(size);
    return bytes;
}

template <typename T>
void put(unsigned char*& p, T v) {
    std::memcpy(p, &v, sizeof v);
    p += sizeof v;
}

void putTag(unsigned char*& p, const char (&tag)[5]) {
    std::memcpy(p, tag, 4);
    p += 4;
}

bool writeContents(std::FILE* f, const float* data, size_t n, int sampleRate) {
    const uint32_t dataBytes = static_cast<uint32_t>(n * 4);
    const uint32_t rate = static_cast<uint32_t>(sampleRate);
    unsigned char header[44];
    unsigned char* p = header;
    putTag(p, "RIFF");
    put<uint32_t>(p, 36u + dataBytes);
    putTag(p, "WAVE");
    putTag(p, "fmt ");
    put<uint32_t>(p, 16);
    put<uint16_t>(p, 3);  // IEEE float
    put<uint16_t>(p, 1);
    put<uint32_t>(p, rate);
    put<uint32_t>(p, rate * 4u);
    put<uint16_t>(p, 4);
    put<uint16_t>(p, 32);
    putTag(p, "data");
    put<uint32_t>(p, dataBytes);
    if (std::fwrite(header, 1, sizeof header, f) != sizeof header) return false;
    return n == 0 || std::fwrite(data, sizeof(float), n, f) == n;
}

}  // namespace

bool wavRead(const std::string& path, std::vector<float>& samples, int& sampleRate, int& channels,
             std::string& err) {
    FileHandle f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        err = "kann nicht öffnen: " + path;
        return false;
    }
    unsigned char riff[12];
    if (std::fread(riff, 1, sizeof riff, f.get()) != sizeof riff ||
        std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
        err = "kein RIFF/WAVE: " + path;
        return false;
    }

    unsigned char fmt[kFmtFieldBytes] = {};
    bool haveFmt = false, haveData = false;
    std::vector<unsigned char> data;
    unsigned char header[8];
    while (std::fread(header, 1, sizeof header, f.get()) == sizeof header) {
        const uint32_t size = readLe<uint32_t>(header + 4);
        if (std::memcmp(header, "data", 4) == 0) {
            data = readData(f.get(), size);
            haveData = true;
            break;
        }
        if (std::memcmp(header, "fmt ", 4) == 0) {
            std::memset(fmt, 0, sizeof fmt);
            const uint32_t take = std::min<uint32_t>(size, kFmtFieldBytes);
            haveFmt = true;
            if (std::fread(fmt, 1, take, f.get()) != take) break;
            if (!skip(f.get(), size - take)) break;
        } else if (!skip(f.get(), size)) {
            break;
        }
        if (size % 2 != 0 && !skip(f.get(), 1)) break;
    }
    f.reset();

    if (!haveFmt || !haveData) {
        err = "fmt/data-Chunk fehlt: " + path;
        return false;
    }
    const uint16_t tag = readLe<uint16_t>(fmt);
    const uint16_t fileChannels = readLe<uint16_t>(fmt + 2);
    const uint32_t rate = readLe<uint32_t>(fmt + 4);
    const uint16_t bits = readLe<uint16_t>(fmt + 14);
    if (tag != 1 && tag != 3) {
        err = "nur PCM16/Float32 unterstützt";
        return false;
    }
    if (tag == 1 && bits != 16) {
        err = "nur 16-bit PCM unterstützt";
        return false;
    }
    if (fileChannels == 0) {
        err = "ungültige Kanalzahl 0: " + path;
        return false;
    }

    const size_t bytesPerSample = tag == 1 ? 2 : 4;
    size_t count = data.size() / bytesPerSample;
    count -= count % fileChannels;
    std::vector<float> loaded(count);
    if (tag == 1) {
        for (size_t i = 0; i < count; ++i) {
            loaded[i] = readLe<int16_t>(data.data() + 2 * i) * kPcm16Scale;
        }
    } else if (count > 0) {
        std::memcpy(loaded.data(), data.data(), count * sizeof(float));
    }
    samples = std::move(loaded);
    sampleRate = static_cast<int>(rate);
    channels = fileChannels;
    return true;
}

bool wavWriteFloat(const std::string& path, const float* data, size_t n, int sampleRate,
                   std::string& err) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // A regular target (or a missing one) is replaced by renaming a complete temporary over it.
    // Devices and links, and targets whose directory refuses the temporary, are written in place.
    const fs::file_status status = fs::symlink_status(path, ec);
    std::string temp;
    std::FILE* f = nullptr;
    if (!fs::exists(status) || fs::is_regular_file(status)) {
        temp = path + ".tmp-" + std::to_string(platform::currentProcessId());
        f = std::fopen(temp.c_str(), "wb");
        if (!f) temp.clear();
    }
    if (!f) f = std::fopen(path.c_str(), "wb");
    if (!f) {
        err = "kann nicht schreiben: " + path;
        return false;
    }
    bool ok = writeContents(f, data, n, sampleRate);
    ok = std::fclose(f) == 0 && ok;
    if (!temp.empty()) {
        if (ok) {
            std::error_code renameError;
            fs::rename(temp, path, renameError);
            ok = !renameError;
        }
        if (!ok) fs::remove(temp, ec);
    }
    if (!ok) err = "kann nicht schreiben: " + path;
    return ok;
}
