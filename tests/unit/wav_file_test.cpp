#include "protocol/wav_file.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string le16(uint16_t v) {
    return std::string(reinterpret_cast<const char*>(&v), 2);
}
std::string le32(uint32_t v) {
    return std::string(reinterpret_cast<const char*>(&v), 4);
}

// A chunk with its declared size and a pad byte after an odd body.
std::string chunk(const char* id, const std::string& body) {
    return std::string(id, 4) + le32(static_cast<uint32_t>(body.size())) + body +
           (body.size() % 2 != 0 ? std::string(1, '\0') : "");
}

std::string fmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    const uint16_t frameBytes = static_cast<uint16_t>(channels * bits / 8);
    return le16(tag) + le16(channels) + le32(rate) + le32(rate * frameBytes) + le16(frameBytes) +
           le16(bits);
}

std::string riff(const std::string& chunks) {
    return "RIFF" + le32(static_cast<uint32_t>(4 + chunks.size())) + "WAVE" + chunks;
}

std::string pcm16(const std::vector<int16_t>& values) {
    std::string s;
    for (int16_t v : values) s += le16(static_cast<uint16_t>(v));
    return s;
}

std::string float32(const std::vector<float>& values) {
    return std::string(reinterpret_cast<const char*>(values.data()), values.size() * 4);
}

class WavFile : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("wav_file_test_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string file(const std::string& name, const std::string& contents) {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }
    static std::string contents(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    // Reads with sentinels in the outputs that a failure must leave alone.
    bool read(const std::string& path) {
        samples = {42.0f};
        rate = -7;
        channels = -7;
        err.clear();
        return wavRead(path, samples, rate, channels, err);
    }
    void expectRefused(const std::string& path, const std::string& message) {
        EXPECT_FALSE(read(path));
        EXPECT_EQ(err, message);
        EXPECT_EQ(rate, -7);
        EXPECT_EQ(channels, -7);
        EXPECT_EQ(samples, std::vector<float>{42.0f});
    }

    fs::path dir;
    std::vector<float> samples;
    int rate = 0, channels = 0;
    std::string err;
};

TEST_F(WavFile, Pcm16StereoOf1001BytesGives500Samples) {
    std::vector<int16_t> values(500);
    std::vector<float> expected(500);
    for (int i = 0; i < 500; ++i) {
        values[i] = static_cast<int16_t>(64 * i - 16000);
        expected[i] = (64 * i - 16000) / 32768.0f;
    }
    const std::string path = file("stereo.wav", riff(chunk("fmt ", fmtBody(1, 2, 22050, 16)) +
                                                     chunk("data", pcm16(values) + "\x7f")));
    ASSERT_TRUE(read(path)) << err;
    EXPECT_EQ(rate, 22050);
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(samples, expected);
}

TEST_F(WavFile, Pcm16ScalesBy1Over32768AndKeepsWholeFrames) {
    const std::string mono =
        file("mono.wav", riff(chunk("fmt ", fmtBody(1, 1, 16000, 16)) +
                              chunk("data", pcm16({-32768, 16384, 32767, -1, 0}))));
    ASSERT_TRUE(read(mono)) << err;
    EXPECT_EQ(samples,
              (std::vector<float>{-1.0f, 0.5f, 0.999969482421875f, -3.0517578125e-05f, 0}));

    // Eight samples in three channels: the two whole frames remain.
    const std::string three =
        file("three.wav", riff(chunk("fmt ", fmtBody(1, 3, 8000, 16)) +
                               chunk("data", pcm16({1, 2, 3, 4, 5, 6, 7, 8}))));
    ASSERT_TRUE(read(three)) << err;
    EXPECT_EQ(channels, 3);
    EXPECT_EQ(samples.size(), 6u);
    EXPECT_EQ(samples[5], 6.0f / 32768.0f);
}

TEST_F(WavFile, FloatIsCopiedUnchangedPastOtherAndOddChunks) {
    const std::vector<float> values = {0.1f, -2.5f, 1e-40f, -0.0f, 3.0f};
    // An odd LIST chunk and an odd, oversized "fmt " chunk, both followed by pad bytes; a second
    // "fmt " chunk replaces the first.
    std::string bigFmt = fmtBody(3, 1, 8000, 32) + std::string(27, 'x');
    const std::string path =
        file("float.wav", riff(chunk("fmt ", fmtBody(1, 2, 11025, 16)) + chunk("LIST", "abc") +
                               chunk("fmt ", bigFmt) + chunk("junk", std::string(7, 'j')) +
                               chunk("data", float32(values)) + chunk("LIST", "after")));
    ASSERT_TRUE(read(path)) << err;
    EXPECT_EQ(rate, 8000);
    EXPECT_EQ(channels, 1);
    ASSERT_EQ(samples.size(), values.size());
    EXPECT_EQ(std::memcmp(samples.data(), values.data(), values.size() * 4), 0);

    // Three floats in stereo: one whole frame.
    const std::string stereo = file("stereo.wav", riff(chunk("fmt ", fmtBody(3, 2, 48000, 32)) +
                                                       chunk("data", float32({1, 2, 3}))));
    ASSERT_TRUE(read(stereo)) << err;
    EXPECT_EQ(samples, (std::vector<float>{1, 2}));
}

TEST_F(WavFile, EmptyDataChunkReadsAsNoSamples) {
    const std::string path =
        file("empty.wav", riff(chunk("fmt ", fmtBody(3, 1, 44100, 32)) + chunk("data", "")));
    ASSERT_TRUE(read(path)) << err;
    EXPECT_TRUE(samples.empty());
    EXPECT_EQ(rate, 44100);
}

TEST_F(WavFile, ShortDataChunkIsCompletedWithZeros) {
    // Declares 16 bytes; 5 bytes follow, the last of them half a sample.
    const std::string path =
        file("short.wav", riff(chunk("fmt ", fmtBody(1, 1, 16000, 16))) + "data" + le32(16) +
                              pcm16({1000, -1000}) + "\x01");
    ASSERT_TRUE(read(path)) << err;
    EXPECT_EQ(samples,
              (std::vector<float>{1000 / 32768.0f, -1000 / 32768.0f, 1 / 32768.0f, 0, 0, 0, 0, 0}));
}

TEST_F(WavFile, ImplausiblyShortDataChunkLoadsOnlyWhatIsThere) {
    const std::string head = riff(chunk("fmt ", fmtBody(1, 1, 16000, 16))) + "data";
    const std::string present = pcm16({1, 2, 3, 4});
    constexpr uint32_t kLimit = 16u << 20;

    // Exactly 16 MiB missing is still an ordinary shortfall.
    ASSERT_TRUE(read(file("limit.wav", head + le32(8 + kLimit) + present))) << err;
    EXPECT_EQ(samples.size(), (8 + kLimit) / 2);
    EXPECT_EQ(samples[3], 4 / 32768.0f);
    EXPECT_EQ(samples.back(), 0.0f);

    ASSERT_TRUE(read(file("beyond.wav", head + le32(8 + kLimit + 2) + present))) << err;
    EXPECT_EQ(samples.size(), 4u);

    // A 60-byte file declaring 4 GiB.
    const std::string huge = head + le32(0xFFFFFFFFu) + present + present;
    ASSERT_EQ(huge.size(), 60u);
    ASSERT_TRUE(read(file("huge.wav", huge))) << err;
    EXPECT_EQ(samples.size(), 8u);
    EXPECT_EQ(samples[7], 4 / 32768.0f);
}

TEST_F(WavFile, RefusesMissingOrMisplacedChunks) {
    const std::string data = chunk("data", pcm16({1, 2}));
    const std::string fmt = chunk("fmt ", fmtBody(1, 1, 16000, 16));
    for (const std::string& chunks :
         {data + fmt, fmt, fmt + chunk("LIST", "abc"), std::string(), data}) {
        const std::string path = file("chunks.wav", riff(chunks));
        expectRefused(path, "fmt/data-Chunk fehlt: " + path);
    }
    // A chunk claiming more than the file holds hides everything after it.
    const std::string path = file("skip.wav", riff(fmt + "LIST" + le32(1000) + "abcd") + data);
    expectRefused(path, "fmt/data-Chunk fehlt: " + path);
}

TEST_F(WavFile, RefusesUnsupportedFormats) {
    const std::string data = chunk("data", std::string(12, '\0'));
    expectRefused(file("pcm24.wav", riff(chunk("fmt ", fmtBody(1, 1, 48000, 24)) + data)),
                  "nur 16-bit PCM unterstützt");
    expectRefused(file("pcm8.wav", riff(chunk("fmt ", fmtBody(1, 1, 48000, 8)) + data)),
                  "nur 16-bit PCM unterstützt");
    expectRefused(file("ext.wav", riff(chunk("fmt ", fmtBody(0xFFFE, 2, 48000, 16)) + data)),
                  "nur PCM16/Float32 unterstützt");
    expectRefused(file("adpcm.wav", riff(chunk("fmt ", fmtBody(2, 1, 48000, 4)) + data)),
                  "nur PCM16/Float32 unterstützt");
    // A later "fmt " chunk shorter than 16 bytes replaces all fields, leaving the bits 0.
    expectRefused(file("tiny.wav", riff(chunk("fmt ", fmtBody(1, 1, 48000, 16)) +
                                        chunk("fmt ", le16(1) + le16(1)) + data)),
                  "nur 16-bit PCM unterstützt");
    const std::string zero = file("zero.wav", riff(chunk("fmt ", fmtBody(3, 0, 48000, 32)) + data));
    expectRefused(zero, "ungültige Kanalzahl 0: " + zero);
}

TEST_F(WavFile, RefusesUnopenableAndForeignFiles) {
    const std::string missing = (dir / "missing.wav").string();
    expectRefused(missing, "kann nicht öffnen: " + missing);
    for (const std::string& head :
         {std::string("RIFF\x04\0\0\0WAV", 11), std::string("RIFX\x04\0\0\0WAVE", 12),
          std::string("RIFF\x04\0\0\0AVI ", 12), std::string()}) {
        const std::string path = file("foreign.wav", head + chunk("data", "ab"));
        expectRefused(path, "kein RIFF/WAVE: " + path);
    }
}

TEST_F(WavFile, WritesTheFloatHeader) {
    const std::string empty = (dir / "empty.wav").string();
    ASSERT_TRUE(wavWriteFloat(empty, nullptr, 0, 16000, err)) << err;
    EXPECT_EQ(contents(empty), riff(chunk("fmt ", fmtBody(3, 1, 16000, 32)) + chunk("data", "")));
    EXPECT_EQ(contents(empty).substr(4, 4), le32(36));
    EXPECT_EQ(contents(empty).substr(40, 4), le32(0));

    const std::vector<float> values = {0.5f, -1.0f, 2.0f};
    const std::string three = (dir / "three.wav").string();
    ASSERT_TRUE(wavWriteFloat(three, values.data(), values.size(), 44100, err)) << err;
    const std::string expected = std::string("RIFF") + le32(48) + "WAVEfmt " + le32(16) + le16(3) +
                                 le16(1) + le32(44100) + le32(176400) + le16(4) + le16(32) +
                                 "data" + le32(12) + float32(values);
    EXPECT_EQ(contents(three), expected);
    EXPECT_TRUE(err.empty());
}

TEST_F(WavFile, RoundTripGivesTheSameFloats) {
    std::vector<float> values(10001);
    for (size_t i = 0; i < values.size(); ++i) values[i] = std::sin(0.01f * i) * (i % 7) - 1e-39f;
    const std::string path = (dir / "round.wav").string();
    // Replacing an older, longer file leaves only the new one, without temporaries.
    file("round.wav", std::string(100000, 'x'));
    ASSERT_TRUE(wavWriteFloat(path, values.data(), values.size(), 22050, err)) << err;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    ASSERT_TRUE(read(path)) << err;
    EXPECT_EQ(rate, 22050);
    EXPECT_EQ(channels, 1);
    ASSERT_EQ(samples.size(), values.size());
    EXPECT_EQ(std::memcmp(samples.data(), values.data(), values.size() * 4), 0);
}

TEST_F(WavFile, DevicesAreWrittenInPlaceAndWriteErrorsReported) {
    const std::vector<float> big(1 << 16, 0.25f);
    // Links inside the test directory first: run as root, a writer that wrongly renamed over its
    // target would replace only the link there, and the assertions stop it before it reaches
    // the device nodes themselves.
    const fs::path null = dir / "null", full = dir / "full";
    fs::create_symlink("/dev/null", null);
    fs::create_symlink("/dev/full", full);
    ASSERT_TRUE(wavWriteFloat(null.string(), big.data(), big.size(), 48000, err)) << err;
    ASSERT_TRUE(fs::is_symlink(null));
    ASSERT_FALSE(wavWriteFloat(full.string(), big.data(), 4, 48000, err));
    ASSERT_TRUE(fs::is_symlink(full));

    // A small file fails only when fclose flushes; a large one already in fwrite.
    for (size_t n : {size_t{4}, big.size()}) {
        err.clear();
        EXPECT_FALSE(wavWriteFloat("/dev/full", big.data(), n, 48000, err));
        EXPECT_EQ(err, "kann nicht schreiben: /dev/full");
    }
    EXPECT_TRUE(fs::is_character_file("/dev/full"));

    const std::string nowhere = (dir / "no-such-dir" / "out.wav").string();
    err.clear();
    EXPECT_FALSE(wavWriteFloat(nowhere, big.data(), 4, 48000, err));
    EXPECT_EQ(err, "kann nicht schreiben: " + nowhere);
}

TEST_F(WavFile, TargetsThatCannotBeReplacedAreWrittenInPlace) {
    const std::vector<float> values = {0.5f, -0.5f};
    // A link to a regular file stays a link.
    const std::string target = file("target.wav", "old");
    const fs::path link = dir / "link.wav";
    fs::create_symlink(target, link);
    ASSERT_TRUE(wavWriteFloat(link.string(), values.data(), values.size(), 8000, err)) << err;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::file_size(target), 52u);

    // A name so long that the temporary's name would exceed the file system's limit.
    const std::string longName = (dir / (std::string(250, 'n') + ".wav")).string();
    ASSERT_TRUE(wavWriteFloat(longName, values.data(), values.size(), 8000, err)) << err;
    ASSERT_TRUE(read(longName)) << err;
    EXPECT_EQ(samples, values);
}

TEST_F(WavFile, FullDiskLeavesTheOldFileAndNoTemporary) {
    const std::string path = file("out.wav", "old contents");
    const std::vector<float> big(10000, 0.25f);
    // The file size limit stands in for a full disk; a child keeps it away from this process.
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::string childErr;
        const bool written = wavWriteFloat(path, big.data(), big.size(), 48000, childErr);
        ::_exit(!written && childErr == "kann nicht schreiben: " + path ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(contents(path), "old contents");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

}  // namespace
