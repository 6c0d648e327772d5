/*
 * Kestrelmail plug-in interface.
 *
 * A plug-in is a shared library in a sub-folder of the "plugins" folder beside the
 * program. Every export below is optional; the program calls the ones a library
 * offers, always with the C calling convention. Texts are NUL-terminated 8-bit
 * text. A message is named by its numeric handle; a body is passed as a readable
 * file descriptor (the temporary file that holds it, at its start, which the
 * plug-in must not close, or the read end of a pipe); an output handle is the
 * write end of a pipe, which the plug-in writes in full and closes before it
 * returns.
 *
 * The layouts of Verdict and KmSessionInfo are fixed: plug-ins read and change
 * them in place.
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

/*
 * The judgement of one message, 64 bytes. A message is spam exactly when isSpam is
 * set and isWhitelisted is not. Offsets 12 to 63 are the evidence record, copied
 * whole when a DNS blacklist decides.
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

/* Callback table A, passed to the filter calls. */
typedef struct KmCallbacksA {
  void (*checkEmailAddress)(uint32_t message, const char* address, int32_t gather, int32_t source,
                            const char* sourceText);
  void (*checkIpAddress)(uint32_t message, const uint8_t* ip, int32_t gather, int32_t source,
                         const char* sourceText);
  void (*checkHost)(uint32_t message, const char* host, int32_t gather, int32_t source,
                    const char* sourceText);
  /* Looks the host name up and judges the message by whether it resolves to one of
     the expected addresses (count of them, 4 octets each). */
  void (*queueHostCheck)(uint32_t message, const char* host, const uint8_t* addresses,
                         int32_t count, int32_t kind, const uint32_t* waiterTemplate);
  /* The position after the first address in the text, copied to `out` (which must
     hold the whole text), or -1. */
  int32_t (*extractEmailAddress)(const char* text, char* out);
  /* The position after the first dotted address in the text, its 4 octets in
     `out`, or -1. */
  int32_t (*extractIpAddress)(const char* text, uint8_t* out);
  /* 1 and 32 lower-case hex digits in `out` (at least 33 bytes), or 0 and "". */
  int32_t (*messageFingerprint)(uint32_t message, char* out);
} KmCallbacksA;

/* Callback table B, in the session information. */
typedef struct KmCallbacksB {
  int32_t (*extractEmailAddress)(const char* text, char* out);
  int32_t (*extractIpAddress)(const char* text, uint8_t* out);
  int32_t (*messageFingerprint)(uint32_t message, char* out);
  void (*setMessageProperty)(uint32_t message, const char* name, int32_t value);
  void (*removeMessageProperty)(uint32_t message, const char* name);
  int32_t (*getMessageProperty)(uint32_t message, const char* name);
  int32_t (*isIpWhite)(uint32_t message, const uint8_t* ip);
  void (*logFormatted)(uint32_t message, int32_t level, const char* format, ...);
  void (*logText)(uint32_t message, int32_t level, const char* text);
  void (*reserved)(void);
} KmCallbacksB;

/* What sessionStart and sessionEnd receive. */
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

/* The exports, as function types. */
typedef int32_t (*KmCheckKestrelmailVersion)(const char* hostVersion);
typedef const char* (*KmGetPluginText)(void); /* getPluginName, getPluginVersion, ... */
typedef KmPluginData (*KmLoadConfig)(const char* configFolder); /* ends in "/" */
typedef void (*KmReleaseConfig)(KmPluginData data);
typedef void (*KmGetPluginCapabilities)(KmPluginData data, uint32_t* words /* 5 */);
typedef void (*KmSessionEvent)(const KmSessionInfo* session, KmPluginData data);
typedef void (*KmFetchEvent)(uint32_t message, Verdict* verdict, KmPluginData data);
typedef void (*KmFilterOnMessageHeaders)(const char* const* lines, int32_t count, uint32_t message,
                                         Verdict* verdict, KmPluginData data,
                                         const KmCallbacksA* callbacks);
typedef void (*KmFilterOnEmailAddress)(const char* address, int32_t kind, uint32_t message,
                                       Verdict* verdict, KmPluginData data,
                                       const KmCallbacksA* callbacks);
typedef void (*KmFilterOnHost)(const char* host, uint32_t message, Verdict* verdict,
                               KmPluginData data, const KmCallbacksA* callbacks);
typedef void (*KmFilterOnIpAddress)(const uint8_t* ip, uint32_t message, Verdict* verdict,
                                    KmPluginData data, const KmCallbacksA* callbacks);
typedef int32_t (*KmIgnoreIpAddress)(const uint8_t* ip, uint32_t message, Verdict* verdict,
                                     KmPluginData data);
/* requireBodyFiltering, requireBodyRewriting, requireHeaderRewriting */
typedef int32_t (*KmRequireFromHeaders)(const char* const* lines, int32_t count, uint32_t message,
                                        Verdict* verdict, KmPluginData data);
typedef int32_t (*KmMinBodyBytesRequired)(int32_t phase, const char* const* lines, int32_t count,
                                          uint32_t message, Verdict* verdict, KmPluginData data);
typedef void (*KmFilterOnMessageBody)(const char* const* lines, int32_t count, int body,
                                      uint32_t message, Verdict* verdict, KmPluginData data,
                                      const KmCallbacksA* callbacks);
typedef void (*KmRewriteMessageBody)(const char* const* lines, int32_t count, int body, int output,
                                     uint32_t message, Verdict* verdict, KmPluginData data);
/* getMessageBodyPrefix, getAddedHeaderLines: the bytes needed including the NUL;
   called again with a larger buffer when that exceeds `size`. */
typedef int32_t (*KmFillBuffer)(uint32_t message, Verdict* verdict, KmPluginData data, char* buffer,
                                int32_t size);
typedef void (*KmRewriteMessageHeaders)(const char* const* lines, int32_t count,
                                        int32_t firstChangeable, int output, uint32_t message,
                                        Verdict* verdict, KmPluginData data);
typedef int32_t (*KmGetMaxBytesToAdd)(KmPluginData data);
typedef void (*KmProcessedMessage)(const char* const* lines, int32_t count, int body,
                                   uint32_t message, Verdict* verdict, KmPluginData data);
typedef void (*KmHousekeeping)(KmPluginData data, const volatile int32_t* closing);

#ifdef __cplusplus
}
#endif

#endif /* KESTRELMAIL_PLUGIN_H */
