#pragma once

#include <string>
#include <string_view>

namespace tavelin {

// The offer without the ICE candidates whose address is a name instead of an IP address.
// Browsers hide their host addresses behind random mDNS names ("<uuid>.local"); the ICE
// agent would hand each name to the system resolver, which on most hosts asks the
// network's DNS server (telling it the receiver's names) and keeps the agent and its
// sockets alive until the lookup gives up, seconds after the connection has closed. The
// receiver reaches us anyway: its connectivity checks arrive from its real address, which
// the agent learns from them. Every other line stays as it is, with its line ending.
std::string withoutNamedCandidates(std::string_view offerSDP);

} // namespace tavelin
