#include "app/model.hpp"

#include "core/log.hpp"

namespace tavelin {

void AppModel::setOpenAtLogin(bool open) {
    if (!loginItems_) return;
    auto failure = loginItems_->setOpensAtLogin(open);
    if (failure) log::error(*failure);
    openAtLoginError.set(std::move(failure));
    refreshOpenAtLogin();
}

void AppModel::refreshOpenAtLogin() {
    if (loginItems_) openAtLogin.set(loginItems_->opensAtLogin());
}

} // namespace tavelin
