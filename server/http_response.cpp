#include "server/http_response.hpp"

#include <nlohmann/json.hpp>

namespace tavelin {

HTTPResponse HTTPResponse::json(int status, const nlohmann::json& object) {
    HTTPResponse response{status, "application/json; charset=utf-8", {}};
    try {
        response.body = object.dump();
    } catch (const nlohmann::json::exception&) {
        response.body.clear();
    }
    return response;
}

HTTPResponse HTTPResponse::error(int status, std::string_view message) {
    return json(status, nlohmann::json{{"error", std::string(message)}});
}

const char* HTTPResponse::reasonPhrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 409: return "Conflict";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

std::string HTTPResponse::serialize() const {
    std::string out;
    out.reserve(512 + body.size());
    out += "HTTP/1.1 " + std::to_string(status) + ' ' + reasonPhrase(status) + "\r\n";
    out += "Content-Type: " + type + "\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    out += "Connection: close\r\n"
           "Cache-Control: no-store\r\n"
           "X-Content-Type-Options: nosniff\r\n"
           "Referrer-Policy: no-referrer\r\n"
           "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self'; "
           "media-src 'self' blob:; connect-src 'self'; object-src 'none'; base-uri 'none'; "
           "frame-ancestors 'none'\r\n"
           "\r\n";
    out += body;
    return out;
}

} // namespace tavelin
