// The typed API in one include: results and errors, the clock, boards, recordings of readings,
// and the links that capture a session's traffic and replay it.
#ifndef KAVRO_KAVRO_H
#define KAVRO_KAVRO_H

#include "kavro/board.h"
#include "kavro/link.h"
#include "kavro/protocol.h"
#include "kavro/capture.h"
#include "kavro/recording.h"
#include "kavro/result.h"
#include "kavro/settings.h"

#endif  // KAVRO_KAVRO_H
