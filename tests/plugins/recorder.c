/*
 * A plug-in for the tests, written in C99 against the public header alone. It
 * offers every export, appends one line per call to the file named by the
 * environment variable RECORDER_LOG ("function argument...", a message handle
 * written as "#<handle>"), and acts on words
 * in the message's Subject:
 *
 *   rec-spam      filterOnMessageHeaders marks the message spam, reason "RECORDED"
 *   rec-white     filterOnMessageHeaders whitelists it, reason "TRUSTED"
 *   rec-check     filterOnMessageHeaders submits blocked@spam.example through
 *                 table A's checkEmailAddress with the source text "RECORD"
 *   rec-rewrite   the body is rewritten in upper case, a header line is added
 *                 through rewriteMessageHeaders
 *   rec-open      rewriteMessageBody writes a line and leaves its pipe open
 *   rec-prefix    the body is passed on unchanged through rewriteMessageBody, and
 *                 getMessageBodyPrefix needs 3,000 bytes
 *   rec-absurd    getAddedHeaderLines asks for 2 GB
 *   rec-crash     filterOnMessageHeaders crashes
 *
 * Each line starts with RECORDER_TAG. Built with RECORDER_REFUSES defined it
 * answers 0 to the version check.
 */
#define _POSIX_C_SOURCE 200809L

#include <kestrelmail/plugin.h>

#include <ctype.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

#ifndef RECORDER_TAG
#define RECORDER_TAG "recorder"
#endif

typedef struct Recorder {
  char folder[4096];
} Recorder;

static const KmCallbacksB* tableB;
static int leftOpen = -1; /* a pipe end kept open on purpose, closed at fetchEnd */

static void record(const char* format, ...) {
  const char* path = getenv("RECORDER_LOG");
  char line[8192];
  va_list arguments;
  int fd;
  int length;
  if (path == NULL) {
    return;
  }
  int tag = snprintf(line, sizeof line, "%s ", RECORDER_TAG);
  va_start(arguments, format);
  length = vsnprintf(line + tag, sizeof line - 1 - (size_t)tag, format, arguments);
  va_end(arguments);
  if (length < 0) {
    return;
  }
  length += tag;
  if (length > (int)sizeof line - 2) {
    length = (int)sizeof line - 2;
  }
  line[length++] = '\n';
  fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd >= 0) {
    /* One write per line: calls from several sessions do not mix. */
    if (write(fd, line, (size_t)length) < 0) {
      /* nothing to do about it */
    }
    close(fd);
  }
}

/* Whether the Subject line among the header lines holds the word. */
static int subjectHas(const char* const* lines, int32_t count, const char* word) {
  int32_t i;
  for (i = 0; i < count; ++i) {
    if (strncasecmp(lines[i], "Subject:", 8) == 0 && strstr(lines[i], word) != NULL) {
      return 1;
    }
  }
  return 0;
}

/* Messages by handle: what the filter calls learnt for the calls without header
   lines. A small table is enough for the tests' sessions. */
#define MESSAGES 64
static struct {
  uint32_t handle;
  char subject[256];
} messages[MESSAGES];

static void rememberSubject(uint32_t handle, const char* const* lines, int32_t count) {
  int32_t i;
  int slot = (int)(handle % MESSAGES);
  messages[slot].handle = handle;
  messages[slot].subject[0] = '\0';
  for (i = 0; i < count; ++i) {
    if (strncasecmp(lines[i], "Subject:", 8) == 0) {
      snprintf(messages[slot].subject, sizeof messages[slot].subject, "%s", lines[i]);
    }
  }
}

static int messageHas(uint32_t handle, const char* word) {
  int slot = (int)(handle % MESSAGES);
  return messages[slot].handle == handle && strstr(messages[slot].subject, word) != NULL;
}

static long readAll(int fd, char** text) {
  size_t size = 0;
  size_t capacity = 4096;
  ssize_t got;
  *text = malloc(capacity);
  while ((got = read(fd, *text + size, capacity - size)) > 0) {
    size += (size_t)got;
    if (size == capacity) {
      capacity *= 2;
      *text = realloc(*text, capacity);
    }
  }
  return (long)size;
}

static void writeAll(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t put = write(fd, bytes, length);
    if (put <= 0) {
      return;
    }
    bytes += put;
    length -= (size_t)put;
  }
}

EXPORT int32_t checkKestrelmailVersion(const char* hostVersion) {
  record("checkKestrelmailVersion %s", hostVersion);
#ifdef RECORDER_REFUSES
  return 0;
#else
  return 1;
#endif
}

EXPORT const char* getPluginName(void) {
  return "Call Recorder";
}

EXPORT const char* getPluginVersion(void) {
  return "2.5";
}

EXPORT const char* getPluginAuthor(void) {
  return "The Kestrelmail tests";
}

EXPORT const char* getPluginHomepage(void) {
  return "";
}

EXPORT const char* getPluginDescription(void) {
  return "Records every call it gets.";
}

EXPORT KmPluginData loadConfig(const char* configFolder) {
  Recorder* recorder = calloc(1, sizeof *recorder);
  snprintf(recorder->folder, sizeof recorder->folder, "%s", configFolder);
  record("loadConfig %s", configFolder);
  return recorder;
}

EXPORT void releaseConfig(KmPluginData data) {
  record("releaseConfig %s", data == NULL ? "(null)" : ((Recorder*)data)->folder);
  free(data);
}

EXPORT void getPluginCapabilities(KmPluginData data, uint32_t* words) {
  record("getPluginCapabilities %d %u %u %u %u %u", data != NULL, words[0], words[1], words[2],
         words[3], words[4]);
  words[0] = 1;
  words[2] = 4;
}

EXPORT void sessionStart(const KmSessionInfo* session, KmPluginData data) {
  tableB = session->callbacks;
  record("sessionStart %d %u %s %u.%u.%u.%u %s [%s] %d", session->protocol,
         session->sessionHandle, session->hostVersion, session->clientAddress[0],
         session->clientAddress[1], session->clientAddress[2], session->clientAddress[3],
         session->serverName, session->userName, data != NULL);
}

EXPORT void sessionEnd(const KmSessionInfo* session, KmPluginData data) {
  record("sessionEnd %u [%s] [%s] %d", session->sessionHandle, session->serverName,
         session->userName, data != NULL);
}

EXPORT void fetchStart(uint32_t message, Verdict* verdict, KmPluginData data) {
  record("fetchStart #%u %d %d", message, verdict->isSpam, data != NULL);
}

EXPORT void fetchEnd(uint32_t message, Verdict* verdict, KmPluginData data) {
  record("fetchEnd #%u %d %d", message, verdict->isSpam, data != NULL);
  if (leftOpen >= 0) {
    close(leftOpen);
    leftOpen = -1;
  }
}

EXPORT void filterOnMessageHeaders(const char* const* lines, int32_t count, uint32_t message,
                                   Verdict* verdict, KmPluginData data,
                                   const KmCallbacksA* callbacks) {
  char fingerprint[33];
  int32_t known = callbacks->messageFingerprint(message, fingerprint);
  record("filterOnMessageHeaders #%u %d %d %s", message, count, known, fingerprint);
  rememberSubject(message, lines, count);
  if (tableB != NULL) {
    tableB->setMessageProperty(message, "recorder.seen", 41);
    tableB->setMessageProperty(message, "recorder.seen", 42);
    tableB->setMessageProperty(message, "recorder.gone", 7);
    tableB->logFormatted(message, 0, "recorder saw %d header lines", (int)count);
  }
  if (subjectHas(lines, count, "rec-crash")) {
    raise(SIGSEGV);
  }
  if (subjectHas(lines, count, "rec-check")) {
    callbacks->checkEmailAddress(message, "blocked@spam.example", 0, KM_SOURCE_OTHER, "RECORD");
  }
  if (subjectHas(lines, count, "rec-spam")) {
    verdict->isSpam = 1;
    verdict->source = KM_SOURCE_HEADERS;
    verdict->reason = KM_REASON_OTHER;
    snprintf(verdict->pattern.text, KM_PATTERN_TEXT_SIZE, "RECORDED");
  }
  if (subjectHas(lines, count, "rec-white")) {
    verdict->isWhitelisted = 1;
    verdict->source = KM_SOURCE_HEADERS;
    verdict->reason = KM_REASON_OTHER;
    snprintf(verdict->pattern.text, KM_PATTERN_TEXT_SIZE, "TRUSTED");
  }
  (void)data;
}

EXPORT void filterOnEmailAddress(const char* address, int32_t kind, uint32_t message,
                                 Verdict* verdict, KmPluginData data,
                                 const KmCallbacksA* callbacks) {
  char extracted[512];
  int32_t next = -1;
  if (strlen(address) < sizeof extracted) {
    next = callbacks->extractEmailAddress(address, extracted);
  }
  record("filterOnEmailAddress #%u %d %s %d", message, kind, address, next);
  (void)verdict;
  (void)data;
}

EXPORT void filterOnHost(const char* host, uint32_t message, Verdict* verdict, KmPluginData data,
                         const KmCallbacksA* callbacks) {
  record("filterOnHost #%u %s", message, host);
  (void)verdict;
  (void)data;
  (void)callbacks;
}

EXPORT void filterOnIpAddress(const uint8_t* ip, uint32_t message, Verdict* verdict,
                              KmPluginData data, const KmCallbacksA* callbacks) {
  record("filterOnIpAddress #%u %u.%u.%u.%u", message, ip[0], ip[1], ip[2], ip[3]);
  (void)verdict;
  (void)data;
  (void)callbacks;
}

EXPORT int32_t ignoreIpAddress(const uint8_t* ip, uint32_t message, Verdict* verdict,
                               KmPluginData data) {
  record("ignoreIpAddress #%u %u.%u.%u.%u", message, ip[0], ip[1], ip[2], ip[3]);
  (void)verdict;
  (void)data;
  return 0;
}

EXPORT int32_t requireBodyFiltering(const char* const* lines, int32_t count, uint32_t message,
                                    Verdict* verdict, KmPluginData data) {
  record("requireBodyFiltering #%u %d %d", message, count, verdict->isSpam);
  (void)lines;
  (void)data;
  return 1;
}

EXPORT int32_t minBodyBytesRequired(int32_t phase, const char* const* lines, int32_t count,
                                    uint32_t message, Verdict* verdict, KmPluginData data) {
  record("minBodyBytesRequired #%u %d %d", message, phase, count);
  (void)lines;
  (void)verdict;
  (void)data;
  return -1;
}

EXPORT void filterOnMessageBody(const char* const* lines, int32_t count, int body,
                                uint32_t message, Verdict* verdict, KmPluginData data,
                                const KmCallbacksA* callbacks) {
  char* text;
  long size = readAll(body, &text);
  record("filterOnMessageBody #%u %d %ld %d", message, count, size,
         tableB == NULL ? -1 : tableB->getMessageProperty(message, "recorder.seen"));
  free(text);
  (void)lines;
  (void)verdict;
  (void)data;
  (void)callbacks;
}

EXPORT int32_t requireBodyRewriting(const char* const* lines, int32_t count, uint32_t message,
                                    Verdict* verdict, KmPluginData data) {
  int wanted = subjectHas(lines, count, "rec-rewrite") || subjectHas(lines, count, "rec-open") ||
               subjectHas(lines, count, "rec-prefix");
  record("requireBodyRewriting #%u %d", message, wanted);
  (void)verdict;
  (void)data;
  return wanted;
}

EXPORT void rewriteMessageBody(const char* const* lines, int32_t count, int body, int output,
                               uint32_t message, Verdict* verdict, KmPluginData data) {
  char* text;
  long size = readAll(body, &text);
  long i;
  record("rewriteMessageBody #%u %d %ld", message, count, size);
  if (subjectHas(lines, count, "rec-open")) {
    writeAll(output, "Only this line came through.\r\n", 30);
    leftOpen = output;
    free(text);
    return;
  }
  for (i = 0; i < size && subjectHas(lines, count, "rec-rewrite"); ++i) {
    text[i] = (char)toupper((unsigned char)text[i]);
  }
  writeAll(output, text, (size_t)size);
  close(output);
  free(text);
  (void)verdict;
  (void)data;
}

EXPORT int32_t getMessageBodyPrefix(uint32_t message, Verdict* verdict, KmPluginData data,
                                    char* buffer, int32_t size) {
  record("getMessageBodyPrefix #%u %d", message, size);
  (void)verdict;
  (void)data;
  if (!messageHas(message, "rec-prefix")) {
    return 0;
  }
  if (size < 3000) {
    return 3000;
  }
  /* 2,999 characters and the NUL: lines of "p", each line at most 101 bytes. */
  memset(buffer, 'p', 2999);
  {
    int end;
    for (end = 100; end < 2999; end += 101) {
      buffer[end - 1] = '\r';
      buffer[end] = '\n';
    }
    buffer[2997] = '\r';
    buffer[2998] = '\n';
    buffer[2999] = '\0';
  }
  return 3000;
}

EXPORT int32_t requireHeaderRewriting(const char* const* lines, int32_t count, uint32_t message,
                                      Verdict* verdict, KmPluginData data) {
  int wanted = subjectHas(lines, count, "rec-rewrite");
  record("requireHeaderRewriting #%u %d", message, wanted);
  (void)verdict;
  (void)data;
  return wanted;
}

EXPORT void rewriteMessageHeaders(const char* const* lines, int32_t count,
                                  int32_t firstChangeable, int output, uint32_t message,
                                  Verdict* verdict, KmPluginData data) {
  int32_t i;
  const char* added = "X-Recorder-Rewritten: yes\r\n";
  record("rewriteMessageHeaders #%u %d %d", message, count, firstChangeable);
  for (i = 0; i < count; ++i) {
    writeAll(output, lines[i], strlen(lines[i]));
  }
  writeAll(output, added, strlen(added));
  close(output);
  (void)verdict;
  (void)data;
}

EXPORT int32_t getAddedHeaderLines(uint32_t message, Verdict* verdict, KmPluginData data,
                                   char* buffer, int32_t size) {
  char line[128];
  int needed;
  record("getAddedHeaderLines #%u %d", message, size);
  (void)data;
  if (messageHas(message, "rec-absurd")) {
    return 0x7fffffff;
  }
  needed = snprintf(line, sizeof line, "X-Recorder: spam=%d\r\n", verdict->isSpam) + 1;
  if (needed > size) {
    return needed;
  }
  memcpy(buffer, line, (size_t)needed);
  return needed;
}

EXPORT int32_t getMaxBytesToAdd(KmPluginData data) {
  record("getMaxBytesToAdd %d", data != NULL);
  return 4000;
}

EXPORT void processedMessage(const char* const* lines, int32_t count, int body, uint32_t message,
                             Verdict* verdict, KmPluginData data) {
  char* text;
  long size = readAll(body, &text);
  int32_t before = -1;
  int32_t after = -1;
  if (tableB != NULL) {
    before = tableB->getMessageProperty(message, "recorder.gone");
    tableB->removeMessageProperty(message, "recorder.gone");
    after = tableB->getMessageProperty(message, "recorder.gone");
  }
  record("processedMessage #%u %d %ld %d %d %d", message, count, size, verdict->isSpam, before,
         after);
  free(text);
  (void)lines;
  (void)data;
}

EXPORT void housekeeping(KmPluginData data, const volatile int32_t* closing) {
  record("housekeeping %d %d", data != NULL, *closing);
}

EXPORT int32_t hasPluginWindow(void) {
  return 0;
}

EXPORT void* createPluginWindow(KmPluginData data) {
  (void)data;
  return NULL;
}
