#include "core/log.hpp"
#include "core/offer_candidates.hpp"
#include "platform/gstreamer/gst_webrtc_peer.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>

#include <malloc.h>

#include <asio/async_result.hpp>
#include <asio/post.hpp>
#include <gst/video/video.h>

#include "platform/gstreamer/gst_data_channel.hpp"
#include "platform/gstreamer/gst_element_census.hpp"
#include "platform/gstreamer/gst_encoder_feed.hpp"
#include "platform/gstreamer/gst_signal_glue.hpp"

namespace tavelin::gst {

namespace {

// The receiver's last report about our stream, from webrtcbin's statistics: the
// session keeps a report block on the source that sent it, naming our SSRC.
std::optional<ReceptionReport> receptionReport(const GstStructure* statistics, guint ssrc) {
    const gint fields = statistics ? gst_structure_n_fields(statistics) : 0;
    for (gint index = 0; index < fields; ++index) {
        const GValue* value = gst_structure_get_value(statistics, gst_structure_nth_field_name(statistics, index));
        if (!value || !GST_VALUE_HOLDS_STRUCTURE(value)) continue;
        const GValue* sourceValue = gst_structure_get_value(gst_value_get_structure(value), "gst-rtpsource-stats");
        if (!sourceValue || !GST_VALUE_HOLDS_STRUCTURE(sourceValue)) continue;
        const GstStructure* source = gst_value_get_structure(sourceValue);
        gboolean haveReport = FALSE;
        guint about = 0;
        gint lost = 0;
        guint highest = 0;
        if (gst_structure_get_boolean(source, "have-rb", &haveReport) && haveReport &&
            gst_structure_get_uint(source, "rb-ssrc", &about) && about == ssrc &&
            gst_structure_get_int(source, "rb-packetslost", &lost) &&
            gst_structure_get_uint(source, "rb-exthighestseq", &highest)) {
            return ReceptionReport{lost, highest};
        }
    }
    return std::nullopt;
}

// libnice asks the network's router by UPnP to forward a public port to every candidate
// unless told not to. Receivers are on the local network: nothing of this computer may
// be opened to the internet for them, and the UPnP client's thread would outlive the
// connection.
void keepOffTheRouter(GstElement* webrtc) {
    GObject* ice = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    const Owned<GObject> iceAgent = adopt(ice);
    if (!iceAgent || !hasProperty(iceAgent.get(), "agent")) return;
    GObject* nice = nullptr;
    g_object_get(iceAgent.get(), "agent", &nice, nullptr);
    const Owned<GObject> niceAgent = adopt(nice);
    if (niceAgent && hasProperty(niceAgent.get(), "upnp")) g_object_set(niceAgent.get(), "upnp", FALSE, nullptr);
}

} // namespace

// ---- the peer ----------------------------------------------------------------------

std::shared_ptr<GstWebRTCPeer> GstWebRTCPeer::create(Executor engine, VideoEncoders encoders, std::int64_t width,
                                                     std::int64_t height, std::int64_t framesPerSecond) {
    auto peer = std::make_shared<GstWebRTCPeer>(std::move(engine), std::move(encoders), width, height, framesPerSecond);
    peer->start();
    return peer;
}

GstWebRTCPeer::GstWebRTCPeer(Executor engine, VideoEncoders encoders, std::int64_t width, std::int64_t height,
                             std::int64_t framesPerSecond)
    : engine_(std::move(engine)), encoders_(std::move(encoders)), width_(width), height_(height),
      framesPerSecond_(std::max<std::int64_t>(framesPerSecond, 1)), figures_(std::make_shared<EncoderFigures>()),
      feed_(std::make_shared<EncoderFeed>(figures_, framesPerSecond_)) {}

GstWebRTCPeer::~GstWebRTCPeer() {
    if (!closed_) shutDown();
}

void GstWebRTCPeer::start() {
    pipeline_ = adopt(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
    watchElements(pipeline_.get());
    webrtc_ = makeElement("webrtcbin");
    // Host candidates only; the receiver sends one complete offer and gets one complete answer.
    gst_util_set_object_arg(G_OBJECT(webrtc_.get()), "bundle-policy", "max-bundle");
    gst_bin_add(GST_BIN(pipeline_.get()), webrtc_.get());
    keepOffTheRouter(webrtc_.get());
    // Buffer times are host clock readings made relative to the base time.
    Owned<GstClock> clock = adopt(gst_system_clock_obtain());
    gst_pipeline_use_clock(GST_PIPELINE(pipeline_.get()), clock.get());

    const std::weak_ptr<GstWebRTCPeer> self = weak_from_this();
    handlers_ = {
        connectWeak(webrtc_.get(), "notify::connection-state", G_CALLBACK(connectionStateChanged), self, engine_),
        connectWeak(webrtc_.get(), "on-data-channel", G_CALLBACK(dataChannelArrived), self, engine_),
    };
    // webrtcbin's RTP session manager announces every RTCP packet a source sends.
    rtpbin_ = adopt(gst_bin_get_by_name(GST_BIN(webrtc_.get()), "rtpbin"));
    if (rtpbin_) {
        rtcpHandler_ = connectWeak(rtpbin_.get(), "on-ssrc-active", G_CALLBACK(sourceReported), self, engine_);
    }
    Owned<GstBus> bus = adopt(gst_element_get_bus(pipeline_.get()));
    gst_bus_set_sync_handler(bus.get(), busMessage, new WeakBox<GstWebRTCPeer>{self, engine_},
                             [](gpointer box) { delete static_cast<WeakBox<GstWebRTCPeer>*>(box); });
    if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        shutDown();
        throw std::runtime_error("Could not create a video connection.");
    }
}

void GstWebRTCPeer::shutDown() {
    closed_ = true;
    rateSteering_.cancel();
    feed_->detach();
    if (webrtc_) {
        for (const gulong handler : handlers_) g_signal_handler_disconnect(webrtc_.get(), handler);
    }
    handlers_.clear();
    if (rtpbin_ && rtcpHandler_) g_signal_handler_disconnect(rtpbin_.get(), rtcpHandler_);
    rtcpHandler_ = 0;
    rtpbin_.reset();
    if (pipeline_) {
        Owned<GstBus> bus = adopt(gst_element_get_bus(pipeline_.get()));
        gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
        // Only ever on the engine: a streaming thread setting NULL would wait for itself.
        gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
        // Without its handler the bus queues what the pipeline still says, and those
        // messages would hold the pipeline that holds the bus.
        gst_bus_set_flushing(bus.get(), TRUE);
    }
    encoder_.reset();
    webrtc_.reset();
    pipeline_.reset();
    // The connection's frames and encoder state were allocated on its streaming threads,
    // in malloc arenas of their own that glibc keeps once freed: without giving them
    // back, the resident memory climbed with every receiver (243 MB after 10, 606 MB
    // after 100).
    malloc_trim(0);
}

void GstWebRTCPeer::close() {
    if (closed_) return;
    shutDown();
    if (reported_ != PeerConnectionState::closed && onConnectionState) {
        asio::post(engine_, [callback = onConnectionState] { callback(PeerConnectionState::closed); });
    }
    reported_ = PeerConnectionState::closed;
}

std::shared_ptr<VideoSink> GstWebRTCPeer::videoSink() { return feed_; }

Task<Owned<GstPromise>> GstWebRTCPeer::emitWithPromise(const char* signal, void* argument) {
    co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(Owned<GstPromise>)>(
        [this, signal, argument](auto handler) {
            using Waiter = PromiseWaiter<decltype(handler)>;
            auto* waiter = new Waiter{engine_, std::move(handler)};
            Owned<GstPromise> promise = adopt(gst_promise_new_with_change_func(Waiter::changed, waiter, Waiter::released));
            if (argument) {
                g_signal_emit_by_name(webrtc_.get(), signal, argument, promise.get());
            } else {
                g_signal_emit_by_name(webrtc_.get(), signal, nullptr, promise.get());
            }
        },
        asio::use_awaitable);
}

Task<> GstWebRTCPeer::setRemoteOffer(std::string sdp) {
    const auto self = shared_from_this();
    if (closed_) throw std::runtime_error(closedMessage);
    const auto video = chooseVideo(sdp, encoders_.codecs());
    if (!video) throw std::runtime_error(noCodecMessage);
    GstSDPMessage* message = nullptr;
    gst_sdp_message_new_from_text(withoutNamedCandidates(sdp).c_str(), &message);
    if (!message) throw std::runtime_error("The receiver's offer could not be read.");
    std::unique_ptr<GstWebRTCSessionDescription, Release<GstWebRTCSessionDescription>> offer(
        gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, message));
    const auto accepted = co_await emitWithPromise("set-remote-description", offer.get());
    replyOf(accepted, "accept the receiver's offer");
    if (closed_) throw std::runtime_error(closedMessage);
    video_ = video;
    buildSendBranch(*video);
}

Task<> GstWebRTCPeer::createAnswer() {
    const auto self = shared_from_this();
    if (closed_ || !video_) throw std::runtime_error(closedMessage);
    const auto created = co_await emitWithPromise("create-answer", nullptr); // owns the reply
    const GstStructure* reply = replyOf(created, "create the answer");
    GstWebRTCSessionDescription* raw = nullptr;
    if (!reply || !gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &raw, nullptr) || !raw) {
        throw std::runtime_error("The video connection could not create the answer.");
    }
    const Owned<GstWebRTCSessionDescription> answer = adopt(raw);
    if (closed_) throw std::runtime_error(closedMessage);
    const auto kept = co_await emitWithPromise("set-local-description", answer.get());
    replyOf(kept, "keep its answer");
    if (closed_) throw std::runtime_error(closedMessage);
}

void GstWebRTCPeer::buildSendBranch(const NegotiatedVideo& video) {
    Owned<GstElement> source = makeElement("appsrc");
    gst_util_set_object_arg(G_OBJECT(source.get()), "format", "time");
    gst_util_set_object_arg(G_OBJECT(source.get()), "leaky-type", "downstream");
    g_object_set(source.get(), "is-live", TRUE, "block", FALSE, "max-buffers", EncoderFeed::maxQueued, nullptr);

    const std::string& encoderName = encoders_.of(video.codec);
    CodecBranch branch = codecBranch(video, encoderName, static_cast<guint>(2 * framesPerSecond_));
    encoderName_ = std::string(codecName(video.codec)) + " (" + encoderName + ")";
    rateProperty_ = branch.rateProperty;
    rateUnit_ = branch.rateUnit;
    rateWhilePlaying_ = branch.rateWhilePlaying;
    log::info("sending ", encoderName_);

    GstBin* bin = GST_BIN(pipeline_.get());
    for (const auto* element : {&source, &branch.encoder, &branch.profile, &branch.payloader}) {
        gst_bin_add(bin, element->get());
    }
    if (!gst_element_link_many(source.get(), branch.encoder.get(), branch.profile.get(), branch.payloader.get(),
                               nullptr)) {
        throw std::runtime_error("Could not attach the display video.");
    }

    // The answer must name the SSRC the payloader really sends with: Chromium decodes an
    // unannounced stream but never shows it in the track the answer set up.
    const guint ssrc = g_random_int();
    ssrc_ = ssrc;
    g_object_set(branch.payloader.get(), "ssrc", ssrc, nullptr);
    gst_caps_set_simple(branch.rtp.get(), "ssrc", G_TYPE_UINT, ssrc, nullptr);
    GstPadTemplate* sinkTemplate = gst_element_get_pad_template(webrtc_.get(), "sink_%u");
    Owned<GstPad> sink = adopt(gst_element_request_pad(webrtc_.get(), sinkTemplate, nullptr, branch.rtp.get()));
    Owned<GstPad> payloaderSource = adopt(gst_element_get_static_pad(branch.payloader.get(), "src"));
    if (!sink || gst_pad_link(payloaderSource.get(), sink.get()) != GST_PAD_LINK_OK) {
        throw std::runtime_error("Could not attach the display video.");
    }
    GstWebRTCRTPTransceiver* rawTransceiver = nullptr;
    g_object_get(sink.get(), "transceiver", &rawTransceiver, nullptr);
    const Owned<GstWebRTCRTPTransceiver> transceiver = adopt(rawTransceiver);
    if (!transceiver) throw std::runtime_error("Could not attach the display video.");
    g_object_set(transceiver.get(), "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, "codec-preferences",
                 branch.rtp.get(), nullptr);
    // Without retransmission one lost packet freezes the picture until the next key frame.
    if (hasProperty(transceiver.get(), "do-nack")) g_object_set(transceiver.get(), "do-nack", TRUE, nullptr);

    watchEncoder(branch.encoder.get(), branch.payloader.get(), figures_);
    for (const auto* element : {&branch.payloader, &branch.profile, &branch.encoder, &source}) {
        gst_element_sync_state_with_parent(element->get());
    }
    encoder_ = std::move(branch.encoder);
    applyEncoderParameters();
    feed_->attach(std::move(source), gst_element_get_base_time(pipeline_.get()), branch.matrix);
    rateSteering_ = TaskHandle::spawn(engine_, steerSendRate(weak_from_this(), std::chrono::seconds(1)));
}

void GstWebRTCPeer::setEncoderParameters(const EncoderParameters& parameters) {
    parameters_ = parameters;
    applyEncoderParameters();
}

void GstWebRTCPeer::applyEncoderParameters() {
    sendRate_.setBounds(std::min(parameters_.minBitrate, parameters_.maxBitrate), parameters_.maxBitrate);
    applySendRate();
}

// The target rate goes to the encoder; holding the resolution, a lower rate also means
// fewer frames, each with more bits.
void GstWebRTCPeer::applySendRate() {
    const bool maintainResolution = parameters_.degradation == DegradationPreference::maintainResolution;
    const auto admitted =
        framesForRate(parameters_.maxFramerate, sendRate_.target(), sendRate_.ceiling(), maintainResolution);
    feed_->setFramerates(parameters_.maxFramerate, admitted);
    if (!encoder_ || sendRate_.target() <= 0) return;
    // Some hardware encoders take a new rate only while stopped; they keep the first one.
    GstState state = GST_STATE_NULL;
    gst_element_get_state(encoder_.get(), &state, nullptr, 0);
    if (state == GST_STATE_PLAYING && !rateWhilePlaying_) return;
    const auto encoderRate = encoderBitrate(sendRate_.target(), feed_->nominalFramerate(), admitted);
    feed_->setEncoderRates(encoder_.get(), rateProperty_, std::max<std::int64_t>(encoderRate / rateUnit_, 1),
                           std::max<std::int64_t>(refinementBitrate(encoderRate) / rateUnit_, 1));
}

// Once a second: the receiver's latest loss report steers the sending rate.
Task<> GstWebRTCPeer::steerSendRate(std::weak_ptr<GstWebRTCPeer> weak, std::chrono::milliseconds interval) {
    while (co_await sleepFor(interval)) {
        const auto self = weak.lock();
        if (!self || self->closed_) co_return;
        const auto statistics = co_await self->emitWithPromise("get-stats", nullptr);
        if (self->closed_ || !statistics || gst_promise_wait(statistics.get()) != GST_PROMISE_RESULT_REPLIED) continue;
        const auto report = receptionReport(gst_promise_get_reply(statistics.get()), self->ssrc_);
        if (!report) continue;
        const auto before = self->sendRate_.target();
        const auto lost = self->sendRate_.update(*report, std::chrono::steady_clock::now());
        if (self->sendRate_.target() == before) continue;
        self->applySendRate();
        log::info("sending at ", self->sendRate_.target() / 1000, " kbit/s (",
                  static_cast<int>(lost.value_or(0) * 100), "% of packets lost)");
    }
}

bool GstWebRTCPeer::iceGatheringComplete() {
    if (closed_) return false;
    GstWebRTCICEGatheringState state = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
    g_object_get(webrtc_.get(), "ice-gathering-state", &state, nullptr);
    return state == GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE;
}

std::optional<std::string> GstWebRTCPeer::localDescription() {
    if (closed_) return std::nullopt;
    GstWebRTCSessionDescription* raw = nullptr;
    g_object_get(webrtc_.get(), "local-description", &raw, nullptr);
    const Owned<GstWebRTCSessionDescription> description = adopt(raw);
    if (!description || !description->sdp) return std::nullopt;
    return text(adopt(gst_sdp_message_as_text(description->sdp)));
}

PeerConnectionState GstWebRTCPeer::connectionState() {
    if (closed_) return PeerConnectionState::closed;
    GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
    g_object_get(webrtc_.get(), "connection-state", &state, nullptr);
    // webrtcbin numbers its states as the diagnostics do: new 0 ... closed 5.
    return static_cast<PeerConnectionState>(state);
}

void GstWebRTCPeer::reportState(PeerConnectionState state) {
    if (closed_ || reported_ == state) return;
    reported_ = state;
    // The key frame that began the stream went out before the receiver could decrypt
    // it, and a static screen sends one picture a second: start the receiver's picture
    // with a key frame now instead of waiting for its request.
    if (state == PeerConnectionState::connected && encoder_) {
        if (GstPad* source = gst_element_get_static_pad(encoder_.get(), "src")) {
            gst_pad_send_event(source, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
            gst_object_unref(source);
        }
    }
    if (onConnectionState) onConnectionState(state);
}

void GstWebRTCPeer::pipelineError(const std::string& message) {
    if (closed_) return;
    log::info("video pipeline error: ", message);
    reportState(PeerConnectionState::failed);
}

void GstWebRTCPeer::connectionStateChanged(GstElement*, GParamSpec*, gpointer box) {
    // Read on the engine: webrtcbin may hold its own lock while it notifies.
    unbox<GstWebRTCPeer>(box).post([](GstWebRTCPeer& peer) { peer.reportState(peer.connectionState()); });
}

// Only the receiver sends RTCP into our sending session; our own sender reports are
// not announced here.
void GstWebRTCPeer::sourceReported(GstElement*, guint, guint, gpointer box) {
    unbox<GstWebRTCPeer>(box).post([](GstWebRTCPeer& peer) {
        if (!peer.closed_ && peer.onReceiverReport) peer.onReceiverReport();
    });
}

void GstWebRTCPeer::dataChannelArrived(GstElement*, GObject* rawChannel, gpointer box) {
    const auto& weak = unbox<GstWebRTCPeer>(box);
    auto channel = std::make_shared<GstPeerDataChannel>(
        weak.engine, adopt(GST_WEBRTC_DATA_CHANNEL(g_object_ref(rawChannel))));
    channel->start();
    weak.post([channel](GstWebRTCPeer& peer) {
        if (!peer.closed_ && peer.onDataChannel) peer.onDataChannel(channel);
    });
}

GstBusSyncReply GstWebRTCPeer::busMessage(GstBus*, GstMessage* message, gpointer box) {
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_LATENCY) {
        // Elements added while playing change the latency; RTP timing needs it known.
        unbox<GstWebRTCPeer>(box).post([](GstWebRTCPeer& peer) {
            if (!peer.closed_) gst_bin_recalculate_latency(GST_BIN(peer.pipeline_.get()));
        });
    }
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError* raw = nullptr;
        gst_message_parse_error(message, &raw, nullptr);
        const Owned<GError> error = adopt(raw);
        unbox<GstWebRTCPeer>(box).post([text = std::string(error ? error->message : "unknown error")](
                                           GstWebRTCPeer& peer) { peer.pipelineError(text); });
    }
    // Nobody reads this bus; a message left on it would only pile up. A handler that
    // drops a message owns it, and each message holds its source: one not let go of here
    // keeps the pipeline and every element in it alive after the connection closed.
    gst_message_unref(message);
    return GST_BUS_DROP;
}

Task<nlohmann::json> GstWebRTCPeer::statistics() {
    const auto self = shared_from_this();
    auto [width, height] = feed_->size();
    if (width == 0) std::tie(width, height) = std::pair{width_ & ~std::int64_t{1}, height_ & ~std::int64_t{1}};
    std::int64_t targetBitrate = 0;
    if (encoder_) {
        const auto steered = feed_->steeredRate();
        targetBitrate = (steered > 0 ? steered : readRate(encoder_.get(), rateProperty_)) * rateUnit_;
        // The encoder budgets by the nominal frame rate; fewer frames carry less.
        const auto nominal = feed_->nominalFramerate();
        const auto admitted = feed_->admittedFramerate();
        if (admitted > 0 && admitted < nominal) targetBitrate = targetBitrate * admitted / nominal;
    }
    nlohmann::json figures;
    {
        std::lock_guard lock(figures_->mutex);
        const auto now = EncoderFigures::Clock::now();
        auto& recent = figures_->lastSecond;
        while (!recent.empty() && now - recent.front() > std::chrono::seconds(1)) recent.pop_front();
        const bool cpuLimited = figures_->lastDrop && now - *figures_->lastDrop < std::chrono::seconds(2);
        figures = {
            {"frameWidth", width},
            {"frameHeight", height},
            {"framesPerSecond", static_cast<std::int64_t>(recent.size())},
            {"framesEncoded", figures_->framesEncoded},
            {"keyFramesEncoded", figures_->keyFramesEncoded},
            {"framesSent", figures_->framesSent},
            {"bytesSent", figures_->bytesEncoded},
            {"targetBitrate", targetBitrate},
            {"qualityLimitationReason", cpuLimited ? "cpu" : "none"},
            {"encoderImplementation", encoderName_},
            {"totalEncodeTime", std::chrono::duration<double>(figures_->totalEncodeTime).count()},
        };
    }
    co_return figures;
}

} // namespace tavelin::gst
