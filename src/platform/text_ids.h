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
  X(kTextSocketErrorLine, 20100)                                                                   \
  X(kTextSocketNoErrorCode, 20101)                                                                 \
  X(kTextSocketAccessDenied, 20102)                                                                \
  X(kTextSocketAddressInUse, 20103)                                                                \
  X(kTextSocketAddressNotAvailable, 20104)                                                         \
  X(kTextSocketNetworkDown, 20105)                                                                 \
  X(kTextSocketNetworkUnreachable, 20106)                                                          \
  X(kTextSocketConnectionReset, 20107)                                                             \
  X(kTextSocketNoBufferSpace, 20108)                                                               \
  X(kTextSocketTimedOut, 20109)                                                                    \
  X(kTextSocketConnectionRefused, 20110)                                                           \
  X(kTextSocketHostNotFound, 20111)                                                                \
  X(kTextSocketNamedError, 20112)                                                                  \
  X(kTextSocketNumberedError, 20113)                                                               \
  X(kTextSocketCreateFailedTitle, 20120)                                                           \
  X(kTextPortUnavailable, 20121)                                                                   \
  X(kTextListenFailedTitle, 20122)                                                                 \
  X(kTextNotificationFailedTitle, 20123)                                                           \
  X(kTextAcceptFailedTitle, 20124)                                                                 \
  X(kTextModeChangeFailedTitle, 20125)                                                             \
  X(kTextRefusedConnectionLog, 20126)                                                              \
  X(kTextRefusedConnection, 20127)                                                                 \
  X(kTextPortChoiceTitle, 20128)                                                                   \
  X(kTextPortChoiceQuestion, 20129)                                                                \
  X(kTextPortChoicePop3Specific, 20130)                                                            \
  X(kTextPortChoicePop3Generic, 20131)                                                             \
  X(kTextPortChoiceImap4Specific, 20132)                                                           \
  X(kTextPortChoiceImap4Generic, 20133)                                                            \
  X(kTextPortChoiceSmtpSpecific, 20134)                                                            \
  X(kTextRememberPortChoice, 20135)                                                                \
  X(kTextExitQuestion, 20140)                                                                      \
  X(kTextDoNotAskAgain, 20141)                                                                     \
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
  X(kTextLogSessionEnd, 20228)                                                                     \
  X(kTextPop3ClientErrorTitle, 20400)                                                              \
  X(kTextPop3ServerErrorTitle, 20401)                                                              \
  X(kTextPop3ClientReadErrorTitle, 20402)                                                          \
  X(kTextPop3ProgramErrorTitle, 20403)                                                             \
  X(kTextPop3UserNeedsServer, 20404)                                                               \
  X(kTextPop3CannotResolve, 20405)                                                                 \
  X(kTextPop3CannotConnect, 20406)                                                                 \
  X(kTextPop3ApopWarning, 20407)                                                                   \
  X(kTextPop3SaslWarning, 20408)                                                                   \
  X(kTextDoNotShowAgain, 20409)                                                                    \
  X(kTextStatusResolving, 20410)                                                                   \
  X(kTextStatusConnecting, 20411)                                                                  \
  X(kTextStatusConnected, 20412)                                                                   \
  X(kTextStatusDisconnecting, 20413)                                                               \
  X(kTextStatusDisconnected, 20414)                                                                \
  X(kTextStatusApop, 20415)                                                                        \
  X(kTextStatusLoggingIn, 20416)                                                                   \
  X(kTextStatusReadingHeaders, 20417)                                                              \
  X(kTextStatusReceived, 20418)                                                                    \
  X(kTextStatusSendingRest, 20419)                                                                 \
  X(kTextStatusRerequesting, 20420)                                                                \
  X(kTextStatusSkipping, 20421)                                                                    \
  X(kTextStatusFinishing, 20422)                                                                   \
  X(kTextStatusAutoWhitelisting, 20423)                                                            \
  X(kTextLogPop3Server, 20424)                                                                     \
  X(kTextLogPop3User, 20425)                                                                       \
  X(kTextLogPop3Command, 20426)                                                                    \
  X(kTextPop3TlsFailed, 20427)                                                                     \
  X(kTextPrefetchThreadFailed, 20428)

enum TextId : int {
#define KM_TEXT_ID_ENUM(name, id) name = id,
  KM_TEXT_IDS(KM_TEXT_ID_ENUM)
#undef KM_TEXT_ID_ENUM
};

} // namespace km
