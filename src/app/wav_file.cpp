#include "app/wav_file.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "platform/termination.h"

// Samples and header fields are copied byte for byte.
static_assert(std::endian::native == std::endian::little, "WAV data is little-endian");

namespace {

constexpr size_t kFmtFieldBytes = 40;
// A data chunk is read in pieces so that its declared size alone allocates nothing.
constexpr size_t kReadPiece = size_t{1} << 20;
// Rates audio files are written at; anything else is a damaged header that would make the
// resampler allocate without bound.
constexpr uint32_t kMinRate = 4000;
constexpr uint32_t kMaxRate = 768000;
constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagFloat = 3;
constexpr uint16_t kTagExtensible = 0xFFFE;
// The subformat GUID of an extensible file: the format tag in 32 bits, then these bytes.
constexpr unsigned char kSubformatTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                              0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr char kReadable[] = " (lesbar: PCM 8/16/24/32 bit, Float 32/64 bit)";

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

// A pad byte is zero; anything else already begins the next chunk, from a writer that left the
// pad out.
void skipPad(std::FILE* f) {
    const int c = std::fgetc(f);
    if (c != 0 && c != EOF) std::ungetc(c, f);
}

// How the samples of a frame are stored: `slot` bytes each, from block-align, of which a PCM
// value fills the high bits.
struct Layout {
    bool isFloat = false;
    uint16_t channels = 0;
    uint16_t blockAlign = 0;
    size_t slot = 0;
};

struct FormatName {
    uint16_t tag;
    const char* name;
};
constexpr FormatName kFormatNames[] = {{2, "ADPCM"},        {6, "A-law"},       {7, "µ-law"},
                                       {0x11, "IMA-ADPCM"}, {0x31, "GSM 6.10"}, {0x50, "MPEG"},
                                       {0x55, "MP3"}};

std::string formatName(uint16_t tag) {
    for (const FormatName& f : kFormatNames) {
        if (f.tag == tag) return f.name;
    }
    char name[24];
    std::snprintf(name, sizeof name, "Formattag 0x%04X", tag);
    return name;
}

bool readLayout(const unsigned char* fmt, const std::string& path, Layout& layout,
                std::string& err) {
    uint16_t tag = readLe<uint16_t>(fmt);
    const uint16_t channels = readLe<uint16_t>(fmt + 2);
    const uint32_t rate = readLe<uint32_t>(fmt + 4);
    const uint16_t blockAlign = readLe<uint16_t>(fmt + 12);
    const uint16_t bits = readLe<uint16_t>(fmt + 14);
    std::string refused;
    if (tag == kTagExtensible) {
        const bool known = readLe<uint16_t>(fmt + 26) == 0 &&
                           std::memcmp(fmt + 28, kSubformatTail, sizeof kSubformatTail) == 0;
        tag = known ? readLe<uint16_t>(fmt + 24) : 0;
        if (!known) refused = "Extensible mit fremdem Subformat";
    }
    const bool isFloat = tag == kTagFloat;
    const size_t width = (bits + 7u) / 8u;
    if (refused.empty() && tag != kTagPcm && !isFloat) refused = formatName(tag);
    if (refused.empty() && !(isFloat ? bits == 32 || bits == 64 : bits >= 1 && bits <= 32)) {
        refused = (isFloat ? "Float " : "PCM ") + std::to_string(bits) + " bit";
    }
    if (!refused.empty()) {
        err = "WAV-Format nicht unterstützt: " + refused + kReadable;
        return false;
    }
    if (channels == 0) {
        err = "ungültige Kanalzahl 0: " + path;
        return false;
    }
    const size_t slot = blockAlign / channels;
    if (slot < width || slot > (isFloat ? width : 4)) {
        err = "ungültige Blockgröße " + std::to_string(blockAlign) + " bei " +
              std::to_string(channels) + " Kanälen à " + std::to_string(bits) + " bit: " + path;
        return false;
    }
    if (rate < kMinRate || rate > kMaxRate) {
        err = "Samplerate " + std::to_string(rate) + " Hz nicht unterstützt (" +
              std::to_string(kMinRate) + " bis " + std::to_string(kMaxRate) + " Hz): " + path;
        return false;
    }
    layout = {isFloat, channels, blockAlign, slot};
    return true;
}

float sample(const unsigned char* p, const Layout& layout) {
    constexpr float kInt32Scale = 1.0f / 2147483648.0f;
    if (layout.isFloat) {
        return layout.slot == 4 ? readLe<float>(p) : static_cast<float>(readLe<double>(p));
    }
    switch (layout.slot) {
        case 1:
            return static_cast<float>(p[0] - 128) * (1.0f / 128.0f);
        case 2:
            return readLe<int16_t>(p) * 3.0517578125e-05f;  // 1 / 32768
        case 3: {
            const uint32_t top = uint32_t{p[0]} << 8 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 24;
            return static_cast<float>(static_cast<int32_t>(top)) * kInt32Scale;
        }
        default:
            return static_cast<float>(readLe<int32_t>(p)) * kInt32Scale;
    }
}

// The samples of a data chunk of `size` bytes, as many frames as the file really holds. A chunk
// cut short is completed with zeros when at most as many bytes are missing as are present.
std::vector<float> readSamples(std::FILE* f, uint32_t size, const Layout& layout) {
    const size_t pieceBytes =
        std::max<size_t>(kReadPiece / layout.blockAlign, 1) * layout.blockAlign;
    // Not cleared: only what a file holds is touched.
    const auto piece = std::make_unique_for_overwrite<unsigned char[]>(pieceBytes);
    std::vector<float> samples;
    uint64_t present = 0;
    while (present < size) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(pieceBytes, size - present));
        const size_t got = std::fread(piece.get(), 1, want, f);
        present += got;
        const bool cut = got < want;
        const bool fill = cut && size - present <= present;
        if (fill) std::memset(piece.get() + got, 0, want - got);
        const size_t frames = (fill ? want : got) / layout.blockAlign;
        for (size_t i = 0; i < frames; ++i) {
            const unsigned char* frame = piece.get() + i * layout.blockAlign;
            for (size_t c = 0; c < layout.channels; ++c) {
                samples.push_back(sample(frame + c * layout.slot, layout));
            }
        }
        if (cut) {
            if (fill) samples.resize(size / layout.blockAlign * layout.channels, 0.0f);
            break;
        }
    }
    return samples;
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
    bool haveFmt = false;
    unsigned char header[8];
    while (std::fread(header, 1, sizeof header, f.get()) == sizeof header) {
        const uint32_t size = readLe<uint32_t>(header + 4);
        if (std::memcmp(header, "data", 4) == 0) {
            if (!haveFmt) break;
            Layout layout;
            if (!readLayout(fmt, path, layout, err)) return false;
            samples = readSamples(f.get(), size, layout);
            sampleRate = static_cast<int>(readLe<uint32_t>(fmt + 4));
            channels = layout.channels;
            return true;
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
        if (size % 2 != 0) skipPad(f.get());
    }
    err = "fmt/data-Chunk fehlt: " + path;
    return false;
}

bool wavWriteFloat(const std::string& path, const float* data, size_t n, int sampleRate,
                   std::string& err) {
    // A regular target (or a missing one) is replaced by renaming a complete temporary over it.
    // Devices and links, and targets whose directory refuses the temporary, are written in place.
    std::string temp;
    std::FILE* f = nullptr;
    if (platform::isReplaceable(path)) {
        temp = path + ".tmp-" + std::to_string(platform::currentProcessId());
        platform::removeOnTermination(temp);
        f = std::fopen(temp.c_str(), "wb");
        if (!f) {
            temp.clear();
            platform::removeOnTermination("");
        }
    }
    if (!f) f = std::fopen(path.c_str(), "wb");
    if (!f) {
        err = "kann nicht schreiben: " + path;
        return false;
    }
    bool ok = writeContents(f, data, n, sampleRate);
    ok = std::fclose(f) == 0 && ok;
    if (!temp.empty()) {
        ok = ok && platform::replaceFile(temp, path);
        if (!ok) std::remove(temp.c_str());
        platform::removeOnTermination("");
    }
    if (!ok) err = "kann nicht schreiben: " + path;
    return ok;
}
