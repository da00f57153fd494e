#include "program/control.hpp"

#include <array>
#include <cstdio>
#include <utility>

#include "app/model.hpp"
#include "program/single_instance.hpp"

namespace tavelin {

namespace {

// The receiver's state as the session's status line tells it.
std::string receiverState(const AppModel& model) {
    constexpr std::array<std::pair<std::string_view, std::string_view>, 3> states{{
        {"Receiver connected", "connected"},
        {"Connecting receiver\u2026", "connecting"},
        {"Receiver connection interrupted", "interrupted"},
    }};
    for (const auto& [status, state] : states) {
        if (model.isRunning() && model.status() == status) return std::string(state);
    }
    return "none";
}

ControlAnswer ok(std::string text) { return {true, std::move(text)}; }
ControlAnswer refused(std::string text) { return {false, std::move(text)}; }

} // namespace

Task<ControlAnswer> answerControlRequest(std::shared_ptr<AppModel> model, std::string request) {
    const auto link = [&] { return "link: " + model->receiverURL(); };
    if (request == "status") {
        co_return ok(std::string("sharing: ") + (model->isRunning() ? "yes; " + link() : "no; link: none") +
                     "; pairing code: " + model->pairingCode() + "; receiver: " + receiverState(*model));
    }
    if (request == "disconnect") {
        if (!model->isRunning()) co_return ok("Tavelin is not sharing a display.");
        const bool hadReceiver = receiverState(*model) != "none";
        if (model->session()) model->session()->disconnect({});
        co_return ok(hadReceiver ? "Receiver disconnected." : "No receiver is connected.");
    }
    if (request == "new-code") {
        const auto previous = model->pairingCode();
        model->generatePairingCode();
        if (model->pairingCode() == previous) {
            co_return refused(model->error().value_or("Could not generate a new pairing code."));
        }
        co_return ok("New pairing code: " + model->pairingCode() + (model->isRunning() ? "; " + link() : ""));
    }
    if (request == "stop-sharing") {
        if (!model->isRunning()) co_return ok("Tavelin was not sharing.");
        co_await model->stop();
        co_return ok("Sharing stopped.");
    }
    if (request == "start-sharing") {
        if (model->isRunning()) co_return ok("Already sharing; " + link());
        // start() would return at once and say nothing.
        if (model->isBusy()) co_return refused("Tavelin is busy with its displays. Try again in a moment.");
        co_await model->start();
        if (!model->isRunning()) co_return refused(model->error().value_or("Sharing did not start."));
        co_return ok("Sharing started; " + link());
    }
    if (request == "quit") co_return ControlAnswer{true, "Tavelin is quitting.", true};
    co_return refused("Tavelin does not know this request.");
}

int controlRunningCopy(const std::filesystem::path& folder, std::string_view request) {
    const auto say = [](std::FILE* stream, std::string_view text) {
        std::fprintf(stream, "%.*s\n", static_cast<int>(text.size()), text.data());
    };
    const auto answer = SingleInstance::askRunningCopy(folder, request);
    if (!answer) {
        say(stderr, "Tavelin is not running.");
        return 1;
    }
    const std::string_view line = *answer;
    if (line.starts_with("ok ")) {
        say(stdout, line.substr(3));
        return 0;
    }
    say(stderr, line.starts_with("error ") ? line.substr(6) : "Tavelin did not answer.");
    return 1;
}

} // namespace tavelin
