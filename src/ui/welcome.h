// The welcome window's work: on a first start the two generic proxy ports are made,
// a DNSBL scheme is chosen and the first-run mode ends. When nobody opens the
// window (a headless start), its first page does the work by itself, exactly as if
// the window had been opened and closed on that page; the welcome pages then go on
// from there (scheme, extras, finish) when the user opens them.
//
// State: the welcome's progress (whether it is open, the port texts, the chosen
// scheme), under its own mutex; the configuration changes go through updateConfig.
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

// The plug-ins the extras page offers.
inline constexpr const char* kPatternPluginName = "patternsieve";
inline constexpr const char* kLinkPluginName = "linkscan";

struct WelcomeExtras {
  bool countryLists = false;
  bool patternPlugin = false; // only when it is installed
  bool linkPlugin = false;
  bool patternPluginInstalled = false;
  bool linkPluginInstalled = false;
};

struct WelcomeState {
  bool open = false; // from the first-run start until Finish
  std::vector<std::string> portTexts;
  DnsblScheme scheme = DnsblScheme::Medium;
};

WelcomeState welcomeState();

// Clicking a scheme: the scheme's lists enabled and the configuration written.
void chooseWelcomeScheme(DnsblScheme scheme);

// The extras page as it opens for the chosen scheme: the country lists ticked
// from the medium scheme on, the pattern plug-in ticked with the aggressive one,
// the link plug-in always ticked; plug-ins that are not installed are neither
// offered nor ticked.
WelcomeExtras prepareWelcomeExtras(DnsblScheme scheme);

// Finish: the ticked extras appended (the country lists CHI-KOR, H-KONG and
// TAIWAN, the installed plug-ins), the configuration written; the welcome ends.
void finishWelcome(const WelcomeExtras& chosen);

} // namespace km
