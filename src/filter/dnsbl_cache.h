// The DNSBL result cache: listed (positive) and not-listed (negative) answers per
// DNSBL list, kept for the configured periods so that a relay is not looked up again
// for every message. Answers are grouped in time buckets, so expiry drops whole
// buckets and no address needs a time stamp of its own.
//
// Files in the data directory, both of the same layout (integers 32-bit little
// endian), one record per list whose half has buckets, in list order:
//   key (1 to 126 bytes, then a 0 byte), bucket count N,
//   N × { closesAt (Unix time), address count M, M × 4-byte address (network order) }
// dnsbl_cache_pos.dat holds the positive halves, dnsbl_cache_neg.dat the negative.
// The folder format of older versions (dnsbl_cache/pos and dnsbl_cache/neg with one
// "KEY.anything.dat" file of bare addresses per list) is converted when loading.
//
// Every operation takes the DNSBL lock; storing and expiring briefly take the
// configuration lock inside it to read the periods.
//
// State: the cache, under the DNSBL lock (dnsbl_lock.h); any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/ipv4.h"

namespace km {

enum class CacheAnswer : int32_t { Unknown = 0, Listed = 1, NotListed = 2 };

// What the cache knows of the address for the list (key compared ignoring case).
// A not-listed entry wins over a listed one; entries count until expiry removes
// them, whatever their bucket's time.
CacheAnswer cacheLookup(const Ipv4Address& ip, std::string_view listKey);

// Remembers one answer; an address the cache already knows for the list is left as
// it is. `now` is the Unix time (the clock's when not given).
void cacheStore(const Ipv4Address& ip, std::string_view listKey, bool positive);
void cacheStore(const Ipv4Address& ip, std::string_view listKey, bool positive, int64_t now);

// Drops the buckets older than their kind's period, then saves.
void cacheExpire();
void cacheExpire(int64_t now);

// Writes each file whose half kind changed since it was last written. A file that
// cannot be written is reported and tried again at the next save; false then.
bool cacheSave();

// Replaces the cache with what the two files hold (a corrupt file keeps its good
// records, is reported and rewritten at once), converts the older folder format,
// then expires.
void cacheLoad();
void cacheLoad(int64_t now);

} // namespace km
