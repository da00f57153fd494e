#include "core/log.hpp"

#include <cstdio>
#include <mutex>

namespace tavelin::log {
namespace {

std::mutex& guard() {
    static std::mutex mutex;
    return mutex;
}

Sink& currentSink() {
    static Sink sink;
    return sink;
}

std::string_view prefix(Level level) {
    switch (level) {
    case Level::info: return "Tavelin: ";
    case Level::error: return "Tavelin error: ";
    case Level::plain: break;
    }
    return {};
}

} // namespace

void write(Level level, std::string_view text) {
    const std::lock_guard lock(guard());
    if (auto& sink = currentSink()) {
        sink(level, text);
        return;
    }
    std::string line(prefix(level));
    line.append(text).push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

Sink setSink(Sink sink) {
    const std::lock_guard lock(guard());
    auto previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

} // namespace tavelin::log
