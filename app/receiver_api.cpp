#include <chrono>

#include "app/model.hpp"
#include "core/log.hpp"
#include "server/receiver_routes.hpp"

namespace tavelin {

namespace {

// The model as the receiver routes see it, read live at every call.
class ModelReceiverState final : public ReceiverState {
public:
    explicit ModelReceiverState(AppModel& model) : model_(model) {}

    bool isSharing() override { return model_.isRunning(); }
    std::string accessToken() override { return model_.token(); }
    PairingGate::Result checkPairingCode(const std::string& code) override {
        const auto now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        auto& gate = model_.pairingGate();
        const auto result = gate.check(code, model_.pairingCode(), now);
        // The locked-out user stands at the other computer; whoever sits here should know.
        if (result == PairingGate::Result::incorrect && gate.failures().size() == PairingGate::maximumFailures) {
            log::info("Five wrong pairing codes: pairing is locked for a minute.");
        }
        return result;
    }
    Task<std::optional<nlohmann::json>> streamStatistics() override {
        const auto session = model_.session();
        if (!session) co_return std::nullopt;
        auto asking = session->statistics();
        co_return co_await std::move(asking);
    }
    Task<std::optional<nlohmann::json>> answerOffer(std::string offer, std::string sessionID) override {
        const auto session = model_.session();
        if (!session) co_return std::nullopt;
        auto answering = session->answer(std::move(offer), std::move(sessionID));
        co_return co_await std::move(answering);
    }
    void disconnectReceiver(const std::string& sessionID) override {
        if (const auto session = model_.session()) session->disconnect(sessionID);
    }
    std::set<std::string>& cancelledSessions() override { return model_.cancelledSessions(); }
    ReceiverSettings receiverSettings() override {
        return {model_.receiverBrightness(), model_.receiverContrast(), model_.receiverSaturation(),
                model_.receiverRotation(),   model_.receiverFlip(),     model_.receiverBlank(),
                model_.receiverFit()};
    }
    bool mouseEnabled() override { return model_.platform().permissions.isInputTrusted(); }
    std::filesystem::path webRoot() override { return model_.webRoot(); }

private:
    AppModel& model_;
};

} // namespace

Task<> AppModel::handle(HTTPRequest request, SharingServer::Respond respond) {
    ModelReceiverState state(*this);
    respond(co_await handleReceiverRequest(state, request));
}

} // namespace tavelin
