// Rewriting and tagging a judged message before it is passed on: plug-ins may
// replace its body, add a body prefix, replace its header block and add header
// lines; then the proxy tags spam in the Subject line and adds "X-Kestrelmail:"
// with the verdict label and, optionally, the list entry that decided.
#pragma once

#include <cstdint>

#include "config/config.h"
#include "filter/plugin_calls.h"
#include "message/message.h"

namespace km {

// One flag per enabled plug-in: whether it wants to rewrite the body (or the header
// block).
PluginFlags RequireBodyRewriting(Message& message);
PluginFlags RequireHeaderRewriting(Message& message);

// With `rewrite`, lets the plug-ins with a set flag (flags computed here when none
// are given) replace the working body; then collects every plug-in's body prefix.
void RewriteBody(Message& message, ProgressDisplay* progress, bool rewrite,
                 const PluginFlags* flags);

// Plug-in header rewriting, sanitising, the plug-ins' added lines, the Subject tag
// of spam, "X-Kestrelmail:" and the reason header. The lines before firstIndex have
// reached the client already and stay as they are.
void RewriteHeaders(Message& message, size_t firstIndex, ProgressDisplay* progress);

// The most that rewriting may add to a message of the given size, which POP3 adds
// to every size it announces.
int64_t MaxBytesToAdd(const Config& config, int64_t messageSize);

} // namespace km
