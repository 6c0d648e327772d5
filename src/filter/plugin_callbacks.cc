// The two tables of host functions plug-ins call back through, and the message
// fingerprint. A plug-in names a message by its handle; a handle that no live
// message has does nothing (and answers nothing).
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "filter/address_scan.h"
#include "filter/dnsbl.h"
#include "filter/dnsbl_queries.h"
#include "filter/pipeline.h"
#include "filter/plugin_calls.h"
#include "message/message.h"
#include "platform/md5.h"
#include "platform/text.h"

namespace km {

// The numbers of the plug-in interface are the program's own.
static_assert(KM_HOST_CHECK_SPAM == static_cast<int32_t>(DnsblQueryKind::Listing));
static_assert(KM_HOST_CHECK_WHITE == static_cast<int32_t>(DnsblQueryKind::Whitelisting));
static_assert(KM_HOST_CHECK_PROVIDER == static_cast<int32_t>(DnsblQueryKind::Provider));
static_assert(KM_CAPABILITIES_WANTING_ALL_ANSWERS == kCapabilitiesWantingAllAnswers);
static_assert(KM_CAPABILITY_ANSWERS_WHEN_WHITE == kCapabilityWantsAnswersWhenWhite);
static_assert(KM_LOG_MINIMAL == static_cast<int32_t>(LogLevel::Minimal));
static_assert(KM_LOG_EXTREME == static_cast<int32_t>(LogLevel::Extreme));

namespace {

// Expected addresses a plug-in may hand to one host check.
constexpr int32_t kMostExpectedAddresses = 256;
constexpr size_t kFingerprintHexDigits = 32;

Message* liveMessage(uint32_t handle) {
  PluginMessageContext* context = LookupMessage(handle);
  return context == nullptr ? nullptr : context->message;
}

std::string_view textOrEmpty(const char* text) {
  return text == nullptr ? std::string_view() : std::string_view(text);
}

Ipv4Address octets(const uint8_t* ip) {
  return Ipv4Address{ip[0], ip[1], ip[2], ip[3]};
}

void checkEmailAddressFor(uint32_t handle, const char* address, int32_t gather, int32_t source,
                          const char* sourceText) {
  Message* message = liveMessage(handle);
  if (message != nullptr && address != nullptr) {
    CheckEmailAddress(*message, address, gather != 0, source, textOrEmpty(sourceText),
                      KM_ADDRESS_FROM_PLUGIN);
  }
}

void checkIpAddressFor(uint32_t handle, const uint8_t* ip, int32_t gather, int32_t source,
                       const char* sourceText) {
  Message* message = liveMessage(handle);
  if (message != nullptr && ip != nullptr) {
    CheckIpAddress(*message, octets(ip), gather != 0, source, textOrEmpty(sourceText));
  }
}

void checkHostFor(uint32_t handle, const char* host, int32_t gather, int32_t source,
                  const char* sourceText) {
  Message* message = liveMessage(handle);
  if (message != nullptr && host != nullptr) {
    CheckHost(*message, host, gather != 0, source, textOrEmpty(sourceText));
  }
}

void queueHostCheckFor(uint32_t handle, const char* host, const uint8_t* addresses, int32_t count,
                       int32_t kind, const Verdict* evidence) {
  Message* message = liveMessage(handle);
  bool knownKind =
      kind == KM_HOST_CHECK_SPAM || kind == KM_HOST_CHECK_WHITE || kind == KM_HOST_CHECK_PROVIDER;
  if (message == nullptr || host == nullptr || evidence == nullptr || !knownKind || count < 0 ||
      count > kMostExpectedAddresses || (count > 0 && addresses == nullptr)) {
    return;
  }
  std::vector<Ipv4Address> expected;
  for (int32_t i = 0; i < count; ++i) {
    expected.push_back(octets(addresses + 4 * i));
  }
  queueHostCheck(*message, host, expected, static_cast<DnsblQueryKind>(kind), *evidence);
}

int32_t extractEmailAddressFor(const char* text, char* out) {
  if (text == nullptr || out == nullptr) {
    return -1;
  }
  size_t next = 0;
  std::optional<std::string_view> address = ExtractEmailAddress(text, 0, next);
  if (!address) {
    out[0] = '\0';
    return -1;
  }
  // The address is part of the text, so a buffer that holds the text holds it.
  std::memcpy(out, address->data(), address->size());
  out[address->size()] = '\0';
  return static_cast<int32_t>(next);
}

int32_t extractIpAddressFor(const char* text, uint8_t* out) {
  if (text == nullptr || out == nullptr) {
    return -1;
  }
  size_t next = 0;
  std::optional<Ipv4Address> ip = ExtractIpAddress(text, 0, next);
  if (!ip) {
    return -1;
  }
  std::copy(ip->begin(), ip->end(), out);
  return static_cast<int32_t>(next);
}

int32_t fingerprintFor(uint32_t handle, char* out) {
  if (out == nullptr) {
    return 0;
  }
  Message* message = liveMessage(handle);
  std::string digest = message == nullptr ? std::string() : messageFingerprint(*message);
  std::memcpy(out, digest.c_str(), digest.size() + 1);
  return digest.empty() ? 0 : 1;
}

void setPropertyFor(uint32_t handle, const char* name, int32_t value) {
  if (name != nullptr) {
    setMessageProperty(handle, name, value);
  }
}

void removePropertyFor(uint32_t handle, const char* name) {
  if (name != nullptr) {
    removeMessageProperty(handle, name);
  }
}

int32_t propertyFor(uint32_t handle, const char* name) {
  return name == nullptr ? 0 : messageProperty(handle, name);
}

int32_t isIpWhiteFor(uint32_t handle, const uint8_t* ip) {
  Message* message = liveMessage(handle);
  return message != nullptr && ip != nullptr && IsIpWhite(*message, octets(ip)) ? 1 : 0;
}

void logTextFor(uint32_t handle, int32_t level, const char* text) {
  Message* message = liveMessage(handle);
  if (message == nullptr || text == nullptr || message->sessionLog == nullptr) {
    return;
  }
  auto bounded = static_cast<LogLevel>(std::clamp(level, KM_LOG_MINIMAL, KM_LOG_EXTREME));
  logMessageLine(*message->sessionLog, message->log, bounded, "%s", {std::string_view(text)});
}

// The plug-in's own printf format: its arguments are its business.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void logFormattedFor(uint32_t handle, int32_t level, const char* format, ...) {
  if (format == nullptr) {
    return;
  }
  char text[kMaxLogText + 1];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  logTextFor(handle, level, text);
}
#pragma GCC diagnostic pop

void reservedEntry() {}

const KmCallbacksA kCallbacksA = {
    checkEmailAddressFor,   checkIpAddressFor,   checkHostFor,   queueHostCheckFor,
    extractEmailAddressFor, extractIpAddressFor, fingerprintFor,
};

const KmCallbacksB kCallbacksB = {
    extractEmailAddressFor, extractIpAddressFor, fingerprintFor,
    setPropertyFor,         removePropertyFor,   propertyFor,
    isIpWhiteFor,           logFormattedFor,     logTextFor,
    reservedEntry,
};

void appendPrintable(std::string& to, std::string_view text) {
  for (char c : text) {
    to += static_cast<unsigned char>(c) < 32 ? '_' : c;
  }
}

} // namespace

const KmCallbacksA* pluginCallbacksA() {
  return &kCallbacksA;
}

const KmCallbacksB* pluginCallbacksB() {
  return &kCallbacksB;
}

std::string messageFingerprint(const Message& message) {
  std::string text;
  for (const std::string& line : message.pristineHeaderLines) {
    if (startsWithIgnoreCase(line, "Message-ID") || startsWithIgnoreCase(line, "From:") ||
        startsWithIgnoreCase(line, "Date:")) {
      size_t colon = line.find(':');
      if (colon != std::string::npos) {
        appendPrintable(text, std::string_view(line).substr(colon));
      }
    }
  }
  if (text.empty()) {
    for (const std::string& line : message.pristineHeaderLines) {
      if (!startsWithIgnoreCase(line, "Subject:") && !startsWithIgnoreCase(line, "X")) {
        appendPrintable(text, line);
      }
    }
  }
  if (text.empty()) {
    return {};
  }
  std::string digest = md5Hex(text);
  return digest.size() == kFingerprintHexDigits ? digest : std::string();
}

} // namespace km
