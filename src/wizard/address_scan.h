// Finding e-mail addresses in address-book files whose layout is not known in
// detail: every run of text that has the form of an address counts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace km {

// The addresses in the text, in order: one or more of letters, digits, "-", "_"
// and "."; "@"; one or more of letters, digits, "-" and "_"; any number of letters,
// digits, "_", "." or "\"; a dot and a top-level part of two or more letters.
// Where several lengths would fit, the longest middle part that still leaves a
// top-level part wins, as a greedy regular expression chooses.
std::vector<std::string> scanAddresses(std::string_view text);

// The same over a binary file that may hold its texts as 8-bit or UTF-16LE
// characters.
std::vector<std::string> scanAddressesInBinary(std::string_view bytes);

// Appends the addresses the list does not hold yet (compared ignoring case).
void mergeAddresses(std::vector<std::string>& list, const std::vector<std::string>& more);

} // namespace km
