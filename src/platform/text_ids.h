// Ids of the texts in kestrelmail.lang. Ids below 20000 are the ones the program's
// interfaces have always used; ids from 20000 on name texts that had no fixed id.
#pragma once

namespace km {

#define KM_TEXT_IDS(X)                                                                             \
  X(kTextErrorTitle, 10000)                                                                        \
  X(kTextNoticeTitle, 10001)                                                                       \
  X(kTextInformationTitle, 10002)                                                                  \
  X(kTextOtherInstanceTitle, 10005)                                                                \
  X(kTextOtherInstanceRunning, 10006)                                                              \
  X(kTextSocketsUnavailable, 10010)                                                                \
  X(kTextStopWaitingForSessions, 10011)                                                            \
  X(kTextWaitingForDnsbl, 10033)                                                                   \
  X(kTextGenericPortFailed, 10037)                                                                 \
  X(kTextGenericPortCreated, 10039)                                                                \
  X(kTextGenericPortCreatedStandard, 10040)                                                        \
  X(kTextNoDnsblDefinitions, 10046)                                                                \
  X(kTextConfigUnreadable, 10047)                                                                  \
  X(kTextConfigUnwritable, 10048)                                                                  \
  X(kTextExtraListUnreadable, 10049)                                                               \
  X(kTextDnsblKeyTooLong, 10050)                                                                   \
  X(kTextDnsblKeyDuplicate, 10051)                                                                 \
  X(kTextUnknownDnsblKey, 10052)                                                                   \
  X(kTextPluginNotInstalled, 10053)                                                                \
  X(kTextBlacklistEmailComment, 10054)                                                             \
  X(kTextWhitelistIpComment, 10055)                                                                \
  X(kTextLanguageName, 10150)                                                                      \
  X(kTextSpamtrapFolder, 10178)                                                                    \
  X(kTextNewerConfigVersion, 10195)                                                                \
  X(kTextScattererWarning, 10196)                                                                  \
  X(kTextPortalOffer, 10284)                                                                       \
  X(kTextLogHostResolved, 10329)                                                                   \
  X(kTextLogDnsblAnswer, 10330)                                                                    \
  X(kTextLogDnsblNoAnswer, 10331)                                                                  \
  X(kTextDnsblListed, 10336)                                                                       \
  X(kTextDnsblNotListed, 10337)                                                                    \
  X(kTextLogDnsblCached, 10338)                                                                    \
  X(kTextLogHostNotResolved, 10341)                                                                \
  X(kTextNewPluginsInstalled, 10357)                                                               \
  X(kTextReplacementDnsbl, 10359)                                                                  \
  X(kTextPagemarkerTooOld, 10369)                                                                  \
  X(kTextReportTitle, 20001)                                                                       \
  X(kTextFileErrorTemplate, 20002)                                                                 \
  X(kTextRuntimeErrorTemplate, 20003)                                                              \
  X(kTextLogTitleAndMessage, 20004)                                                                \
  X(kTextLogRecoveredNote, 20005)                                                                  \
  X(kTextCrashTitle, 20010)                                                                        \
  X(kTextCrashExplanation, 20011)                                                                  \
  X(kTextCrashInPlugin, 20012)                                                                     \
  X(kTextAutoWhitelistUnwritable, 20020)                                                           \
  X(kTextOpenFileYourself, 20030)                                                                  \
  X(kTextCheckingHeaders, 20200)                                                                   \
  X(kTextCheckingWithPlugin, 20201)                                                                \
  X(kTextCheckingBodyWithPlugin, 20202)                                                            \
  X(kTextRewritingHeaders, 20203)                                                                  \
  X(kTextRewritingBody, 20204)                                                                     \
  X(kTextSendingHeaders, 20205)                                                                    \
  X(kTextSendingBody, 20206)                                                                       \
  X(kTextSendingBodySmtp, 20207)                                                                   \
  X(kTextPaddingImpossible, 20208)                                                                 \
  X(kTextLogMessageHeaders, 20210)                                                                 \
  X(kTextLogAddressWhite, 20211)                                                                   \
  X(kTextLogAddressAutoWhite, 20212)                                                               \
  X(kTextLogAddressBlack, 20213)                                                                   \
  X(kTextLogAddressUnlisted, 20214)                                                                \
  X(kTextLogRelayWhite, 20215)                                                                     \
  X(kTextLogRelayAutoWhite, 20216)                                                                 \
  X(kTextLogRelayIgnored, 20217)                                                                   \
  X(kTextLogRelayBlack, 20218)                                                                     \
  X(kTextLogRelayUnlisted, 20219)                                                                  \
  X(kTextLogHostLookup, 20220)                                                                     \
  X(kTextLogPluginRemovedWhitelisting, 20221)                                                      \
  X(kTextLogPluginWhitelisted, 20222)                                                              \
  X(kTextLogPluginMarkedSpam, 20223)                                                               \
  X(kTextLogPluginClearedSpam, 20224)                                                              \
  X(kTextLogVerdict, 20225)                                                                        \
  X(kTextLogSpamVerdict, 20226)                                                                    \
  X(kTextLogSessionStart, 20227)                                                                   \
  X(kTextLogSessionEnd, 20228)

enum TextId : int {
#define KM_TEXT_ID_ENUM(name, id) name = id,
  KM_TEXT_IDS(KM_TEXT_ID_ENUM)
#undef KM_TEXT_ID_ENUM
};

} // namespace km
