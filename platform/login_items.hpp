#pragma once

#include <optional>
#include <string>

namespace tavelin {

// The programs the desktop opens when the user logs in, as far as Tavelin is one of them.
// Called on the engine; answers before it returns.
class LoginItems {
public:
    virtual ~LoginItems() = default;
    // Whether the desktop opens Tavelin at the next login.
    virtual bool opensAtLogin() = 0;
    // Adds Tavelin to them or takes it out; on failure, the sentence for the user.
    virtual std::optional<std::string> setOpensAtLogin(bool open) = 0;
};

} // namespace tavelin
