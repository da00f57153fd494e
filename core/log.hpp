#pragma once

#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

// The program's log: one line per event on stderr ("Tavelin: …", "Tavelin error: …"),
// which journald keeps when Tavelin runs as a service. Callable from any thread; a line
// is written whole. Tests that provoke errors on purpose install a sink of their own.
namespace tavelin::log {

enum class Level { info, error, plain };

// Receives each line without its prefix or line break.
using Sink = std::function<void(Level, std::string_view text)>;

void write(Level level, std::string_view text);
// Replaces the sink (an empty one restores stderr) and returns the previous one.
Sink setSink(Sink sink);

namespace impl {
template <typename... Parts>
std::string join(const Parts&... parts) {
    if constexpr (sizeof...(Parts) == 1 && (std::is_convertible_v<Parts, std::string_view> && ...)) {
        return std::string(std::string_view(parts...));
    } else {
        std::ostringstream out;
        (out << ... << parts);
        return std::move(out).str();
    }
}
} // namespace impl

// "Tavelin: " followed by the parts, streamed as with <<.
template <typename... Parts>
void info(const Parts&... parts) { write(Level::info, impl::join(parts...)); }
// "Tavelin error: " followed by the parts.
template <typename... Parts>
void error(const Parts&... parts) { write(Level::error, impl::join(parts...)); }
// A sentence that stands on its own (command-line messages), without a prefix.
template <typename... Parts>
void plain(const Parts&... parts) { write(Level::plain, impl::join(parts...)); }

// Silences the log for the lifetime of the object (a test that provokes errors).
class ScopedSink {
public:
    explicit ScopedSink(Sink sink = [](Level, std::string_view) {}) : previous_(setSink(std::move(sink))) {}
    ~ScopedSink() { setSink(std::move(previous_)); }
    ScopedSink(const ScopedSink&) = delete;
    ScopedSink& operator=(const ScopedSink&) = delete;

private:
    Sink previous_;
};

} // namespace tavelin::log
