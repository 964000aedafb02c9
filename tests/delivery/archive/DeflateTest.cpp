#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "delivery/archive/Deflate.h"
#include "foundation/core/Exception.h"
#include "tests/support/TempDir.h"

namespace {

std::vector<std::uint8_t> RandomBytes(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> v(n);
    std::mt19937 rng(seed);
    for (auto& c : v) c = static_cast<std::uint8_t>(rng());
    return v;
}

std::vector<std::uint8_t> Text(std::size_t n) {
    std::string s;
    while (s.size() < n) s += "The quick brown fox jumps over the lazy dog " + std::to_string(s.size() % 97) + "\n";
    s.resize(n);
    return {s.begin(), s.end()};
}

std::vector<std::uint8_t> Bytes(const VelMemoryStream& s) { return {s.GetData(), s.GetData() + s.GetSize()}; }

std::vector<std::uint8_t> Deflate(const std::vector<std::uint8_t>& in) {
    VelMemoryStream out;
    const auto n = DeflateRaw(in.data(), static_cast<std::uint32_t>(in.size()), out, 9);
    EXPECT_EQ(n, out.GetSize());
    EXPECT_EQ(out.GetPosition(), out.GetSize());
    return Bytes(out);
}

std::vector<std::uint8_t> Inflate(const std::vector<std::uint8_t>& in, std::uint32_t expected = 0) {
    VelMemoryStream out;
    const auto n = InflateRaw(in.data(), static_cast<std::uint32_t>(in.size()), out, expected);
    EXPECT_EQ(n, out.GetSize());
    return Bytes(out);
}

bool HavePython() { return std::system("python3 -c 'import zlib' >/dev/null 2>&1") == 0; }

// Runs a Python filter over a file with zlib at wbits -15.
std::vector<std::uint8_t> PythonFilter(const std::vector<std::uint8_t>& in, const std::string& call) {
    Vel::Test::TempDir dir;
    const auto inPath = dir.Write("in", std::string(in.begin(), in.end()));
    const auto outPath = dir / "out";
    const std::string command = "python3 -c \"import sys, zlib; d = open(sys.argv[1], 'rb').read(); " + call +
                                "; open(sys.argv[2], 'wb').write(r)\" " + inPath.string() + " " + outPath.string();
    EXPECT_EQ(std::system(command.c_str()), 0);
    const std::string r = Vel::Test::ReadFile(outPath);
    return {r.begin(), r.end()};
}

}  // namespace

TEST(Deflate, EmptyInputIsTheEmptyFinalBlock) {
    const auto d = Deflate({});
    EXPECT_EQ(d, (std::vector<std::uint8_t>{0x03, 0x00}));
    EXPECT_TRUE(Inflate(d).empty());
}

TEST(Deflate, IncompressibleBlockOfExactly4096BytesRoundTrips) {
    const auto in = RandomBytes(4091, 1);
    const auto d = Deflate(in);
    EXPECT_EQ(d.size(), 4096u);
    EXPECT_EQ(Inflate(d), in);
    EXPECT_EQ(Inflate(d, 4091), in);
}

TEST(Deflate, WritesAtThePositionAndCutsTheOvershootBack) {
    const auto in = Text(100000);
    VelMemoryStream out;
    out.Write("head", 4);
    const auto n = DeflateRaw(in.data(), static_cast<std::uint32_t>(in.size()), out, 9);
    EXPECT_EQ(out.GetSize(), 4 + n);
    EXPECT_EQ(out.GetPosition(), 4 + n);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.GetData()), 4), "head");
    VelMemoryStream back;
    back.Write("x", 1);
    EXPECT_EQ(InflateRaw(out.GetData() + 4, n, back), in.size());
    EXPECT_EQ(back.GetSize(), 1 + in.size());
    EXPECT_EQ(std::vector<std::uint8_t>(back.GetData() + 1, back.GetData() + back.GetSize()), in);
}

TEST(Deflate, BadInputThrows) {
    const auto in = Text(50000);
    const auto d = Deflate(in);
    struct Case {
        const char* what;
        std::vector<std::uint8_t> data;
        std::uint32_t expected;
        std::uint32_t limit;
    };
    std::vector<std::uint8_t> zlibHeaded = {0x78, 0x9C};
    zlibHeaded.insert(zlibHeaded.end(), d.begin(), d.end());
    const Case cases[] = {
        {"truncated", {d.begin(), d.begin() + static_cast<long>(d.size() / 2)}, 0, kInflateDefaultLimit},
        {"last byte missing", {d.begin(), d.end() - 1}, 0, kInflateDefaultLimit},
        {"zlib header", zlibHeaded, 0, kInflateDefaultLimit},
        {"longer than expected", d, 49999, kInflateDefaultLimit},
        {"longer than the limit", d, 0, 1000},
        {"garbage", RandomBytes(1000, 9), 0, kInflateDefaultLimit},
    };
    for (const auto& c : cases) {
        VelMemoryStream out;
        EXPECT_THROW(InflateRaw(c.data.data(), static_cast<std::uint32_t>(c.data.size()), out, c.expected, c.limit),
                     Vel::Exception)
            << c.what;
    }
    // A borrowed stream cannot grow.
    std::uint8_t small[4];
    VelMemoryStream borrowed(small, sizeof small);
    borrowed.Rewind();
    EXPECT_THROW(DeflateRaw(in.data(), static_cast<std::uint32_t>(in.size()), borrowed, 9), Vel::Exception);
}

TEST(Deflate, ExchangesWithPythonZlib) {
    if (!HavePython()) GTEST_SKIP() << "python3 with zlib is not installed";
    auto in = Text(70000);
    const auto noise = RandomBytes(30000, 4);
    in.insert(in.end(), noise.begin(), noise.end());
    // Ours inflated by Python, and Python's deflate inflated here.
    EXPECT_EQ(PythonFilter(Deflate(in), "o = zlib.decompressobj(-15); r = o.decompress(d) + o.flush()"), in);
    const auto theirs = PythonFilter(in, "c = zlib.compressobj(6, zlib.DEFLATED, -15); r = c.compress(d) + c.flush()");
    EXPECT_EQ(Inflate(theirs), in);
}
