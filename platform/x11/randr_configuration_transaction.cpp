#include "platform/x11/randr_configuration_transaction.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "platform/x11/randr_query.hpp"

namespace tavelin::x11 {


std::map<DisplayID, RandRConfigurationTransaction::Point> RandRConfigurationTransaction::finalPlaces() const {
    std::map<DisplayID, Point> place;
    for (const auto& e : entries_) place[e.id] = {e.rect.x - primary_.rect.x, e.rect.y - primary_.rect.y};
    for (const auto& [id, origin] : origins_) place[id] = origin;
    for (const auto& [id, master] : mirrors_) place[id] = place[master];
    // A display that stops mirroring leaves its master's origin for the right of the
    // others, unless the transaction also gives it an origin.
    for (const DisplayID id : unmirrored_) {
        if (origins_.contains(id)) continue;
        std::int64_t right = 0;
        for (const auto& e : entries_) {
            if (e.id != id) right = std::max(right, place[e.id].x + e.rect.width);
        }
        place[id] = {right, place[primary_.id].y};
    }
    // A display the transaction leaves where it was must not end up under one it moved
    // there (a display restored at the main display's origin becomes the main display):
    // it goes to the right of the others, as the display would be pushed aside.
    const auto overlap = [&](const Entry& a, const Entry& b) {
        const auto &pa = place.at(a.id), &pb = place.at(b.id);
        return pa.x < pb.x + b.rect.width && pb.x < pa.x + a.rect.width && pa.y < pb.y + b.rect.height &&
               pb.y < pa.y + a.rect.height;
    };
    for (const auto& still : entries_) {
        if (origins_.contains(still.id) || mirrors_.contains(still.id) || services_.mirrorsDisplay(still.id)) continue;
        const bool covered = std::ranges::any_of(entries_, [&](const Entry& moved) {
            return moved.id != still.id && origins_.contains(moved.id) && overlap(still, moved);
        });
        if (!covered) continue;
        std::int64_t right = 0;
        for (const auto& other : entries_) {
            if (other.id != still.id) right = std::max(right, place.at(other.id).x + other.rect.width);
        }
        place[still.id].x = right;
    }
    for (const auto& [id, origin] : origins_) attach(place, id);
    return place;
}

void RandRConfigurationTransaction::attach(std::map<DisplayID, Point>& place, DisplayID id) const {
    if (entries_.size() < 2) return;
    const Entry& own = *entry(id);
    const auto box = [&](const Entry& e, const Point& at) {
        return std::array<std::int64_t, 4>{at.x, at.y, at.x + e.rect.width, at.y + e.rect.height};
    };
    // Touching: overlapping, or sharing a stretch of edge (a corner is not enough).
    const auto touches = [](const auto& a, const auto& b) {
        const bool across = a[0] <= b[2] && b[0] <= a[2], along = a[1] <= b[3] && b[1] <= a[3];
        const bool columns = a[0] < b[2] && b[0] < a[2], rows = a[1] < b[3] && b[1] < a[3];
        return (across && rows) || (along && columns);
    };
    const auto overlaps = [](const auto& a, const auto& b) {
        return a[0] < b[2] && b[0] < a[2] && a[1] < b[3] && b[1] < a[3];
    };
    const auto mine = box(own, place.at(id));
    bool alone = true;
    for (const auto& e : entries_) {
        if (e.id != id && touches(mine, box(e, place.at(e.id)))) alone = false;
    }
    if (!alone) return;
    // The nearest place on the same side of some display, sliding along its edge no
    // further than to keep a stretch of it shared, that covers no other display.
    const std::int64_t width = own.rect.width, height = own.rect.height;
    const Point from = place.at(id);
    std::optional<Point> best;
    const auto distance = [&](const Point& p) {
        return (p.x - from.x) * (p.x - from.x) + (p.y - from.y) * (p.y - from.y);
    };
    for (const auto& e : entries_) {
        if (e.id == id) continue;
        const auto other = box(e, place.at(e.id));
        const std::int64_t x = std::clamp(from.x, other[0] - width + 1, other[2] - 1);
        const std::int64_t y = std::clamp(from.y, other[1] - height + 1, other[3] - 1);
        std::vector<Point> candidates;
        if (mine[0] >= other[2]) candidates.push_back({other[2], y});
        if (mine[2] <= other[0]) candidates.push_back({other[0] - width, y});
        if (mine[1] >= other[3]) candidates.push_back({x, other[3]});
        if (mine[3] <= other[1]) candidates.push_back({x, other[1] - height});
        for (const auto& candidate : candidates) {
            const auto moved = box(own, candidate);
            const bool covers = std::ranges::any_of(
                entries_, [&](const Entry& o) { return o.id != id && overlaps(moved, box(o, place.at(o.id))); });
            if (!covers && (!best || distance(candidate) < distance(*best))) best = candidate;
        }
    }
    if (best) place[id] = *best;
}

bool RandRConfigurationTransaction::moveCrtc(const Entry& entry, const RootRect& to, xcb_timestamp_t configTime) {
    auto& connection = services_.connection();
    auto crtc = reply(connection.get(), xcb_randr_get_crtc_info_reply,
                      xcb_randr_get_crtc_info(connection.get(), entry.crtc, XCB_CURRENT_TIME));
    if (!crtc) return false;
    auto set = reply(connection.get(), xcb_randr_set_crtc_config_reply,
                     xcb_randr_set_crtc_config(connection.get(), entry.crtc, XCB_CURRENT_TIME, configTime,
                                               static_cast<std::int16_t>(to.x), static_cast<std::int16_t>(to.y),
                                               crtc->mode, crtc->rotation,
                                               xcb_randr_get_crtc_info_outputs_length(crtc.get()),
                                               xcb_randr_get_crtc_info_outputs(crtc.get())));
    services_.layoutChanged();
    return set && set->status == XCB_RANDR_SET_CONFIG_SUCCESS;
}

DisplayError RandRConfigurationTransaction::complete() {
    if (entries_.empty()) return DisplayError::failure;
    const auto place = finalPlaces();

    // The display placed at the global origin becomes the primary output.
    DisplayID primary = primary_.id;
    for (const auto& e : entries_) {
        if (!e.monitor && origins_.contains(e.id) && place.at(e.id) == Point{}) {
            primary = e.id;
            break;
        }
    }

    std::int64_t left = place.begin()->second.x, top = place.begin()->second.y;
    for (const auto& [id, point] : place) left = std::min(left, point.x), top = std::min(top, point.y);
    std::map<DisplayID, RootRect> target;
    RootRect extent;
    for (const auto& e : entries_) {
        const auto& point = place.at(e.id);
        const std::int64_t x = point.x - left, y = point.y - top;
        if (x + e.rect.width > 0x7FFF || y + e.rect.height > 0x7FFF) return DisplayError::failure;
        target[e.id] = {static_cast<std::int32_t>(x), static_cast<std::int32_t>(y), e.rect.width, e.rect.height};
        extent.width = std::max(extent.width, target[e.id].x + e.rect.width);
        extent.height = std::max(extent.height, target[e.id].y + e.rect.height);
    }

    auto& connection = services_.connection();
    ServerGrab grab(connection);
    const auto now = screenResources(connection);
    if (!now || !services_.growFramebuffer(extent)) return DisplayError::failure;
    const auto moveTo = [&](const Entry& e, const RootRect& to) {
        if (!e.monitor) return moveCrtc(e, to, now->config_timestamp);
        auto monitor = services_.monitors().at(e.id);
        monitor.rect = to;
        if (!services_.applyMonitor(e.id, monitor)) return false;
        services_.registerMonitor(e.id, monitor);
        return true;
    };
    std::set<xcb_randr_crtc_t> crtcs;
    std::vector<const Entry*> moved;
    for (const auto& e : entries_) {
        const auto& to = target.at(e.id);
        if (to == e.rect || (!e.monitor && !crtcs.insert(e.crtc).second)) continue;
        if (!moveTo(e, to)) {
            // Half an arrangement is worse than none: what moved goes back.
            for (const auto* done : moved) moveTo(*done, done->rect);
            services_.shrinkFramebuffer();
            return DisplayError::failure;
        }
        moved.push_back(&e);
    }
    services_.shrinkFramebuffer();
    // Compared with what RandR holds, not with the lit output that stands in for a
    // primary that is off or unset.
    auto marked = reply(connection.get(), xcb_randr_get_output_primary_reply,
                        xcb_randr_get_output_primary(connection.get(), connection.root()));
    if (!services_.monitors().contains(primary) && (!marked || marked->output != primary)) {
        const auto refused =
            check(connection, xcb_randr_set_output_primary_checked(connection, connection.root(), primary));
        services_.layoutChanged();
        if (refused) return DisplayError::failure;
    }
    return DisplayError::none;
}

} // namespace tavelin::x11
