#pragma once

#include <map>
#include <set>
#include <vector>

#include "platform/display_services.hpp"
#include "platform/x11/randr_display_services.hpp"

namespace tavelin::x11 {

// Staged changes in the global coordinates of the moment the transaction began.
class RandRConfigurationTransaction final : public DisplayConfigurationTransaction {
public:
    explicit RandRConfigurationTransaction(RandRDisplayServices& services)
        : services_(services), entries_(services.litDisplays()) {
        if (!entries_.empty()) primary_ = entries_.front();
    }

    DisplayError configureOrigin(DisplayID display, std::int32_t x, std::int32_t y) override {
        if (!entry(display)) return DisplayError::illegalArgument;
        mirrors_.erase(display);
        origins_[display] = {x, y};
        return DisplayError::none;
    }

    DisplayError configureMirror(DisplayID display, DisplayID master) override {
        if (!entry(display) || (master != nullDisplay && (!entry(master) || master == display))) {
            return DisplayError::illegalArgument;
        }
        if (master == nullDisplay) {
            // Only a display that mirrors now needs a place of its own; ending mirroring
            // of one that does not changes nothing.
            mirrors_.erase(display);
            if (services_.mirrorsDisplay(display) != nullDisplay) unmirrored_.insert(display);
        } else {
            origins_.erase(display);
            mirrors_[display] = master;
        }
        return DisplayError::none;
    }

    DisplayError complete() override;
    void cancel() override { entries_.clear(); }

private:
    using Entry = RandRDisplayServices::Display;
    struct Point {
        std::int64_t x = 0;
        std::int64_t y = 0;
        friend bool operator==(const Point&, const Point&) = default;
    };

    const Entry* entry(DisplayID display) const {
        const auto found = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.id == display; });
        return found == entries_.end() ? nullptr : &*found;
    }
    std::map<DisplayID, Point> finalPlaces() const;
    // A display the transaction moved that touches no other moves to the nearest place,
    // on the side it is on, where it touches one: a position saved beside a wider
    // desktop leaves no gap on a narrower one.
    void attach(std::map<DisplayID, Point>& place, DisplayID id) const;
    bool moveCrtc(const Entry& entry, const RootRect& to, xcb_timestamp_t configTime);

    RandRDisplayServices& services_;
    std::vector<Entry> entries_;
    Entry primary_;
    std::map<DisplayID, Point> origins_;
    std::map<DisplayID, DisplayID> mirrors_;
    std::set<DisplayID> unmirrored_;
};

} // namespace tavelin::x11
