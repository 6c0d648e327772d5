// The welcome window's work: on a first start the two generic proxy ports are made,
// a DNSBL scheme is chosen and the first-run mode ends. When nobody opens the
// window (a headless start), its first page does the work by itself, exactly as if
// the window had been opened and closed on that page.
#pragma once

#include <string>
#include <vector>

#include "config/config.h"

namespace km {

enum class DnsblScheme { Safe, Medium, Aggressive };

// Enables exactly the DNSBL definitions of the scheme, in definition order.
void chooseDnsblScheme(Config& config, DnsblScheme scheme);

// Opening the window on its first page: a generic POP3 and a generic IMAP4 port
// on free port numbers, IS_FIRST_RUN off, the configuration written and the
// listeners reopened; then the medium scheme, written too. Returns the text that
// says which port each protocol got. Runs on the main thread.
std::vector<std::string> welcomeNewUser();

} // namespace km
