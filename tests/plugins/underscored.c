/*
 * A plug-in for the tests whose exports carry a leading underscore, as some build
 * tools decorate C names, and that says nothing about its capabilities.
 */
#include <kestrelmail/plugin.h>

#define EXPORT __attribute__((visibility("default")))

static int hostsSeen;

/* The decorated names are the point of this plug-in. */
/* NOLINTNEXTLINE(readability-identifier-naming) */
EXPORT const char* _getPluginName(void) {
  return "Underscored";
}

/* NOLINTNEXTLINE(readability-identifier-naming) */
EXPORT void _filterOnHost(const char* host, uint32_t message, Verdict* verdict,
                          KmPluginData data, const KmCallbacksA* callbacks) {
  (void)host;
  (void)message;
  (void)verdict;
  (void)data;
  (void)callbacks;
  ++hostsSeen;
}

/* How often _filterOnHost was called (for the test that calls it). */
EXPORT int underscoredHostsSeen(void) {
  return hostsSeen;
}
