#include "config/list_index.h"

#include <algorithm>

#include "config/lists.h"
#include "platform/text.h"

namespace km {

namespace {

uint32_t toNumber(const Ipv4Address& a) {
  return (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
}

} // namespace

NetblockIndex::NetblockIndex(const std::vector<Netblock>& blocks) {
  std::vector<Range> sorted;
  sorted.reserve(blocks.size());
  for (const Netblock& block : blocks) {
    sorted.push_back({toNumber(block.low), toNumber(block.high)});
  }
  std::sort(sorted.begin(), sorted.end(),
            [](const Range& a, const Range& b) { return a.low < b.low; });
  for (const Range& range : sorted) {
    if (!ranges_.empty() &&
        (range.low <= ranges_.back().high || range.low - 1 == ranges_.back().high)) {
      ranges_.back().high = std::max(ranges_.back().high, range.high);
    } else {
      ranges_.push_back(range);
    }
  }
}

bool NetblockIndex::contains(const Ipv4Address& address) const {
  uint32_t value = toNumber(address);
  auto after = std::upper_bound(ranges_.begin(), ranges_.end(), value,
                                [](uint32_t v, const Range& r) { return v < r.low; });
  return after != ranges_.begin() && value <= std::prev(after)->high;
}

PatternIndex::PatternIndex(const std::vector<std::string>& patterns) : size_(patterns.size()) {
  for (size_t i = 0; i < patterns.size(); ++i) {
    const std::string& pattern = patterns[i];
    longest_ = std::max(longest_, pattern.size());
    size_t stars = static_cast<size_t>(std::count(pattern.begin(), pattern.end(), '*'));
    if (stars == 0) {
      keep(exact_, toLowerAscii(pattern), i);
    } else if (stars == 1 && pattern.front() == '*' && pattern.size() > 1 &&
               (pattern[1] == '@' || pattern[1] == '.')) {
      keep(tails_, toLowerAscii(pattern.substr(1)), i);
    } else if (stars == 1 && pattern.back() == '*' && pattern.size() > 1 &&
               pattern[pattern.size() - 2] == '@' && pattern.find('@') == pattern.size() - 2) {
      keep(heads_, toLowerAscii(pattern.substr(0, pattern.size() - 1)), i);
    } else {
      others_.emplace_back(i, pattern);
    }
  }
}

void PatternIndex::keep(std::unordered_map<std::string, size_t>& map, std::string key,
                        size_t index) {
  map.try_emplace(std::move(key), index); // the first of equal patterns counts
}

std::optional<size_t> PatternIndex::firstMatch(std::string_view address) const {
  std::optional<size_t> best;
  auto consider = [&](const std::unordered_map<std::string, size_t>& map, const std::string& key) {
    auto found = map.find(key);
    if (found != map.end() && (!best || found->second < *best)) {
      best = found->second;
    }
  };
  std::string lower = toLowerAscii(address);
  consider(exact_, lower);
  for (size_t i = 0; i < lower.size(); ++i) {
    if (lower[i] == '@' || lower[i] == '.') {
      if (!tails_.empty()) {
        consider(tails_, lower.substr(i));
      }
      if (lower[i] == '@' && !heads_.empty()) {
        consider(heads_, lower.substr(0, i + 1));
      }
    }
  }
  for (const auto& [index, pattern] : others_) {
    if (best && index > *best) {
      break;
    }
    if (MatchEmailPattern(pattern, address)) {
      return index;
    }
  }
  return best;
}

} // namespace km
