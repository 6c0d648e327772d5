/*
 * Kestrelmail update library interface.
 *
 * The program checks for newer DNSBL definitions (and, where a library offers
 * them, newer program versions and plug-in updates) through a shared library,
 * "updates.so" beside the program, loaded when a check runs and kept loaded for
 * the rest of the run. The library exports one function:
 *
 *     void checkForUpdates(KmUpdateCheckRequest* request);
 *
 * The program calls it on a thread of its own, at most one check at a time; it
 * returns when the check is over. The program relies only on this:
 *   - the two last-check fields then hold the times to remember (the program
 *     saves them);
 *   - new DNSBL definitions arrive through storeDnsblDefinitions, after which the
 *     program loads them without a restart;
 *   - plug-in codes learnt arrive through addKnownPluginCode.
 * How the library finds, compares and fetches updates is its own.
 *
 * The record keeps one order of fields for every platform. Integers are 32 bits;
 * pointers have their natural size, so on 64-bit Linux (x86-64, AArch64) the
 * byte offsets are those in the comments, and the record is 272 bytes. Fields
 * that name objects of other systems (window, icon and instance handles, a
 * language library) are NULL here. Texts are NUL-terminated 8-bit text; the
 * program owns every text and the record, which stay valid during the call.
 */
#ifndef KESTRELMAIL_UPDATES_H
#define KESTRELMAIL_UPDATES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Stores newly fetched DNSBL definitions: `date` is their LAST_UPDATED text,
 * `text` the definitions without that line. 1 on success, 0 on failure (the old
 * definitions then stay in use). */
typedef int32_t (*KmStoreDnsblDefinitions)(const char* date, const char* text);
/* The installed version of a plug-in: -1 when not installed, 0 when it states no
 * version, else the number its version text gives. */
typedef double (*KmInstalledPluginVersion)(const char* pluginName);
/* 1 when the plug-in is installed and the offered version is newer: numerically
 * higher, or numerically equal with a text that sorts after the installed one
 * (ignoring case); else 0. */
typedef int32_t (*KmPluginUpdateIsNewer)(const char* pluginName, const char* offeredVersion);
/* Whether a plug-in code is known (1) or not (0); and learning one. */
typedef int32_t (*KmIsKnownPluginCode)(const char* code);
typedef void (*KmAddKnownPluginCode)(const char* code);
/* 1 once the program is shutting down: the library ends its check soon. */
typedef int32_t (*KmShuttingDown)(void);
/* A line for the program's activity log, saying what the check did. */
typedef void (*KmUpdateLogLine)(const char* text);

/* The configuration lock, which the library holds (lock, then unlock on the same
 * thread; it is re-entrant) while it reads or changes configuration data through
 * anything but the callbacks, which take it themselves. */
typedef struct KmUpdateLock {
  void (*lock)(void);
  void (*unlock)(void);
} KmUpdateLock;

#define KM_UPDATE_DATE_SIZE 80

/* The offsets line up as a table. */
/* clang-format off */
typedef struct KmUpdateCheckRequest {
  int32_t interactive;         /*   0: 1 when the user asked for the check */
  int32_t forced;              /*   4: 1 when the intervals are to be ignored */
  const char* programVersion;  /*   8: "1.53" */
  int32_t showWindow;          /*  16: show the library's own window of results */
  int32_t reportBetas;         /*  20: tell about test versions too */
  int32_t programCheckOn;      /*  24: check for program versions */
  uint32_t programLastCheck;   /*  28: seconds since 1970 UTC; the library writes
                                       the time of its check */
  int32_t programInterval;     /*  32: days between program checks */
  int32_t dnsblCheckOn;        /*  36: check for DNSBL definitions */
  uint32_t dnsblLastCheck;     /*  40: as programLastCheck, for the definitions */
  int32_t dnsblInterval;       /*  44: days between DNSBL checks */
  char dnsblDate[KM_UPDATE_DATE_SIZE];
                               /*  48: LAST_UPDATED of the definitions in use,
                                       "" when none */
  KmStoreDnsblDefinitions storeDnsblDefinitions; /* 128 */
  KmInstalledPluginVersion pluginVersion;        /* 136 */
  KmPluginUpdateIsNewer pluginUpdateIsNewer;     /* 144 */
  KmIsKnownPluginCode isKnownPluginCode;         /* 152 */
  KmAddKnownPluginCode addKnownPluginCode;       /* 160 */
  const KmUpdateLock* configLock;                /* 168 */
  void* languageLibrary;       /* 176: NULL */
  void* instance;              /* 184: NULL */
  void* icon;                  /* 192: NULL */
  void* mainWindow;            /* 200: NULL */
  KmShuttingDown shuttingDown; /* 208: watched by the library during long waits */
  int32_t reserved1;           /* 216: 0 */
  int32_t reserved2;           /* 220: 0 */
  void* updateWindow;          /* 224: the library's window while it is open */
  int32_t reserved3;           /* 232: 0 */
  int32_t reserved4;           /* 236: 0 */

  /* Added on this platform, after the fields above. */
  const char* dnsblSource;     /* 240: where definitions are fetched: a file path
                                       or an http:// or https:// URL; NULL or ""
                                       for the library's default */
  const char* tlsCaFile;       /* 248: certificates to trust for https, NULL for
                                       the system's */
  int32_t tlsVerify;           /* 256: 1 to check the server's certificate and name */
  int32_t timeoutSeconds;      /* 260: longest a fetch may take, 0 for the
                                       library's own */
  KmUpdateLogLine logLine;     /* 264 */
} KmUpdateCheckRequest;
/* clang-format on */

typedef void (*KmCheckForUpdates)(KmUpdateCheckRequest* request);

#if defined(__LP64__) && !defined(__cplusplus)
_Static_assert(offsetof(KmUpdateCheckRequest, storeDnsblDefinitions) == 128, "layout");
_Static_assert(offsetof(KmUpdateCheckRequest, dnsblSource) == 240, "layout");
_Static_assert(sizeof(KmUpdateCheckRequest) == 272, "layout");
#elif defined(__LP64__)
static_assert(offsetof(KmUpdateCheckRequest, storeDnsblDefinitions) == 128, "layout");
static_assert(offsetof(KmUpdateCheckRequest, dnsblSource) == 240, "layout");
static_assert(sizeof(KmUpdateCheckRequest) == 272, "layout");
#endif

#ifdef __cplusplus
}
#endif

#endif /* KESTRELMAIL_UPDATES_H */
