#include <array>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <system_error>
#include <variant>

#include "app/model.hpp"
#include "core/atomic_file.hpp"
#include "core/decimal.hpp"
#include "core/stream_error.hpp"

namespace tavelin {

namespace {

constexpr const char* jsonType = "application/json; charset=utf-8";

std::string hex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const auto byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

// A uniform draw from 0 to 9999: the high half of a 64-bit value times 10,000, drawn
// again while the low half falls in the biased remainder (2^64 mod 10,000 = 1,616).
__extension__ using UInt128 = unsigned __int128;

std::optional<unsigned> uniformBelow10000(SecureRandom& random) {
    for (;;) {
        std::array<std::uint8_t, 8> bytes{};
        if (!random.fill(bytes)) return std::nullopt;
        std::uint64_t value = 0;
        for (const auto byte : bytes) value = value << 8 | byte;
        const auto product = static_cast<UInt128>(value) * 10'000u;
        if (static_cast<std::uint64_t>(product) >= 1'616u) return static_cast<unsigned>(product >> 64);
    }
}

// A failure of a running share: stop it, then show why.
Task<> stopThenReport(std::shared_ptr<AppModel> model, std::string message) {
    co_await model->stop();
    model->setError(std::move(message));
}

std::string messageOf(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::system_error& error) {
        return error.code().message();
    } catch (const std::exception& error) {
        return error.what();
    }
}

} // namespace

std::optional<std::string> AppModel::drawPairingCode() {
    const auto number = uniformBelow10000(platform_.random);
    if (!number) return std::nullopt;
    char text[8];
    std::snprintf(text, sizeof text, "%04u", *number);
    return std::string(text);
}

void AppModel::generatePairingCode() {
    const auto previous = pairingCode();
    std::optional<std::string> code;
    do {
        code = drawPairingCode();
        if (!code) {
            setError("Could not generate a new pairing code.");
            return;
        }
    } while (*code == previous);
    pairingCode.set(*code);
    pairingGate_ = PairingGate();
}

void AppModel::refreshNetwork() {
    addresses.set(usableAddresses(platform_.network.addresses()));
    const auto& list = addresses();
    if (std::ranges::find(list, selectedAddress()) == list.end()) {
        selectedAddress.set(list.empty() ? "" : list.front());
    }
    refreshPermission();
}

void AppModel::togglePreview() {
    if (!session_) return;
    try {
        session_->togglePreview();
    } catch (const StreamError& failure) {
        setError(failure.message());
    }
}

Task<> AppModel::start() {
    if (isBusy() || isRunning()) co_return;
    const BusyScope busy(isBusy);
    setError(std::nullopt);

    std::exception_ptr failure;
    try {
        const auto selected = selectedDisplay();
        if (!selected) throw StreamError("Add a display in the Displays tab first.");

        const auto parsedWidth = parseDecimalInt64(width());
        const auto parsedHeight = parseDecimalInt64(height());
        if (!parsedWidth || !parsedHeight) throw ConfigurationError(ConfigurationError::Kind::invalidResolution);
        // A bitrate that is not a finite number in range cannot be truncated safely; the
        // interface never produces one, so it is simply out of bounds.
        const double rate = bitrate();
        if (!std::isfinite(rate) || std::fabs(rate) >= 9.2e18) {
            throw ConfigurationError(ConfigurationError::Kind::invalidBitrate);
        }
        const DisplayConfiguration configuration(*parsedWidth, *parsedHeight, fps(),
                                                 static_cast<std::int64_t>(rate), hiDPI());

        const auto listenPort = parsePort(port());
        if (!listenPort || *listenPort < 1024) throw StreamError("Choose a port between 1024 and 65535.");

        refreshNetwork();
        if (addresses().empty()) throw StreamError("Connect this computer to Wi-Fi or Ethernet first.");

        std::array<std::uint8_t, 16> secret{};
        if (!platform_.random.fill(secret)) throw StreamError("Could not generate an access key.");
        token_ = hex(secret);
        if (pairingCode().empty()) {
            auto code = drawPairingCode();
            if (!code) throw StreamError("Could not generate a new pairing code.");
            pairingCode.set(std::move(*code));
        }
        pairingGate_ = PairingGate();
        setStatus("Creating extra display\u2026");

        const UUID id = selected->id();
        if (const auto* saved = profile(id)) {
            if (saved->width != configuration.width() || saved->height != configuration.height() ||
                saved->refreshRate != configuration.refreshRate() || saved->hiDPI != configuration.hiDPI()) {
                rememberArrangement();
                dropDisplay(id);
            }
            modifyProfile(id, [&](DisplayProfile& p) {
                p.width = configuration.width();
                p.height = configuration.height();
                p.refreshRate = configuration.refreshRate();
                p.hiDPI = configuration.hiDPI();
                p.bitrateMbps = configuration.bitrateMbps();
            });
        }

        co_await enableDisplay(id);
        const auto live = displays_.find(id);
        if (live == displays_.end()) {
            throw StreamError(error().value_or("Could not create the selected display."));
        }

        auto session = makeSession_();
        session_ = session;
        const std::weak_ptr<AppModel> weakModel = weak_from_this();
        const std::weak_ptr<StreamSession> weakSession = session;
        session->onStatus = [weakModel, weakSession](std::string text) {
            const auto model = weakModel.lock();
            const auto current = weakSession.lock();
            if (model && current && model->session_ == current) model->setStatus(std::move(text));
        };
        session->onFailure = [weakModel, weakSession](std::string text) {
            const auto model = weakModel.lock();
            const auto current = weakSession.lock();
            if (!model || !current || model->session_ != current) return;
            model->spawn(stopThenReport(model, std::move(text)));
        };
        co_await session->start(live->second->displayID(), configuration, showCursor(), smoothMotion());
        permissionGranted.set(true);

        server_ = makeServer_();
        generation_ = UUID::random();
        const UUID runGeneration = generation_;

        // Ready, a failure, a refused start and the time limit race; the first decides.
        const auto outcome = std::make_shared<OneShot<std::monostate>>(engine_);
        // Not postWeak: a request that outlives the model still gets its answer.
        SharingServer::Handler handler = [weakModel, runGeneration, engine = engine_](HTTPRequest request,
                                                                                    SharingServer::Respond respond) {
            asio::post(engine, [weakModel, runGeneration, request = std::move(request),
                                respond = std::move(respond)]() mutable {
                const auto model = weakModel.lock();
                if (!model || model->generation_ != runGeneration) {
                    respond(HTTPResponse{503, jsonType, R"({"error":"Session ended."})"});
                    return;
                }
                model->spawn(model->handle(std::move(request), std::move(respond)));
            });
        };
        // The start that waits on the outcome keeps the model alive.
        auto onFailure = [weakModel, runGeneration, outcome, engine = engine_](std::string text) {
            postWeak(engine, weakModel, [runGeneration, outcome, text = std::move(text)](AppModel& model) mutable {
                if (outcome->fail(std::make_exception_ptr(StreamError(text)))) return;
                if (model.generation_ != runGeneration) return;
                model.spawn(stopThenReport(model.shared_from_this(), std::move(text)));
            });
        };
        auto ready = [outcome, engine = engine_] {
            asio::post(engine, [outcome] { outcome->succeed(std::monostate{}); });
        };
        try {
            server_->start(*listenPort, addresses(), std::move(handler), std::move(onFailure), std::move(ready));
        } catch (const std::system_error& refused) {
            // The port is the one thing the user can change about it, so it is named. The
            // server's errors carry errno values, not always in the standard category.
            outcome->fail(refused.code().value() == EADDRINUSE
                              ? std::make_exception_ptr(StreamError("Port " + std::to_string(*listenPort) +
                                                                    " is already in use. Choose another with --port."))
                              : std::current_exception());
        } catch (...) {
            outcome->fail(std::current_exception());
        }
        auto timeLimit = [](std::shared_ptr<OneShot<std::monostate>> race, Timings::Duration limit) -> Task<> {
            co_await sleepFor(limit);
            race->fail(std::make_exception_ptr(StreamError("The local server did not start. Try another port.")));
        };
        detach(engine_, timeLimit(outcome, timings_.serverReady));
        co_await outcome->wait();

        isRunning.set(true);
        setStatus("Waiting for receiver");
        if (hasArgument("--benchmark")) toggleMotionTest();
        writeReceiverLinkFile();
        co_return;
    } catch (...) {
        failure = std::current_exception();
    }

    // The failure path: everything started so far is stopped again.
    co_await stop();
    try {
        std::rethrow_exception(failure);
    } catch (const CaptureDeniedError& denied) {
        permissionGranted.set(false);
        setError(denied.message());
    } catch (...) {
        setError(messageOf(failure));
    }
}

void AppModel::writeReceiverLinkFile() {
    const auto path = argumentValue("--receiver-link-file");
    if (!path) return;
    if (writeFileAtomically(*path, receiverURL(), 0600)) {
        setError("Sharing started, but the receiver link file could not be written.");
    }
}

Task<> AppModel::stop() {
    generation_ = UUID::random();
    if (motionTestShown_) {
        if (windowHooks.closeMotionTest) windowHooks.closeMotionTest();
        motionTestShown_ = false;
    }
    if (auto server = std::move(server_)) server->stop();
    // Taken out of the field before waiting, so that a second stop meanwhile finds
    // nothing left to stop.
    if (auto session = std::move(session_)) co_await session->stop();
    rememberArrangement();
    cancelledSessions_.clear();
    token_.clear();
    isRunning.set(false);
    setStatus(readyStatus);
}

} // namespace tavelin
