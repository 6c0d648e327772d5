// What the wizard writes into the main program's configuration text: the SMTP
// port blocks of redirected accounts, their permission files, and the DNSBL lines
// of a protection level.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace km {

struct DnsblList;

enum class ProtectionLevel { Safe, Medium, Aggressive };

// Cuts every SMTP port block out of the configuration text, from its "PORT" line
// through its access-list line, with the empty lines around it. The listen ports
// of the cut blocks go to `removedPorts`.
std::string removeSmtpPortBlocks(std::string text, std::vector<int32_t>& removedPorts);

// The block for one redirected account, put in front of the configuration text.
std::string smtpPortBlock(int32_t port, std::string_view server);

// The listen ports of the PORT lines in the text.
std::vector<int32_t> configuredPorts(std::string_view text);

// The first port from `candidate` on that no port definition uses and that can be
// listened on. A port in `reusable` (one of the SMTP blocks just cut, which the
// main program may still hold open) is not tried.
int32_t nextFreeSmtpPort(int32_t candidate, const std::vector<int32_t>& taken,
                         const std::vector<int32_t>& reusable, std::string_view configText);

// The DNSBL lines of a level ("DNSBL <key> <description>"), in the order they are
// inserted. A key the definitions do not know is replaced by the list that
// declares it REPLACES it (with that list's name), or left out when none does; a
// key that came up before is left out.
std::vector<std::string> dnsblLinesForLevel(ProtectionLevel level,
                                            const std::vector<DnsblList>& lists);

// Inserts the lines, each at the end of the line holding CREATE_DEFAULT_IMAP4_PORT
// (else of the text's last line) and each beginning with CR LF, so they end up in
// the reverse order. Lines the wizard inserted earlier (any of `wizardLines` in
// that form) are taken out first; a list enabled by another DNSBL line is not
// inserted again.
std::string insertDnsblLines(std::string text, const std::vector<std::string>& lines,
                             const std::vector<std::string>& wizardLines);

// Creates port25_permissions_ip.txt ("127.0.0.1") and an empty
// port25_permissions_email.txt in the data directory. False with the reason.
bool writePermissionFiles(std::string& error);

} // namespace km
