// The model stage as the tests see it: the bytes the release host serves for a model and the
// status the stage posts as it takes one on.
#pragma once

#include "tests/support/message_trace.h"

#include <cstddef>
#include <string>

// size bytes for the model at position (1 to 5), different for each position and, within one,
// from one KiB to the next, so that a model cut, resumed in the wrong place or mixed up with
// another never equals them.
std::string HostModelBytes(int position, size_t size = 3000);

// "AI 모델 준비 중 (약 408MB)  <position> / 5", the stage's announcement of a model.
TraceEvent Announce(int position);
