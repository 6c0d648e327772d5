// Filtering: the pipeline that judges each message, the verdict and its label,
// spam tagging, and the seams to the DNSBL engine and the plug-ins. The lists it
// matches against come with the snapshot: their files, syntax and indexes are the
// configuration's (config/lists.h, config/list_index.h), as is the table of
// installed plug-ins (config/plugin_table.h).
//
//   auto_whitelist.h  auto-whitelisting: lookups, counting clean mail, its files
//   received_tracking.h  mail accounts whose messages lack Received lines
//   filtering_statistics.h  messages judged per day and their file
//   update_check.h    the update check and its library
//   verdict.h         the verdict of a message and its printed label
//   address_scan.h    finding e-mail and dotted addresses in header text
//   session_record.h  the filtering state of a session; creating its messages
//   pipeline.h        the stages and checks that judge a message
//   tagging.h         rewriting and tagging before a message is passed on
//   dnsbl.h           the DNSBL query engine as the pipeline uses it
//   dnsbl_lock.h      the DNSBL lock
//   dnsbl_cache.h     the DNSBL result cache
//   dnsbl_statistics.h  the per-list counters of the DNSBL engine and their texts
//   plugin_calls.h    calling the enabled plug-ins
#pragma once

#include "filter/address_scan.h"
#include "filter/auto_whitelist.h"
#include "filter/dnsbl.h"
#include "filter/dnsbl_cache.h"
#include "filter/dnsbl_lock.h"
#include "filter/dnsbl_statistics.h"
#include "filter/filtering_statistics.h"
#include "filter/pipeline.h"
#include "filter/plugin_calls.h"
#include "filter/received_tracking.h"
#include "filter/session_record.h"
#include "filter/tagging.h"
#include "filter/update_check.h"
#include "filter/verdict.h"
