// Finding out whether a TCP port can be listened on.
#pragma once

#include <array>
#include <cstdint>

namespace km {

// Binds a TCP socket to the IPv4 address and port and closes it again. Returns 0
// when the bind worked, else the socket error code of the failure.
int probeListenPort(const std::array<uint8_t, 4>& address, int port);

} // namespace km
