// How a stage of the install worker tells the worker which way to go on.
#pragma once

enum class StageResult {
    Continue,             // go on to the next stage
    Failed,               // failure exit; the text is in the worker error buffer; keep the payload file
    FailedDeletePayload,  // failure exit; the text is in the worker error buffer; delete the payload file
    Skipped,              // skip exit (same version installed and the user declined)
};

// The worker error buffer: 256 units, zeroed when the worker starts.
constexpr unsigned WORKER_ERROR_CAPACITY = 256;
