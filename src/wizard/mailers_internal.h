// The clients of the Mailer family, each made by its own file.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "wizard/mailer.h"

namespace km {

std::unique_ptr<Mailer> makeTheBatMailer(const MailerEnvironment& environment);
std::unique_ptr<Mailer> makeOutlookExpressMailer(const MailerEnvironment& environment);
std::unique_ptr<Mailer> makeIncredimailMailer(const MailerEnvironment& environment);
std::unique_ptr<Mailer> makeEudoraMailer(const MailerEnvironment& environment);
std::unique_ptr<Mailer> makeOutlook2000Mailer(const MailerEnvironment& environment);
std::unique_ptr<Mailer> makeOutlookXpMailer(const MailerEnvironment& environment);
std::unique_ptr<Mailer> makeThunderbirdMailer(const MailerEnvironment& environment);
std::unique_ptr<Mailer> makeClawsMailer(const MailerEnvironment& environment);

// The data folder (a Windows path) in Eudora's registered command line.
std::string eudoraDataFolder(std::string_view commandLine);

} // namespace km
