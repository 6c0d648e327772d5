// The rules of the SMTP dialogue that need no connection: addresses, the EHLO
// filter, the Received line, relay permission and refusal texts, and the user
// names of AUTH.
#include <algorithm>
#include <array>

#include "config/lists.h"
#include "filter/auto_whitelist.h"
#include "filter/verdict.h"
#include "platform/lang.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/version.h"
#include "smtp/smtp.h"

namespace km {

namespace {

bool isControl(char c) {
  return static_cast<unsigned char>(c) < 32;
}

// The text up to its first control byte.
std::string_view untilControl(std::string_view text) {
  size_t end = 0;
  while (end < text.size() && !isControl(text[end])) {
    ++end;
  }
  return text.substr(0, end);
}

constexpr std::array<std::string_view, 11> kPassedExtensions = {
    "AUTH", "VRFY", "TURN",       "8BITMIME", "ATRN", "ENHANCEDSTATUSCODES",
    "EXPN", "HELP", "PIPELINING", "RSET",     "SIZE"};

constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
  size_t at = kBase64Alphabet.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// The answer without its line end and surrounding blanks.
std::string_view answerText(std::string_view answer) {
  size_t start = answer.find_first_not_of(" \t");
  if (start == std::string_view::npos) {
    return {};
  }
  size_t end = answer.find_last_not_of(" \t\r\n");
  return answer.substr(start, end - start + 1);
}

} // namespace

std::string extractSmtpAddress(std::string_view line, size_t commandLength) {
  std::string_view rest = line.substr(std::min(commandLength, line.size()));
  size_t open = rest.find('<');
  if (open != std::string_view::npos) {
    rest.remove_prefix(open + 1);
  } else {
    size_t start = rest.find_first_not_of(' ');
    rest.remove_prefix(start == std::string_view::npos ? rest.size() : start);
  }
  rest = untilControl(rest);
  return std::string(rest.substr(0, rest.find('>')));
}

std::optional<std::string> heloArgument(std::string_view line) {
  if (line.size() <= 4) {
    return std::nullopt;
  }
  return std::string(untilControl(line.substr(5)));
}

bool ehloLinePasses(std::string_view line, bool firstLine) {
  if (firstLine || line.size() < 5 || line.substr(0, 3) != "250") {
    return true;
  }
  std::string_view word = line.substr(4);
  for (std::string_view extension : kPassedExtensions) {
    if (startsWithIgnoreCase(word, extension)) {
      return true;
    }
  }
  return false;
}

std::string receivedDate(std::time_t when) {
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) {
    return "???";
  }
  std::string zone = "+????";
  if (local.tm_zone != nullptr) {
    long offsetMinutes = local.tm_gmtoff / 60;
    long magnitude = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    zone =
        formatText(offsetMinutes < 0 ? "-%02d%02d" : "+%02d%02d", {magnitude / 60, magnitude % 60});
  }
  const char* month =
      local.tm_mon >= 0 && local.tm_mon < 12 ? kMonths[static_cast<size_t>(local.tm_mon)] : "???";
  return formatText("%02d %s %04d %02d:%02d:%02d %s",
                    {local.tm_mday, month, local.tm_year + 1900, local.tm_hour, local.tm_min,
                     local.tm_sec, zone});
}

std::string formatReceivedLine(std::string_view heloName, const Ipv4Address& client,
                               const Ipv4Address& listenAddress, bool esmtp,
                               std::string_view sender, std::string_view date) {
  return formatText("Received: from %s ([%d.%d.%d.%d])\r\n\tby [%d.%d.%d.%d] with %s "
                    "(Kestrelmail v%s)\r\n\tsender <%s>; %s\r\n",
                    {std::string(heloName), client[0], client[1], client[2], client[3],
                     listenAddress[0], listenAddress[1], listenAddress[2], listenAddress[3],
                     esmtp ? "ESMTP" : "SMTP", kProgramVersion, std::string(sender),
                     std::string(date)});
}

RecipientRefusal recipientRefusal(std::string_view recipient, bool localRecipient,
                                  bool trustedClient) {
  if (trustedClient) {
    return RecipientRefusal::None;
  }
  if (!localRecipient) {
    return RecipientRefusal::NoPermission;
  }
  bool routing = recipient.find_first_of("!%\"") != std::string_view::npos;
  bool severalAts = std::count(recipient.begin(), recipient.end(), '@') > 1;
  return routing || severalAts ? RecipientRefusal::RelayExploit : RecipientRefusal::None;
}

std::string_view recipientRefusalReply(RecipientRefusal refusal) {
  switch (refusal) {
  case RecipientRefusal::NoPermission:
    return "550 5.7.1 You have no permission to relay for that address.\r\n";
  case RecipientRefusal::RelayExploit:
    return "550 5.7.1 Open relay exploit detected in RCPT TO address.\r\n";
  case RecipientRefusal::None:
    break;
  }
  return {};
}

std::string senderRefusalReply(const Verdict& verdict, bool addressCheckDecided,
                               const Config& config) {
  if (addressCheckDecided && verdict.reason == KM_REASON_BLIST_EMAIL) {
    return "501 5.7.1 Your email address has been locally blacklisted; you have no permission "
           "to send.\r\n";
  }
  if (!addressCheckDecided && verdict.reason == KM_REASON_BLIST_IP) {
    return "501 5.7.1 Your I.P. address has been locally blacklisted; you have no permission "
           "to send.\r\n";
  }
  if (!addressCheckDecided && verdict.reason == KM_REASON_DNSBL) {
    std::string name = verdict.pattern.entry != nullptr ? verdict.pattern.entry : "";
    std::string website;
    for (const DnsblList& list : config.dnsblLists) {
      if (list.name == name) {
        website = list.website;
        break;
      }
    }
    return formatText(
        "501 5.7.1 Your I.P. address is listed by %s (%s); you have no permission to send.\r\n",
        {name, website});
  }
  return formatText("501 5.7.1 Your message has been rejected by Kestrelmail for this reason: "
                    "%s\r\n",
                    {VerdictLabel(isSpamVerdict(verdict), verdict)});
}

bool recipientToAutoWhitelist(const Config& config, std::string_view recipient) {
  return !recipient.empty() && !IsAutoWhiteAddress(config, recipient) &&
         !patternsMatch(config.whitelistEmail, recipient) &&
         !patternsMatch(config.neverAutoWhitelist, recipient);
}

std::string recipientNote(std::string_view sender, std::time_t when) {
  std::tm local{};
  char stamp[64] = "";
  if (localtime_r(&when, &local) != nullptr) {
    std::strftime(stamp, sizeof stamp, "%x %H:%M", &local);
  }
  return formatText(languageText(kTextSmtpRecipientNote), {std::string(sender), stamp});
}

std::string_view smtpCommandColumnText(std::string_view line) {
  // Up to the first control byte or byte above 127, at most 63 bytes.
  size_t end = 0;
  while (end < line.size() && end < 63 && static_cast<signed char>(line[end]) >= 32) {
    ++end;
  }
  line = line.substr(0, end);
  if (startsWithIgnoreCase(line, "AUTH ")) {
    // The mechanism, never the initial response that follows it.
    size_t mechanismEnd = line.find(' ', line.find_first_not_of(' ', 5));
    return line.substr(0, mechanismEnd);
  }
  return line;
}

std::string withoutServerName(std::string_view userName) {
  size_t separator = userName.find_last_of("@%/");
  if (separator == std::string_view::npos || separator == 0) {
    return std::string(userName);
  }
  return std::string(userName.substr(0, separator));
}

std::optional<std::string> plainResponseWithoutServerName(std::string_view answer) {
  std::optional<std::string> decoded = base64Decode(answerText(answer));
  if (!decoded) {
    return std::nullopt;
  }
  // authorisation identity NUL user name NUL password
  size_t first = decoded->find('\0');
  size_t second = first == std::string::npos ? first : decoded->find('\0', first + 1);
  if (second == std::string::npos) {
    return std::nullopt;
  }
  std::string authorisation = decoded->substr(0, first);
  std::string user = decoded->substr(first + 1, second - first - 1);
  std::string stripped = withoutServerName(user);
  if (stripped == user) {
    return std::nullopt;
  }
  // An authorisation identity that names the same user loses the server too.
  if (authorisation == user) {
    authorisation = stripped;
  }
  std::string changed = authorisation + '\0' + stripped + decoded->substr(second);
  return base64Encode(changed) + "\r\n";
}

std::optional<std::string> loginUserWithoutServerName(std::string_view answer) {
  std::optional<std::string> user = base64Decode(answerText(answer));
  if (!user) {
    return std::nullopt;
  }
  std::string stripped = withoutServerName(*user);
  if (stripped == *user) {
    return std::nullopt;
  }
  return base64Encode(stripped) + "\r\n";
}

std::string base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (i + 1 < bytes.size()) {
      group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    }
    if (i + 2 < bytes.size()) {
      group |= static_cast<unsigned char>(bytes[i + 2]);
    }
    out += kBase64Alphabet[(group >> 18) & 63];
    out += kBase64Alphabet[(group >> 12) & 63];
    out += i + 1 < bytes.size() ? kBase64Alphabet[(group >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kBase64Alphabet[group & 63] : '=';
  }
  return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
  text = answerText(text);
  while (!text.empty() && text.back() == '=') {
    text.remove_suffix(1);
  }
  if (text.size() % 4 == 1) {
    return std::nullopt;
  }
  std::string out;
  uint32_t group = 0;
  int bits = 0;
  for (char c : text) {
    int value = base64Value(c);
    if (value < 0) {
      return std::nullopt;
    }
    group = (group << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((group >> bits) & 0xFF);
    }
  }
  return out;
}

} // namespace km
