// Random bytes from the kernel, for secrets such as the pages' per-run token.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace km {

// `byteCount` random bytes as lower-case hexadecimal digits (twice as many
// characters); nothing when the kernel could not supply them.
std::optional<std::string> randomHexToken(size_t byteCount);

} // namespace km
