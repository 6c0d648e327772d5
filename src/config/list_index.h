// Fast lookups in the address and netblock lists. A list keeps its file order (the
// filters report which entry matched); the index answers "is it listed" and "which
// entry comes first" without walking every entry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/ipv4.h"

namespace km {

// The union of a list of netblocks as sorted, disjoint ranges.
class NetblockIndex {
public:
  NetblockIndex() = default;
  explicit NetblockIndex(const std::vector<Netblock>& blocks);

  bool contains(const Ipv4Address& address) const;
  size_t rangeCount() const { return ranges_.size(); }

private:
  struct Range {
    uint32_t low;
    uint32_t high;
  };
  std::vector<Range> ranges_;
};

// Patterns of an address list by shape: whole addresses, "*@domain" and "*.domain"
// tails, "user@*" heads, and the rest in order.
class PatternIndex {
public:
  PatternIndex() = default;
  explicit PatternIndex(const std::vector<std::string>& patterns);

  // Position in the list of the first pattern that matches the address.
  std::optional<size_t> firstMatch(std::string_view address) const;

  // How many patterns were indexed, and the length of the longest.
  size_t size() const { return size_; }
  size_t longestPattern() const { return longest_; }

private:
  void keep(std::unordered_map<std::string, size_t>& map, std::string key, size_t index);

  std::unordered_map<std::string, size_t> exact_; // lower-case address -> first index
  std::unordered_map<std::string, size_t> tails_; // lower-case "@domain" or ".domain"
  std::unordered_map<std::string, size_t> heads_; // lower-case "user@"
  std::vector<std::pair<size_t, std::string>> others_;
  size_t size_ = 0;
  size_t longest_ = 0;
};

} // namespace km
