#include "platform/port_probe.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/errors.h"

namespace km {

int probeListenPort(const std::array<uint8_t, 4>& address, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    return socketErrorFromErrno(errno);
  }
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(port));
  std::memcpy(&where.sin_addr, address.data(), 4);
  int result = ::bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0
                   ? 0
                   : socketErrorFromErrno(errno);
  ::close(fd);
  return result;
}

} // namespace km
