// The judgement of a message (the Verdict record plug-ins share, see
// kestrelmail/plugin.h) and its printed label.
#pragma once

#include <kestrelmail/plugin.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace km {

// The final decision: spam exactly when isSpam is set and isWhitelisted is not.
inline bool isSpamVerdict(const Verdict& verdict) {
  return verdict.isSpam != 0 && verdict.isWhitelisted == 0;
}

// Replaces the evidence record: where the evidence came from, why, and for source
// KM_SOURCE_OTHER the caller's text (at most 7 characters are kept).
void setVerdictEvidence(Verdict& verdict, int32_t source, int32_t reason,
                        std::string_view sourceText);

// The texts held inside the record, read within their fields whatever a plug-in
// wrote there.
std::string verdictSourceText(const Verdict& verdict);
std::string verdictPatternText(const Verdict& verdict);
// Stores an inline pattern text (reason 8, DNSBL time-out), cut to fit.
void setVerdictPatternText(Verdict& verdict, std::string_view text);

// "SPAM" or "PASS", then the reason: " BLIST EMAIL", " WLIST 192.0.2.1",
// " A-WLIST EMAIL", " <DNSBL name> 192.0.2.1", " <text>"; " BODY" or the source
// text when the evidence came from the body or elsewhere. A DNSBL time-out reads
// " TIME-OUT <open queries>". At most kLongestVerdictLabel characters: a long
// DNSBL name is cut to make room for the rest.
inline constexpr size_t kLongestVerdictLabel = 34;
std::string VerdictLabel(bool isSpam, const Verdict& verdict);

} // namespace km
