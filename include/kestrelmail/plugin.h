/*
 * Kestrelmail plug-in interface (C99; no C++ needed).
 *
 * A plug-in is a shared library, "<name>.so", in a sub-folder of the "plugins"
 * folder beside the program (or of <prefix>/lib/kestrelmail/plugins when
 * installed): plugins/<folder>/<name>.so. Folders whose names start with "." are
 * skipped; of two libraries with the same name (ignoring case) the first found
 * counts. The plug-in's name is the file name cut at its last "."; a line
 * "ENABLED_PLUGIN <name> <display name>" in config.dat enables it, and enabled
 * plug-ins are called in the order of those lines.
 *
 * Every export below is optional: the program looks each one up by name (or the
 * same name with a leading "_") and calls the ones a library offers, with the C
 * calling convention. Export them with default visibility. Texts are
 * NUL-terminated 8-bit text; header lines end in CR LF.
 *
 * Lifetime:
 *   - checkKestrelmailVersion is called once, when the library is first loaded;
 *     an answer of 0 (or a library that cannot be loaded) switches the plug-in
 *     off until the program restarts.
 *   - loadConfig is called once per configuration (at the first session after
 *     start-up and after every reload of config.dat) with the plug-in's own folder
 *     in the data directory, "<data>/plugins/<name>/" (made for it). What it
 *     returns is passed back as `data` to every other call for that configuration,
 *     and to releaseConfig when the last session using that configuration ends.
 *     Two configurations may be alive at once, each with its own data.
 *   - Calls come from many session threads at once (and from the housekeeping
 *     run); a plug-in must be safe for concurrent calls about different messages.
 *
 * A message is named by its numeric handle, valid from fetchStart to fetchEnd.
 * The header lines handed over belong to the program: do not change or free them,
 * and do not keep the pointers after the call. A body handle is a readable file
 * descriptor: the temporary file that holds the body (at its start; do not close
 * it) or the read end of a pipe that the program fills (read as much as you want;
 * the program closes it after the call). An output handle is the write end of a
 * pipe: write the complete new body or header block and close it before
 * returning; a pipe left open is given up two seconds after the call returned,
 * and the activity log names the plug-in.
 *
 * A crash inside a plug-in ends the program with a crash report that names the
 * plug-in and the function it was in.
 */
#ifndef KESTRELMAIL_PLUGIN_H
#define KESTRELMAIL_PLUGIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KM_HOST_INTERFACE_VERSION "1.53"

/* Verdict.source: where the deciding evidence came from. */
#define KM_SOURCE_HEADERS 1
#define KM_SOURCE_BODY 2
#define KM_SOURCE_DNSBL_TIMEOUT 3
#define KM_SOURCE_OTHER 4 /* described by sourceText */

/* Verdict.reason */
#define KM_REASON_BLIST_EMAIL 1
#define KM_REASON_BLIST_IP 2
#define KM_REASON_WLIST_EMAIL 3
#define KM_REASON_WLIST_IP 4
#define KM_REASON_AWLIST_EMAIL 5
#define KM_REASON_AWLIST_IP 6
#define KM_REASON_DNSBL 7
#define KM_REASON_OTHER 8 /* described by pattern.text */

/* The header an e-mail address came from (filterOnEmailAddress). */
#define KM_ADDRESS_FROM 1
#define KM_ADDRESS_SENDER 2
#define KM_ADDRESS_REPLY_TO 3
#define KM_ADDRESS_MAIL_FROM 4 /* the sender an SMTP client names with MAIL FROM */
#define KM_ADDRESS_MAILING_LIST 5
#define KM_ADDRESS_RETURN_PATH 6
#define KM_ADDRESS_FROM_PLUGIN 128

/* KmSessionInfo.protocol */
#define KM_PROTOCOL_POP3 1
#define KM_PROTOCOL_IMAP4 2
#define KM_PROTOCOL_SMTP 3

/* The phase passed to minBodyBytesRequired. */
#define KM_PHASE_FETCH_START 1
#define KM_PHASE_BODY_FILTERING 50
#define KM_PHASE_PROCESSED 100

#define KM_SOURCE_TEXT_SIZE 8
#define KM_PATTERN_TEXT_SIZE 16

/* Levels of the activity log, for the logging callbacks of table B. */
#define KM_LOG_MINIMAL 0
#define KM_LOG_BASIC 1
#define KM_LOG_STANDARD 2
#define KM_LOG_VERBOSE 3
#define KM_LOG_EXTREME 4

/* getPluginCapabilities: five 32-bit words, combined (OR) over the enabled
   plug-ins. A plug-in without that export counts as 3, 3, 0, 0, 0. The DNS
   blacklist engine reads the fourth word (index 3): any of these bits keeps the
   host-name lookups of a message going after its verdict is known, and
   KM_CAPABILITY_ANSWERS_WHEN_WHITE keeps them going for a whitelisted message
   too. The other bits are reserved. */
#define KM_CAPABILITY_WORDS 5
#define KM_CAPABILITIES_WANTING_ALL_ANSWERS 0x3Au /* 0x02 | 0x08 | 0x10 | 0x20 */
#define KM_CAPABILITY_ANSWERS_WHEN_WHITE 0x20u

/* queueHostCheck: what a match of the looked-up host means. */
#define KM_HOST_CHECK_SPAM 0
#define KM_HOST_CHECK_WHITE 1
#define KM_HOST_CHECK_PROVIDER 2 /* a relay of the user's own provider: ignored */

/*
 * The judgement of one message, 64 bytes; filter calls receive a pointer to it and
 * may change it. A message is spam exactly when isSpam is set and isWhitelisted is
 * not. The label in the "X-Kestrelmail:" header is "SPAM" or "PASS" followed by
 * the reason: for KM_REASON_OTHER the text in pattern.text, then " BODY" for
 * KM_SOURCE_BODY or the sourceText for KM_SOURCE_OTHER (for example
 * "SPAM LOTTERY BODY"). Offsets 12 to 63 are the evidence record, copied whole
 * when a DNS blacklist (or a host check, queueHostCheck) decides.
 */
typedef struct Verdict {
  int32_t isSpam;                       /*  0 */
  int32_t isWhitelisted;                /*  4: overrides isSpam */
  int32_t bodyCheckWanted;              /*  8: body filtering wanted by plug-ins that do not say */
  int32_t source;                       /* 12: KM_SOURCE_... */
  int32_t reason;                       /* 16: KM_REASON_... */
  char sourceText[KM_SOURCE_TEXT_SIZE]; /* 20: for KM_SOURCE_OTHER, at most 7 characters */
  int32_t reserved;                     /* 28 */
  union {                               /* 32 */
    /* Reasons 1, 3 and 5: the list entry that matched; reason 7: the name of the DNS
       blacklist that listed the address. Owned by the program. */
    const char* entry;
    /* Reason 8 and KM_SOURCE_DNSBL_TIMEOUT: the text itself, NUL-terminated within
       the field. */
    char text[KM_PATTERN_TEXT_SIZE];
  } pattern;
  uint8_t ip[4];    /* 48: the relay address for reasons 2, 4, 6 and 7 */
  uint8_t rest[12]; /* 52 */
} Verdict;

typedef void* KmPluginData; /* what loadConfig returned for this configuration */

/*
 * Callback table A, passed to the filter calls (filterOnMessageHeaders,
 * filterOnEmailAddress, filterOnHost, filterOnIpAddress, filterOnMessageBody).
 * Call it only from within such a call, on its thread, with that call's message.
 */
typedef struct KmCallbacksA {
  /* Runs the program's own checks on an address, host or relay address found by
     the plug-in, as if the message had named it: the e-mail lists (the address
     reaches filterOnEmailAddress with kind KM_ADDRESS_FROM_PLUGIN), the netblock
     lists and DNS blacklists. `gather` non-zero also feeds auto-whitelisting;
     `source` (KM_SOURCE_...) and `sourceText` (for KM_SOURCE_OTHER, at most 7
     characters) go into the verdict when the check decides. */
  void (*checkEmailAddress)(uint32_t message, const char* address, int32_t gather, int32_t source,
                            const char* sourceText);
  void (*checkIpAddress)(uint32_t message, const uint8_t* ip, int32_t gather, int32_t source,
                         const char* sourceText);
  void (*checkHost)(uint32_t message, const char* host, int32_t gather, int32_t source,
                    const char* sourceText);
  /* Looks the host name up beside the DNS blacklist queries and judges the message
     by whether it resolves to one of the expected addresses (`count` of them, 4
     octets each; with none, any address matches). `kind` is KM_HOST_CHECK_...;
     on a match the evidence record of `evidence` (source, reason, sourceText,
     pattern, ip) is copied into the message's verdict. At most 256 addresses. */
  void (*queueHostCheck)(uint32_t message, const char* host, const uint8_t* addresses,
                         int32_t count, int32_t kind, const Verdict* evidence);
  /* The position after the first address in the text, copied to `out` (which must
     hold the whole text), or -1. */
  int32_t (*extractEmailAddress)(const char* text, char* out);
  /* The position after the first dotted address in the text, its 4 octets in
     `out`, or -1. */
  int32_t (*extractIpAddress)(const char* text, uint8_t* out);
  /* 1 and 32 lower-case hex digits in `out` (at least 33 bytes), or 0 and "". */
  int32_t (*messageFingerprint)(uint32_t message, char* out);
} KmCallbacksA;

/*
 * Callback table B, in the session information; the same table for every session,
 * so a plug-in may keep the pointer. Calls with a handle that no live message has
 * do nothing (and answer 0).
 */
typedef struct KmCallbacksB {
  int32_t (*extractEmailAddress)(const char* text, char* out);
  int32_t (*extractIpAddress)(const char* text, uint8_t* out);
  int32_t (*messageFingerprint)(uint32_t message, char* out);
  /* Named 32-bit values a plug-in attaches to a message; they vanish with it.
     Setting replaces the value of a name (compared exactly) or adds the name;
     getting an unknown name answers 0. */
  void (*setMessageProperty)(uint32_t message, const char* name, int32_t value);
  void (*removeMessageProperty)(uint32_t message, const char* name);
  int32_t (*getMessageProperty)(uint32_t message, const char* name);
  /* 1 when the relay address is on the white or auto-white list, or a plug-in
     asks to ignore it (ignoreIpAddress). */
  int32_t (*isIpWhite)(uint32_t message, const uint8_t* ip);
  /* A line in the message's session log, at a KM_LOG_... level (written when the
     configured level is at least that). */
  void (*logFormatted)(uint32_t message, int32_t level, const char* format, ...);
  void (*logText)(uint32_t message, int32_t level, const char* text);
  void (*reserved)(void); /* does nothing */
} KmCallbacksB;

/* What sessionStart and sessionEnd receive; valid for the call. */
typedef struct KmSessionInfo {
  const char* serverName; /* the port's server, or empty until the session knows it */
  int32_t protocol;       /* KM_PROTOCOL_... */
  const char* userName;   /* empty until the client logged in */
  uint32_t sessionHandle; /* from 1, never reused while the program runs */
  uint8_t clientAddress[4];
  const char* hostVersion; /* KM_HOST_INTERFACE_VERSION */
  const KmCallbacksB* callbacks;
  const void* portConfig; /* the program's own port definition; opaque */
} KmSessionInfo;

/*
 * The exports, as function types, each with the name(s) it is exported under and
 * when it is called. The calls about one message come in this order: fetchStart;
 * filterOnEmailAddress for the sender addresses, ignoreIpAddress and
 * filterOnIpAddress (or filterOnHost) for the relays of its Received lines;
 * filterOnMessageHeaders; requireBodyFiltering, minBodyBytesRequired and
 * filterOnMessageBody; requireBodyRewriting, rewriteMessageBody and
 * getMessageBodyPrefix; requireHeaderRewriting, rewriteMessageHeaders and
 * getAddedHeaderLines; after it was sent, processedMessage; fetchEnd.
 */

/* checkKestrelmailVersion(KM_HOST_INTERFACE_VERSION): 0 = not made for this host. */
typedef int32_t (*KmCheckKestrelmailVersion)(const char* hostVersion);
/* getPluginName (the display name), getPluginVersion (a decimal number such as
   "1.2", compared numerically by update checks), getPluginAuthor,
   getPluginHomepage, getPluginDescription. The text must stay valid. */
typedef const char* (*KmGetPluginText)(void);
/* loadConfig(folder): once per configuration; folder ends in "/". */
typedef KmPluginData (*KmLoadConfig)(const char* configFolder);
/* releaseConfig(data): the configuration that loaded `data` is gone. */
typedef void (*KmReleaseConfig)(KmPluginData data);
/* getPluginCapabilities(data, words): fill the zeroed KM_CAPABILITY_WORDS words. */
typedef void (*KmGetPluginCapabilities)(KmPluginData data, uint32_t* words);
/* sessionStart, sessionEnd: a client's session begins and ends. */
typedef void (*KmSessionEvent)(const KmSessionInfo* session, KmPluginData data);
/* fetchStart, fetchEnd: a message is created (before its headers are read) and
   destroyed. */
typedef void (*KmFetchEvent)(uint32_t message, Verdict* verdict, KmPluginData data);
/* filterOnMessageHeaders: the header stage, with every header field. */
typedef void (*KmFilterOnMessageHeaders)(const char* const* lines, int32_t count, uint32_t message,
                                         Verdict* verdict, KmPluginData data,
                                         const KmCallbacksA* callbacks);
/* filterOnEmailAddress: each sender address; kind is KM_ADDRESS_.... */
typedef void (*KmFilterOnEmailAddress)(const char* address, int32_t kind, uint32_t message,
                                       Verdict* verdict, KmPluginData data,
                                       const KmCallbacksA* callbacks);
/* filterOnHost: each relay named by a host name. */
typedef void (*KmFilterOnHost)(const char* host, uint32_t message, Verdict* verdict,
                               KmPluginData data, const KmCallbacksA* callbacks);
/* filterOnIpAddress: each relay address that is not white (4 octets). */
typedef void (*KmFilterOnIpAddress)(const uint8_t* ip, uint32_t message, Verdict* verdict,
                                    KmPluginData data, const KmCallbacksA* callbacks);
/* ignoreIpAddress: non-zero treats the relay address as white. */
typedef int32_t (*KmIgnoreIpAddress)(const uint8_t* ip, uint32_t message, Verdict* verdict,
                                     KmPluginData data);
/* requireBodyFiltering, requireBodyRewriting, requireHeaderRewriting: non-zero
   asks for filterOnMessageBody, rewriteMessageBody, rewriteMessageHeaders. Without
   requireBodyFiltering, a plug-in gets the body while the verdict is still open
   (or Verdict.bodyCheckWanted is set). */
typedef int32_t (*KmRequireFromHeaders)(const char* const* lines, int32_t count, uint32_t message,
                                        Verdict* verdict, KmPluginData data);
/* minBodyBytesRequired: how much of the body the plug-in needs in the phase
   (KM_PHASE_...), -1 for all of it. Without it: the port's body-filtering limit in
   KM_PHASE_BODY_FILTERING, else 0. */
typedef int32_t (*KmMinBodyBytesRequired)(int32_t phase, const char* const* lines, int32_t count,
                                          uint32_t message, Verdict* verdict, KmPluginData data);
/* filterOnMessageBody: the body stage; `body` is a body handle (read only). */
typedef void (*KmFilterOnMessageBody)(const char* const* lines, int32_t count, int body,
                                      uint32_t message, Verdict* verdict, KmPluginData data,
                                      const KmCallbacksA* callbacks);
/* rewriteMessageBody: read the body from `body`, write the whole new body to
   `output` and close it. */
typedef void (*KmRewriteMessageBody)(const char* const* lines, int32_t count, int body, int output,
                                     uint32_t message, Verdict* verdict, KmPluginData data);
/* getMessageBodyPrefix (text put before the body), getAddedHeaderLines (header
   lines, each ending in CR LF): write the text and its NUL into the buffer and
   answer the bytes needed including the NUL (0 for nothing); an answer larger than
   `size` gets a second call with room. Answers above 1 MB are left out. The
   prefix is only added to messages whose body a plug-in rewrites. */
typedef int32_t (*KmFillBuffer)(uint32_t message, Verdict* verdict, KmPluginData data, char* buffer,
                                int32_t size);
/* rewriteMessageHeaders: write the complete new header block (every line with its
   CR LF) to `output` and close it; lines before firstChangeable were already sent
   to the client and must be written unchanged. */
typedef void (*KmRewriteMessageHeaders)(const char* const* lines, int32_t count,
                                        int32_t firstChangeable, int output, uint32_t message,
                                        Verdict* verdict, KmPluginData data);
/* getMaxBytesToAdd: the most the plug-in adds to a message (prefix, header lines,
   rewriting); POP3 announces sizes grown by it. */
typedef int32_t (*KmGetMaxBytesToAdd)(KmPluginData data);
/* processedMessage: the message was sent; the pristine (as received) header lines
   and body, and the final verdict. */
typedef void (*KmProcessedMessage)(const char* const* lines, int32_t count, int body,
                                   uint32_t message, Verdict* verdict, KmPluginData data);
/* housekeeping: after a session ends, when an hour (or the DNS blacklist cache
   period, if shorter) has passed since the last run; `*closing` becomes 1 when
   the program is shutting down: stop early then. */
typedef void (*KmHousekeeping)(KmPluginData data, const volatile int32_t* closing);
/* hasPluginWindow, createPluginWindow: a window of the plug-in's own for the
   user interface (non-zero, and the window's handle). The options dialog exports
   createInfoDialog, createConfigDialog, saveConfigFromDialog and
   validateConfigDialog are reserved for it and not called by this version. */
typedef int32_t (*KmHasPluginWindow)(void);
typedef void* (*KmCreatePluginWindow)(KmPluginData data);
/* renderPluginPage: the plug-in's page among the program's pages, where its
   window would be on a desktop of old. A plug-in with this export is listed there.
   Writes an HTML fragment (markup and inline styles; the pages show it without
   running scripts or loading anything from elsewhere) into `html`, at most `size`
   bytes including a terminating NUL, and returns the fragment's whole length
   without the NUL. When that is `size` or more the host calls again with a buffer
   large enough (up to 1 MB); a negative answer means the plug-in has no page now.
   Called on any thread, with the data of the current configuration. */
typedef int32_t (*KmRenderPluginPage)(KmPluginData data, char* html, int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* KESTRELMAIL_PLUGIN_H */
