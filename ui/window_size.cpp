#include "ui/window_size.hpp"

#include <algorithm>
#include <cmath>

namespace tavelin::ui {

double WindowSize::mainHeight(double wanted, std::optional<double> visibleHeight) {
    const double limit = visibleHeight ? std::max(*visibleHeight - 80, 500.0) : 820.0;
    return std::min(wanted, limit);
}

double WindowSize::panelHeight(std::optional<double> visibleHeight) {
    if (!visibleHeight) return 640;
    return std::clamp(*visibleHeight - 80, 360.0, 640.0);
}

double WindowSize::nextReceiverHeight(double current, double measured) {
    return measured > 1.0 && std::abs(measured - current) > 1.0 ? measured : current;
}

} // namespace tavelin::ui
