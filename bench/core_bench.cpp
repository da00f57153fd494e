// The server re-parses a connection's whole buffer after every received chunk. These
// benchmarks compare that against the reference of one parse of the complete buffer,
// measured in the same run, for the largest request we accept.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include <libyuv.h>

#include "core/display_profile.hpp"
#include "core/http_request.hpp"
#include "core/yuv_conversion.hpp"

namespace {

using tavelin::HTTPRequest;

std::string largestRequest() {
    const std::string head = "POST /api/connect HTTP/1.1\r\nHost: 192.168.1.20:8420\r\nContent-Length: ";
    const std::size_t body = HTTPRequest::maximumSize - head.size() - 7 - 4;
    return head + std::to_string(body) + "\r\n\r\n" + std::string(body, 'v');
}

// Reference: the complete request parsed once.
void ParseWholeRequest(benchmark::State& state) {
    const auto request = largestRequest();
    for (auto _ : state) benchmark::DoNotOptimize(HTTPRequest::parse(request));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * request.size()));
}
BENCHMARK(ParseWholeRequest);

// What the server does: one parse per received chunk of the given size.
void ParseAfterEveryChunk(benchmark::State& state) {
    const auto request = largestRequest();
    const auto chunk = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        for (std::size_t received = chunk; received < request.size() + chunk; received += chunk) {
            benchmark::DoNotOptimize(HTTPRequest::parse(std::string_view(request).substr(0, received)));
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * request.size()));
}
BENCHMARK(ParseAfterEveryChunk)->Arg(1 << 16)->Arg(1 << 14)->Arg(1 << 12);

void ValidateLongName(benchmark::State& state) {
    std::string name = "  ";
    for (int i = 0; i < 80; ++i) name += "e\xCC\x81";
    for (auto _ : state) benchmark::DoNotOptimize(tavelin::DisplayProfile::validateName(name));
}
BENCHMARK(ValidateLongName);

// The encoder's colour conversion at 1920×1080 against the reference of libyuv's
// BT.601 conversion (hand-written SIMD), in the same run.
struct ConversionPicture {
    static constexpr int width = 1920, height = 1080;
    std::vector<std::uint8_t> bgrx = std::vector<std::uint8_t>(std::size_t{width} * height * 4);
    std::vector<std::uint8_t> y = std::vector<std::uint8_t>(std::size_t{width} * height);
    std::vector<std::uint8_t> u = std::vector<std::uint8_t>(std::size_t{width} * height / 4);
    std::vector<std::uint8_t> v = std::vector<std::uint8_t>(std::size_t{width} * height / 4);
    ConversionPicture() {
        for (std::size_t index = 0; index < bgrx.size(); ++index) bgrx[index] = static_cast<std::uint8_t>(index * 7);
    }
};

void ConvertLibyuvBT601(benchmark::State& state) {
    ConversionPicture p;
    for (auto _ : state) {
        libyuv::ARGBToI420(p.bgrx.data(), p.width * 4, p.y.data(), p.width, p.u.data(), p.width / 2, p.v.data(),
                           p.width / 2, p.width, p.height);
        benchmark::DoNotOptimize(p.y.data());
    }
}
BENCHMARK(ConvertLibyuvBT601)->Unit(benchmark::kMillisecond);

void ConvertOursBT709(benchmark::State& state) {
    ConversionPicture p;
    for (auto _ : state) {
        tavelin::convertToI420(p.bgrx.data(), p.width * 4, p.width, p.height,
                               {p.y.data(), p.width, p.u.data(), p.width / 2, p.v.data(), p.width / 2},
                               tavelin::YUVMatrix::bt709);
        benchmark::DoNotOptimize(p.y.data());
    }
}
BENCHMARK(ConvertOursBT709)->Unit(benchmark::kMillisecond);

} // namespace
