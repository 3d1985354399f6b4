// Request/answer exchange with a touch frame.
#pragma once

#include "MTouch/MTProtocol.h"
#include "VexoCommon/VexoCommon.h"
#include "VexoTalk/VexoHIDServer.h"
#include "VexoThread/VexoThread.h"

// Overall time-out every caller of MTPacketTo passes.
constexpr VexoSource::u32 g_echoTime = 4000;
// How long one written request waits for its answer before it is written again.
constexpr VexoSource::u32 MT_ANSWER_WAIT_MS = 2000;
// Room for the longest answer a packet can carry.
constexpr VexoSource::u32 MT_ANSWER_SCRATCH_LEN = 2048;

// Sends the request `identifier` with `payload` (absent or 1..59 bytes) to the frame and, with
// wait = 1, waits for an answer of the same type holding at least `answerLength` bytes, whose
// first `answerLength` bytes are copied into `answer`. The server's answer queue is emptied
// first. The request is written again every 2000 ms without a fitting answer (shorter answers
// and other types are discarded, and the wait for the slot goes on) until `timeoutMs` have
// passed ("Request timed out"); no answer slot outlasts `timeoutMs`. A failed
// write ends the exchange at once ("Unable to SetPacket"). With wait = 0 the request is written
// once and the answer queue is not read.
//
// The exchange gives up within about 100 ms once the process is asked to stop or, when `owner`
// is given, once that thread is told to stop ("Request cancelled"), so that no caller sits out
// the whole time-out during shutdown.
//
// Returns and stores in *ok (when given) 1 on success, 0 otherwise. A payload longer than 59
// bytes cannot travel in one report: it is refused before anything is sent. Safe to call from
// several threads at once on one server (they compete for its answers).
VexoSource::u32 MTPacketTo(VexoSource::VexoHIDServer* server, VexoSource::u8 identifier,
                           VexoSource::u8* answer, VexoSource::u32 answerLength,
                           VexoSource::u32 timeoutMs, VexoSource::u32* ok,
                           const VexoSource::u8* payload, VexoSource::u8 payloadLength,
                           VexoSource::u32 wait, VexoSource::VexoThread* owner = nullptr);
