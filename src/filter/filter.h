// Filtering: the lists, the pipeline that judges each message, the verdict and its
// label, spam tagging, and the seams to the DNSBL engine and the plug-ins.
//
//   lists.h           white and black lists: entry syntax, reading, matching
//   list_index.h      fast lookups in the lists
//   auto_whitelist.h  the auto-white lists: loading, saving, lookups
//   verdict.h         the verdict of a message and its printed label
//   address_scan.h    finding e-mail and dotted addresses in header text
//   session_record.h  the filtering state of a session and the session list
//   pipeline.h        the stages and checks that judge a message
//   tagging.h         rewriting and tagging before a message is passed on
//   dnsbl.h           the DNSBL query engine as the pipeline uses it
//   dnsbl_lock.h      the DNSBL lock
//   dnsbl_cache.h     the DNSBL result cache
//   plugin_host.h     the installed plug-ins and their exports
//   plugin_calls.h    calling the enabled plug-ins
//   pipeline_hooks.h  statistics, Received-line accounts, the update check
#pragma once

#include "filter/address_scan.h"
#include "filter/auto_whitelist.h"
#include "filter/dnsbl.h"
#include "filter/dnsbl_cache.h"
#include "filter/dnsbl_lock.h"
#include "filter/list_index.h"
#include "filter/lists.h"
#include "filter/pipeline.h"
#include "filter/pipeline_hooks.h"
#include "filter/plugin_calls.h"
#include "filter/plugin_host.h"
#include "filter/session_record.h"
#include "filter/tagging.h"
#include "filter/verdict.h"
