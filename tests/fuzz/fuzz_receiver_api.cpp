#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include "core/stream_error.hpp"
#include "core/uuid.hpp"
#include "fuzz_check.hpp"
#include "server/receiver_routes.hpp"
#include "video_choice_check.hpp"

// The receiver API as the routes decode it. One input is a series of POST requests split
// by NUL bytes, each written as its path, a line with its Authorization header (empty:
// none), then its body, so that one run can pair, connect and disconnect in turn. Behind
// the routes is a model without network or media that answers every offer it is handed.
namespace {

using namespace tavelin;
using nlohmann::json;

const std::string token = "fuzz-token";
const std::string pairingCode = "0427";

class FakeState final : public ReceiverState {
public:
    std::set<std::string> cancelled;
    int offers = 0;
    PairingGate gate;

    bool isSharing() override { return true; }
    std::string accessToken() override { return token; }
    PairingGate::Result checkPairingCode(const std::string& code) override { return gate.check(code, pairingCode, 1000); }
    Task<std::optional<json>> streamStatistics() override { co_return json{{"framesSent", offers}}; }
    Task<std::optional<json>> answerOffer(std::string offer, std::string sessionID) override {
        // Only a complete offer of a connection that was not cancelled reaches the stream.
        FUZZ_REQUIRE(offer.starts_with("v=0") && UUID::parse(sessionID) && !cancelled.contains(sessionID));
        ++offers;
        fuzz::checkVideoChoice(offer);
        if (!chooseVideo(offer)) throw StreamError("no video codec in common");
        co_return json{{"type", "answer"}, {"sdp", "v=0\r\n"}, {"sessionID", sessionID}};
    }
    void disconnectReceiver(const std::string&) override {}
    std::set<std::string>& cancelledSessions() override { return cancelled; }
    ReceiverSettings receiverSettings() override { return {}; }
    bool mouseEnabled() override { return true; }
    std::filesystem::path webRoot() override { return "/nonexistent"; }
};

// The text up to the next `end`, taken off the front of `rest`.
std::string_view take(std::string_view& rest, char end) {
    const auto part = rest.substr(0, std::min(rest.find(end), rest.size()));
    rest.remove_prefix(std::min(part.size() + 1, rest.size()));
    return part;
}

HTTPRequest requestFrom(std::string_view record) {
    HTTPRequest request{"POST", std::string(take(record, '\n')), {{"host", "127.0.0.1"}}, ""};
    if (const auto authorization = take(record, '\n'); !authorization.empty()) request.headers["authorization"] = authorization;
    request.body = record;
    return request;
}

HTTPResponse answer(FakeState& state, const HTTPRequest& request) {
    asio::io_context engine;
    std::optional<HTTPResponse> response;
    // A route answers every request; an exception escaping to the server ends the run
    // through std::terminate, which names it.
    asio::co_spawn(engine, handleReceiverRequest(state, request), [&](std::exception_ptr failure, HTTPResponse sent) {
        if (failure) std::rethrow_exception(failure);
        response = std::move(sent);
    });
    engine.run();
    FUZZ_REQUIRE(response);
    return std::move(*response);
}

void check(FakeState& state, const HTTPRequest& request, const HTTPResponse& response, int offersBefore) {
    FUZZ_REQUIRE(response.type == "application/json; charset=utf-8");
    const auto sent = json::parse(response.body, nullptr, false);
    FUZZ_REQUIRE(sent.is_object());
    if (response.status != 200) FUZZ_REQUIRE(sent.contains("error") && sent["error"].is_string());

    // An answer only ever comes from the stream; which request gets which status is the
    // route tests' table.
    if (request.path == "/api/connect" && response.status == 200) {
        FUZZ_REQUIRE(state.offers == offersBefore + 1 && sent.value("type", "") == "answer");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(bytes), size);
    FakeState state;
    while (!input.empty()) {
        const HTTPRequest request = requestFrom(take(input, '\0'));
        const int offersBefore = state.offers;
        check(state, request, answer(state, request), offersBefore);
    }
    return 0;
}
