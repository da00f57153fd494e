// The server re-parses a connection's whole buffer after every received chunk. These
// benchmarks compare that against the reference of one parse of the complete buffer,
// measured in the same run, for the largest request we accept.
#include <benchmark/benchmark.h>

#include <string>

#include "core/display_profile.hpp"
#include "core/http_request.hpp"

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

} // namespace
