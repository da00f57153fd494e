#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace tavelin {

// One answer of the receiver server. The head written before the body is fixed apart
// from the status line, the type and the length.
struct HTTPResponse {
    int status = 200;
    std::string type; // the Content-Type value, written unchanged
    std::string body;

    // The compact serialization of object; the body stays empty if it cannot be
    // serialized (a string that is not UTF-8, for instance).
    static HTTPResponse json(int status, const nlohmann::json& object);
    // {"error": message}, the shape of every refusal the browser shows.
    static HTTPResponse error(int status, std::string_view message);
    static const char* reasonPhrase(int status);

    // The head, CR LF terminated, followed by the body.
    std::string serialize() const;

    friend bool operator==(const HTTPResponse&, const HTTPResponse&) = default;
};

} // namespace tavelin
