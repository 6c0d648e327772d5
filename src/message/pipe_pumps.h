// The pipe pumps: while a plug-in call runs on the session thread, a pump moves a
// body or a header block through a pipe between the program and the plug-in. The
// body writer streams a body into a pipe the plug-in reads; the body reader takes
// the new working body the plug-in writes; the header reader takes the new header
// block the plug-in writes.
//
// Each start call takes the pump lock and its finish call releases it, so only one
// plug-in pipe transfer runs at a time in the whole program. The lock is
// re-entrant: body rewriting runs the writer and the reader together on one thread.
// Each pump has a worker thread, started on first use, that ends after 10 seconds
// without work when no session is live. The pumps own the descriptors handed to
// them and close them when their transfer ends.
//
// A finish call is made once the plug-in call returned. A plug-in that returned
// without closing its end of a pipe (or that handed it on) would keep the transfer,
// the session and every other session's plug-in transfers waiting; so after the
// return a transfer waits at most kPipeDrainLimitMs for the pipe to move, then it is
// abandoned and the finish call says so.
#pragma once

#include "platform/files.h"

namespace km {

struct Message;

// How long a transfer waits, after the plug-in call returned, for a pipe that has
// stopped moving.
inline constexpr int kPipeDrainLimitMs = 2000;

// Whether a transfer ran to the end of its pipe, or was abandoned.
enum class PipeTransfer { Complete, Abandoned };

// Streams the working or pristine body into the pipe, then closes it. A reader that
// stops early (closes its end) ends the transfer.
void StartBodyWriter(Message& message, UniqueFd writeEnd, bool pristine);
PipeTransfer FinishBodyWriter();

// Collects what arrives on the pipe; finishing makes it the working body and frees
// the old one. The old body stays in place meanwhile, so that the body writer can
// stream it to the same plug-in call.
void StartBodyReader(Message& message, UniqueFd readEnd);
PipeTransfer FinishBodyReader();

// Collects what arrives on the pipe; finishing replaces the working header lines
// with it, cut into lines after each CR LF.
void StartHeaderReader(Message& message, UniqueFd readEnd);
PipeTransfer FinishHeaderReader();

} // namespace km
